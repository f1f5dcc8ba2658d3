// The frame renderer's echoes: the scene and model echoes from their working values, each drawn
// as its stack of quads (the reference) or by the route echo_route chooses, through the sums.
#include <GL/gl.h>

#include <algorithm>
#include <vector>

#include "engine/numeric.h"
#include "render/echo_draw.h"
#include "render/echo_route.h"
#include "render/frame_renderer.h"

namespace vl::render {

using engine::SceneState;
using engine::Track;

namespace {

// The echo inputs of one model slot: layers, inset, alpha, colour.
struct ModelEchoTracks {
  Track layers, inset, alpha, r, g, b;
};
constexpr ModelEchoTracks kModelEcho[3] = {
    {Track::model_1_echo_layers, Track::model_1_echo_inset, Track::model_1_echo_alpha, Track::model_1_echo_r,
     Track::model_1_echo_g, Track::model_1_echo_b},
    {Track::model_2_echo_layers, Track::model_2_echo_inset, Track::model_2_echo_alpha, Track::model_2_echo_r,
     Track::model_2_echo_g, Track::model_2_echo_b},
    {Track::model_3_echo_layers, Track::model_3_echo_inset, Track::model_3_echo_alpha, Track::model_3_echo_r,
     Track::model_3_echo_g, Track::model_3_echo_b},
};

// The state the quads set and leave behind, whichever way the echo is drawn.
void EchoQuadState() {
  glDisable(GL_TEXTURE_GEN_S);
  glDisable(GL_TEXTURE_GEN_T);
  glEnable(GL_TEXTURE_2D);
  glDisable(GL_DEPTH_TEST);
  glEnable(GL_BLEND);
}

}  // namespace

void FrameRenderer::EchoState() {
  glEnable(GL_DEPTH_TEST);
  glShadeModel(GL_SMOOTH);
  glDisable(GL_BLEND);
  glDisable(GL_LIGHTING);
}

void FrameRenderer::SceneEcho() {
  SceneState& s = scene_;
  const auto& set = s.settings;
  // The tint depends on the loop's format version: early loops reuse the trail tint (unscaled),
  // later ones have their own echo colour in percent; modes 2 and 3 keep the current colour.
  float colour[3];
  const float* use = nullptr;
  if (s.echo_colour_mode <= 1) {
    if (s.sequence_version <= 4.0f) {
      colour[0] = set.trail_tint_r, colour[1] = set.trail_tint_g, colour[2] = set.trail_tint_b;
    } else {
      colour[0] = s.work.scene_echo_r / 100.0f, colour[1] = s.work.scene_echo_g / 100.0f,
      colour[2] = s.work.scene_echo_b / 100.0f;
    }
    use = colour;
  } else if (s.echo_colour_mode >= 4) {
    colour[0] = set.trail_tint_r, colour[1] = set.trail_tint_g, colour[2] = set.trail_tint_b;
    use = colour;
  }
  const int n = EchoLayerCount(s.work.scene_echo_layers);
  stats_.scene_echo_layers = n;
  EchoOverlay(0, n, s.work.scene_echo_inset, s.work.scene_echo_alpha, use, false);
}

void FrameRenderer::ModelEcho(int slot, bool early) {
  const ModelEchoTracks& t = kModelEcho[slot - 1];
  const auto& w = scene_.work;
  const auto& set = scene_.settings;
  const float colour[3] = {w[t.r] / 100.0f, w[t.g] / 100.0f, w[t.b] / 100.0f};
  const int n = EchoLayerCount(w[t.layers]);
  stats_.model_echo_layers[slot - 1] = n;
  // The early echo of a model comes again after the models when its late switch is on, from the
  // same capture with the same values.
  const float late = slot == 1 ? set.echo_model_1_on : slot == 2 ? set.echo_model_2_on : set.echo_model_3_on;
  EchoOverlay(slot, n, w[t.inset], w[t.alpha], colour, early && IsOn(late));
}

void FrameRenderer::EchoOverlay(int capture, int layers, float inset_value, float alpha_value, const float* colour,
                                bool keep) {
  ++stats_.echo_overlays;
  const std::vector<EchoLayerStep> steps = EchoLayerSteps(layers, inset_value, alpha_value);
  if (mode_ != RenderMode::kReference && EchoFaster(capture, steps, colour, keep)) return;
  FlushFlatEchoes();
  ++stats_.echoes_as_quads;
  EchoQuads(CaptureTexture(capture), steps, colour);
}

uint32_t FrameRenderer::CaptureTexture(int capture) const {
  return capture == 0 ? glow_scene_texture_ : glow_model_texture_[static_cast<size_t>(capture - 1)];
}

void FrameRenderer::EchoQuads(uint32_t texture, const std::vector<EchoLayerStep>& steps, const float* colour) {
  EchoQuadState();
  glBlendFunc(GL_SRC_ALPHA, GL_ONE);
  glBindTexture(GL_TEXTURE_2D, texture);
  PushCanvas();
  glBegin(GL_QUADS);
  for (const EchoLayerStep& l : steps) {
    const float t = l.inset;
    if (colour) glColor4f(colour[0], colour[1], colour[2], l.alpha);
    glTexCoord2f(t, 1.0f - t);
    glVertex2f(0.0f, 0.0f);
    glTexCoord2f(t, t);
    glVertex2f(0.0f, 480.0f);
    glTexCoord2f(1.0f - t, t);
    glVertex2f(640.0f, 480.0f);
    glTexCoord2f(1.0f - t, 1.0f - t);
    glVertex2f(640.0f, 0.0f);
  }
  glEnd();
  PopCanvas();
}

FrameRenderer::EchoTrip FrameRenderer::TripOf(int capture, const std::vector<EchoLayerStep>& steps, const float* colour,
                                              bool keep) {
  const bool lit = glIsEnabled(GL_LIGHTING);
  GLfloat current[4];
  glGetFloatv(GL_CURRENT_COLOR, current);
  // Lit, a layer's alpha is the material's diffuse alpha: the colour's while the material tracks
  // the colour's diffuse part, else the material's own.
  GLint tracked = 0;
  glGetIntegerv(GL_COLOR_MATERIAL_PARAMETER, &tracked);
  const bool alpha_from_colour =
      !lit || (glIsEnabled(GL_COLOR_MATERIAL) && (tracked == GL_DIFFUSE || tracked == GL_AMBIENT_AND_DIFFUSE));
  GLfloat diffuse[4] = {0, 0, 0, 1};
  if (!alpha_from_colour) glGetMaterialfv(GL_FRONT, GL_DIFFUSE, diffuse);
  EchoTrip trip;
  EchoInputs& in = trip.in;
  in.texture = CaptureTexture(capture);
  in.serial = frame_serial_;
  in.lit = lit;
  for (int c = 0; c < 3; ++c) in.colour[static_cast<size_t>(c)] = colour ? colour[c] : current[c];
  // A lit early echo with a colour of its own: its late repeat draws unlit, the layer alpha then
  // being the colour's. Both are summed in one pass and the repeat kept.
  trip.with_late = keep && lit && colour;
  trip.merged = in;
  trip.late = in;
  trip.late.lit = false;
  for (const EchoLayerStep& l : steps) {
    const int alpha8 = ToUnorm8(!alpha_from_colour ? diffuse[3] : colour ? l.alpha : current[3]);
    if (alpha8 > 0) in.layers.push_back({l.inset, alpha8});  // a layer of alpha 0 adds nothing
    if (!trip.with_late) continue;
    const int alpha8_late = ToUnorm8(l.alpha);
    if (alpha8_late > 0) trip.late.layers.push_back({l.inset, alpha8_late});
    if (alpha8 > 0 || alpha8_late > 0) {
      trip.merged.layers.push_back({l.inset, alpha8});
      trip.late_alpha8.push_back(alpha8_late);
    }
  }
  trip.capture = capture;
  trip.keep = keep;
  trip.grey = capture_grey_[static_cast<size_t>(capture)];
  return trip;
}

bool FrameRenderer::EchoFaster(int capture, const std::vector<EchoLayerStep>& steps, const float* colour, bool keep) {
  // Fog would change the colour per fragment: the quads handle it. Lighting changes it per
  // vertex, the same for every layer; the summing pass goes through the same vertex lighting.
  if (!echo_sum_.available() || glIsEnabled(GL_FOG)) return false;
  // The layers exactly as the quads would draw them, with the colour they would draw in.
  EchoTrip trip = TripOf(capture, steps, colour, keep);
  // (The frame's alpha channel is no part of any picture: captures, the trail and the output
  // read colour only.)
  EchoQuadState();
  if (!DrawEchoRoute(trip)) return false;
  glBlendFunc(GL_SRC_ALPHA, GL_ONE);
  glBindTexture(GL_TEXTURE_2D, trip.in.texture);
  // Current colour and texture coordinate as the last quad left them.
  if (!steps.empty()) {
    if (colour) glColor4f(colour[0], colour[1], colour[2], steps.back().alpha);
    glTexCoord2f(1.0f - steps.back().inset, 1.0f - steps.back().inset);
  }
  return true;
}

EchoRouteChoice FrameRenderer::RouteOf(EchoTrip& trip) {
  EchoInputs& in = trip.in;
  auto level = [](float v) { return ToUnorm8(std::clamp(v, 0.0f, 1.0f)); };
  EchoCase echo;
  echo.unseen = echoes_unseen_;
  echo.no_layers = in.layers.empty();
  echo.colourless = !in.lit && level(in.colour[0]) == 0 && level(in.colour[1]) == 0 && level(in.colour[2]) == 0;
  echo.lit = in.lit;
  echo.grey = trip.grey;
  echo.early_kept = trip.keep;
  echo.with_late = trip.with_late;
  echo.capture = trip.capture;
  // Lit over one grey level, the sums need not sample the capture.
  if (in.lit && trip.grey > 0) in.grey = trip.grey;
  const EchoRouteChoice choice = ChooseEchoRoute(
      echo, [&] { return echo_sum_.LitGreyLevels(in, &trip.levels); },
      [&] { return echo_sum_.HasKept(trip.capture, in); });
  if (choice.route == EchoRoute::kFlat) {
    // One grey level everywhere: every layer adds a known constant.
    trip.levels = {0, 0, 0};
    for (const EchoLayer& l : in.layers)
      for (size_t c = 0; c < 3; ++c)
        trip.levels[c] += ConstantLayerValue(std::clamp(in.colour[c], 0.0f, 1.0f), trip.grey, l.alpha8);
  }
  return choice;
}

bool FrameRenderer::DrawEchoRoute(EchoTrip& trip) {
  const EchoInputs& in = trip.in;
  GLint viewport[4];
  glGetIntegerv(GL_VIEWPORT, viewport);
  const int width = viewport[2], height = viewport[3];
  const bool fast = mode_ == RenderMode::kFast;
  const EchoRouteChoice choice = RouteOf(trip);
  // Flat echoes wait for the next one; anything else draws after them.
  if (choice.route != EchoRoute::kFlat) FlushFlatEchoes();
  bool drawn = true;
  switch (choice.route) {
    case EchoRoute::kUnseen: ++stats_.echoes_unseen; break;
    case EchoRoute::kSkip: ++stats_.echoes_skipped; break;
    case EchoRoute::kFlat:
    case EchoRoute::kLitFlat: drawn = AddFlat(trip.levels); break;
    case EchoRoute::kReused:
      drawn = echo_sum_.AddKept(trip.capture, in, width, height);
      if (drawn) ++stats_.echoes_reused;
      break;
    case EchoRoute::kWithLate:
      // Each way either adds the whole echo or nothing: a failed one can hand over to the next.
      // Alone, the lit early sum is not what the repeat draws: it is not kept.
      drawn = echo_sum_.AddWithLate(trip.merged, trip.late_alpha8, trip.late, width, height, choice.keep_slot, fast) ||
              echo_sum_.Add(in, width, height, fast, -1);
      if (drawn) ++stats_.echoes_summed;
      break;
    case EchoRoute::kSummed:
      drawn = echo_sum_.Add(in, width, height, fast, choice.keep_slot);
      if (drawn) ++stats_.echoes_summed;
      break;
  }
  return drawn;
}

bool FrameRenderer::AddFlat(const std::array<int, 3>& sum) {
  if (sum == std::array<int, 3>{0, 0, 0}) {
    ++stats_.echoes_skipped;
    return true;
  }
  // Added with the next flat echo if one follows: saturating adds of levels group freely.
  if (!echo_sum_.ConstantReady()) return false;
  for (size_t c = 0; c < 3; ++c) pending_flat_[c] = std::min(pending_flat_[c] + sum[c], 255);
  ++stats_.echoes_flat;
  return true;
}

void FrameRenderer::FlushFlatEchoes() {
  if (pending_flat_ == std::array<int, 3>{0, 0, 0}) return;
  // The state the echoes draw in; the blend function as the quads leave it.
  glDisable(GL_DEPTH_TEST);
  glEnable(GL_BLEND);
  echo_sum_.AddConstant(pending_flat_[0], pending_flat_[1], pending_flat_[2], 0);
  glBlendFunc(GL_SRC_ALPHA, GL_ONE);
  pending_flat_ = {0, 0, 0};
}

}  // namespace vl::render
