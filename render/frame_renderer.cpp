#include "render/frame_renderer.h"

#include <GL/gl.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "engine/numeric.h"
#include "render/fog.h"
#include "render/texture_upload.h"
#include "render/track_periods.h"

namespace vl::render {

using engine::SceneState;
using engine::Track;

namespace {

bool On(float v) { return IsOn(v); }
bool Nonzero(float v) { return v != 0.0f; }

// Screen quad, second form: the client area in pixels. Pushes only the projection; the
// model-view matrix is loaded with identity and not restored.
void PushClientProjection(const SceneState& scene) {
  glMatrixMode(GL_PROJECTION);
  glPushMatrix();
  glLoadIdentity();
  // A zero-height window would make an empty ortho box (a GL error, the matrix left unchanged);
  // one pixel keeps the quad where it belongs.
  glOrtho(0.0, std::max(scene.view_width, 1), std::max(scene.view_height, 1), 0.0, 0.0, 1.0);
  glMatrixMode(GL_MODELVIEW);
  glLoadIdentity();
}

void PopClientProjection() {
  glMatrixMode(GL_PROJECTION);
  glPopMatrix();
  glMatrixMode(GL_MODELVIEW);
}

// The trail image over the whole client area, scrolled by trail_scroll hundredths of it.
void TrailQuad(const SceneState& scene) {
  const float s = scene.work.trail_scroll / kScrollPerTexture;
  const float w = static_cast<float>(scene.view_width);
  const float h = static_cast<float>(scene.view_height);
  glBegin(GL_QUADS);
  glTexCoord2f(0.0f, s + 1.0f);
  glVertex2f(0.0f, 0.0f);
  glTexCoord2f(0.0f, s);
  glVertex2f(0.0f, h);
  glTexCoord2f(1.0f, s);
  glVertex2f(w, h);
  glTexCoord2f(1.0f, s + 1.0f);
  glVertex2f(w, 0.0f);
  glEnd();
}

void RestoreViewport(const SceneState& scene) { glViewport(0, 0, scene.view_width, scene.view_height); }

// The state most layers leave for the next: lit, untextured, sphere-map generation on, opaque.
void LitUntexturedState() {
  glEnable(GL_LIGHTING);
  glDisable(GL_TEXTURE_2D);
  glEnable(GL_TEXTURE_GEN_S);
  glEnable(GL_TEXTURE_GEN_T);
  glDisable(GL_BLEND);
}

}  // namespace

const char* RenderModeName(RenderMode mode) {
  switch (mode) {
    case RenderMode::kReference: return "reference";
    case RenderMode::kExact: return "exact";
    case RenderMode::kFast: return "fast";
  }
  return "?";
}

RenderMode RenderModeFromEnvironment() {
  const char* v = std::getenv("VANTALOOP_REFERENCE");
  return v && std::strcmp(v, "1") == 0 ? RenderMode::kReference : RenderMode::kExact;
}

int32_t EchoLayersAsked(float working_value) { return TruncToInt(static_cast<double>(working_value) + 25.0); }

int EchoLayerCount(float working_value) { return std::clamp(EchoLayersAsked(working_value), 0, kMaxEchoLayers); }

bool SceneEchoFed(const engine::SequenceSettings& set) {
  return On(set.fx_text) || On(set.fx_sprites) || On(set.fx_particles) || On(set.fx_vortex) || On(set.fx_model_2);
}

void FrameRenderer::CreateGlowTargets() {
  // Captures draw into a target of their own where the context allows, so they see the whole
  // capture area at any output size.
  capture_target_.Create(kCaptureSize);
  const GlCapabilities caps = QueryGlCapabilities();
  echo_sum_.Init(caps.fragment_programs, caps.framebuffer_objects);
  glow_scene_texture_ = CreateBlankTexture(kCaptureSize, kCaptureSize, 4);
  for (auto& t : glow_model_texture_) t = CreateBlankTexture(kCaptureSize, kCaptureSize, 4);
}

void FrameRenderer::CreateTrailTarget() { trail_texture_ = CreateBlankTexture(512, 512, 3); }

void FrameRenderer::DrawFrameStep(PlaybackPanel* panel) {
  glEnable(GL_NORMALIZE);
  glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
  // The material comes from the working values fetched by the previous tick.
  const GLfloat material[4] = {scene_.work.material_r / 255.0f, scene_.work.material_g / 255.0f,
                               scene_.work.material_b / 255.0f, 1.0f};
  glMaterialfv(GL_FRONT, GL_AMBIENT, material);
  glMaterialfv(GL_FRONT, GL_DIFFUSE, material);
  glMaterialfv(GL_FRONT, GL_SPECULAR, material);
  glMaterialfv(GL_FRONT, GL_SHININESS, material);  // only the first component counts
  glColor3f(scene_.work.text_colour_r / 255.0f, scene_.work.text_colour_g / 255.0f, scene_.work.text_colour_b / 255.0f);
  RenderFrame(panel);
}

void FrameRenderer::RenderFrame(PlaybackPanel* panel) {
  SceneState& s = scene_;
  auto& set = s.settings;
  stats_ = FrameStats{};
  ++frame_serial_;
  capture_grey_ = {-1, -1, -1, -1};

  // 1. Fetch: every track's value at current_frame into its working value. Passes read only these.
  FetchWorkingValues();

  // 2. Clear to the background colour.
  glClearColor(s.work.background_r / 255.0f, s.work.background_g / 255.0f, s.work.background_b / 255.0f, 1.0f);
  glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);

  // 3. Feedback trail: the previous trail image, faded and scrolled under the glow scene, kept in
  //    trail_texture when the trail clock allows, and composited onto the screen. The trail
  //    switches the scene echo off for good.
  if (On(set.trail_on)) {
    set.scene_echo_on = 0.0f;
    glEnable(GL_TEXTURE_2D);
    glDisable(GL_TEXTURE_GEN_S);
    glDisable(GL_TEXTURE_GEN_T);
    glDisable(GL_LIGHTING);
    TrailPass();
    LitUntexturedState();
    stats_.trail_drawn = true;
  }

  // 3a. The scene echo is always a late echo, whatever the format version.
  s.echo_scene_late = 2.0f;

  // 4-5. Glow captures into the four 512 x 512 luminance targets, each followed by a clear, then
  //      the early model echoes from them.
  if (GlowCaptureWanted()) {
    GlowCaptures();
    ModelEcho(1, true);
    ModelEcho(2, true);
    ModelEcho(3, true);
    FlushFlatEchoes();
    LitUntexturedState();
  }

  // 5a. An unseen picture stops here: an empty scissor box drops every fragment from now until
  //     the frame's end, while the layers run their calls (and advance their state) as ever.
  if (picture_unseen_) {
    glEnable(GL_SCISSOR_TEST);
    glScissor(0, 0, 0, 0);
  }

  // 6-12. Backdrop planes, tunnel, photo planes, vortex, particles, sprite ring, models 1-3, and
  //       the trail overlay.
  LayerPasses();

  // 13. Late echoes: the scene echo, then the model echoes in the order 2, 1, 3.
  LateEchoes();

  // 14. Outline text and its chrome copy, from an identity matrix, depth-tested and opaque; lit
  //     only when text_lit is on (a value between 1 and 2 leaves lighting as it is).
  glLoadIdentity();
  glEnable(GL_DEPTH_TEST);
  glDisable(GL_BLEND);
  if (On(set.text_lit)) glEnable(GL_LIGHTING);
  if (!AboveOne(set.text_lit)) glDisable(GL_LIGHTING);
  // The text layer draws the text itself only when text_on is set, but its chrome copy whenever
  // text_chrome is on.
  layers_.DrawText(s);

  // 15. Final state for the next tick and for whatever draws over the view.
  if (picture_unseen_) glDisable(GL_SCISSOR_TEST);
  SetStateBetweenFrames();

  // 16. Frame advance.
  AdvanceFrame(s, panel);
}

void FrameRenderer::LayerPasses() {
  SceneState& s = scene_;
  const auto& set = s.settings;
  // 6. Backdrop planes. Whether or not they draw, what follows starts blended without depth test.
  if (On(set.backdrop_on)) layers_.DrawBackdrop(s);
  glDisable(GL_DEPTH_TEST);
  glEnable(GL_BLEND);

  // 7. Tunnel, the only layer under the scene fog.
  if (On(set.tunnel_on)) {
    ApplyTunnelFog(s);
    layers_.DrawTunnel(s);
    glDisable(GL_FOG);
  }

  // 8. Photo planes (blending and blend function as left above).
  if (On(set.photo_on)) layers_.DrawPhotos(s);

  // 9. Vortex.
  if (On(set.vortex_on)) layers_.DrawVortex(s);

  // 10. Particle systems; version 6 loops fog them.
  if (On(set.particles_on)) {
    if (s.sequence_version >= 6.0f) ApplyParticleFog(s);
    layers_.DrawParticles(s);
    glDisable(GL_FOG);
  }

  // 11. Sprite ring, then models 1, 2, 3.
  if (On(set.sprites_on)) layers_.DrawSpriteRing(s);
  if (On(set.model_1_on)) layers_.DrawModel(s, 1);
  if (On(set.model_2_on)) layers_.DrawModel(s, 2);
  if (On(set.model_3_on)) layers_.DrawModel(s, 3);

  // 12. Trail overlay: the kept trail image added over the scene.
  if (On(set.trail_on)) TrailOverlay();
}

void FrameRenderer::LateEchoes() {
  SceneState& s = scene_;
  const auto& set = s.settings;
  if (SceneEchoFed(set) && On(set.scene_echo_on)) {
    EchoState();
    if (On(s.echo_scene_late)) SceneEcho();
  }
  if (On(set.echo_model_2_on)) {
    EchoState();
    ModelEcho(2, false);
  }
  if (On(set.echo_model_1_on)) {
    EchoState();
    ModelEcho(1, false);
  }
  if (On(set.echo_model_3_on)) {
    EchoState();
    ModelEcho(3, false);
  }
  FlushFlatEchoes();
}

void FrameRenderer::SetStateBetweenFrames() {
  glDisable(GL_TEXTURE_GEN_S);
  glDisable(GL_TEXTURE_GEN_T);
  glDisable(GL_BLEND);
  glDisable(GL_TEXTURE_2D);
  glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
}

void FrameRenderer::FetchWorkingValues() {
  // current_frame is kept in range by the advance; a panel seek or a damaged state must still
  // not read outside the tracks.
  const int frame = std::clamp(scene_.current_frame, 0, engine::kFrameSlots - 1);
  stats_.drawn_frame = frame;
  for (int i = 0; i < engine::kTrackCount; ++i) {
    const auto t = static_cast<Track>(i);
    scene_.work[t] = scene_.track(t).frame_values[frame];
  }
  scene_.wave_phase = TruncToInt(scene_.track(Track::wave_phase).frame_values[frame]);
  if (after_fetch_) after_fetch_(scene_);
}

void FrameRenderer::TrailPass() {
  SceneState& s = scene_;
  glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
  glLoadIdentity();

  // Trail clock: rate 0 admits an update every 1/100 s, rate 99 (the cap) once a second.
  if (s.trail_rate >= 100.0f) s.trail_rate = 99.0f;
  const int32_t r = TruncToInt(100.0f - s.trail_rate);  // NaN gives 0: never admitted
  const float now = static_cast<float>(clock_.NowMs()) * 0.001f;
  // The first trail tick of the program (or of a headless render) is always admitted, as a
  // free-running tick count would be long past 1/r at start-up.
  const bool first = !trail_ever_admitted_;
  if (r > 0 && (first || 1.0f / static_cast<float>(r) < now - trail_last_admitted_s_)) {
    trail_last_admitted_s_ = now;
    trail_ever_admitted_ = true;
    stats_.trail_admitted = true;
    // Redraw the kept image and the glow scene small, and keep the result.
    glViewport(0, 0, kTrailSize, kTrailSize);
    TrailComposite();
    layers_.DrawGlowScene(s, GlowVariant::kTrail);
    glBindTexture(GL_TEXTURE_2D, trail_texture_);
    const int x = TruncToRange(s.work.trail_offset_x / 50.0f, -kMaxTrailOffset, kMaxTrailOffset);
    const int y = TruncToRange(s.work.trail_offset_y / 50.0f, -kMaxTrailOffset, kMaxTrailOffset);
    glCopyTexImage2D(GL_TEXTURE_2D, 0, GL_RGB, x, y, kTrailSize, kTrailSize, 0);
    RestoreViewport(s);
  }
  TrailComposite();
}

void FrameRenderer::TrailComposite() {
  SceneState& s = scene_;
  glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
  glDisable(GL_DEPTH_TEST);
  glBlendFunc(GL_SRC_ALPHA, GL_ONE);
  glEnable(GL_BLEND);
  glBindTexture(GL_TEXTURE_2D, trail_texture_);
  if (!(s.work.trail_fade > 0.0f)) s.work.trail_fade = 1.0f;
  // The tint channels are colours already (0..1), not 0..255 values.
  glColor4f(s.settings.trail_tint_r, s.settings.trail_tint_g, s.settings.trail_tint_b,
            0.9f - s.work.trail_fade / 400.0f);
  PushClientProjection(s);
  TrailQuad(s);
  PopClientProjection();
  glEnable(GL_DEPTH_TEST);
  glDisable(GL_BLEND);
}

bool FrameRenderer::GlowCaptureWanted() const {
  const auto& set = scene_.settings;
  const bool something_glows = On(set.fx_text) || On(set.fx_sprites) || On(set.fx_particles) || On(set.fx_vortex) ||
                               On(set.echo_model_3_on) || Nonzero(set.fx_model_2) || Nonzero(set.fx_model_3) ||
                               Nonzero(set.echo_model_2_on) || Nonzero(set.echo_model_1_on);
  const bool something_echoes = Nonzero(set.scene_echo_on) || Nonzero(set.fx_model_2) || Nonzero(set.fx_model_3) ||
                                Nonzero(set.echo_model_2_on) || On(set.echo_model_1_on);
  return something_glows && something_echoes;
}

void FrameRenderer::BeginCapture(bool copy_frame) {
  if (capture_target_.valid()) {
    capture_target_.Begin(copy_frame, scene_.view_width, scene_.view_height);
  } else {
    // Without framebuffer objects the capture is drawn in the lower-left corner of the frame.
    glViewport(0, 0, kCaptureSize, kCaptureSize);
  }
}

void FrameRenderer::EndCapture(uint32_t target) {
  for (size_t k = 0; k < 3; ++k)
    if (glow_model_texture_[k] == target) model_capture_held_[k] = -1;
  // Grey on purpose: the echo tint gives the capture its colour.
  if (capture_target_.valid()) {
    capture_target_.End(target);
  } else {
    glBindTexture(GL_TEXTURE_2D, target);
    glCopyTexImage2D(GL_TEXTURE_2D, 0, GL_LUMINANCE, 0, 0, kCaptureSize, kCaptureSize, 0);
  }
  RestoreViewport(scene_);
  glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
}

void FrameRenderer::GlowCaptures() {
  SceneState& s = scene_;
  const auto& set = s.settings;
  stats_.glow_captured = true;
  glDisable(GL_LIGHTING);
  glEnable(GL_DEPTH_TEST);
  glShadeModel(GL_SMOOTH);
  glDisable(GL_BLEND);

  // a. The glow scene. Whatever the trail pass left in the frame is captured with it and then
  //    cleared, so with captures on the trail shows only through its overlay.
  BeginCapture(stats_.trail_drawn);
  layers_.DrawGlowScene(s, GlowVariant::kCapture);
  EndCapture(glow_scene_texture_);

  // b. Model 1 alone; its material is then forced to red with a white highlight, which the
  //    following passes inherit.
  // A model capture with nothing to draw holds the clear colour's grey (its red channel at 8
  // bits): its echo adds a known constant. Only a red level too close to a half to call is left
  // to the sampling path.
  GLfloat clear[4];
  glGetFloatv(GL_COLOR_CLEAR_VALUE, clear);
  const float clear_level = std::clamp(clear[0], 0.0f, 1.0f) * 255.0f;
  const float fraction = clear_level - std::floor(clear_level);
  const int clear_grey = std::fabs(fraction - 0.5f) > 1e-3f ? static_cast<int>(std::nearbyint(clear_level)) : -1;
  for (int k = 1; k <= 3; ++k) {
    const float fx = k == 1 ? set.fx_model_1 : k == 2 ? set.fx_model_2 : set.fx_model_3;
    if (!On(fx) || !layers_.ModelHasGeometry(k)) capture_grey_[static_cast<size_t>(k)] = clear_grey;
  }

  // Outside the reference path a model capture that draws nothing is not taken: its texture is
  // given the clear colour's grey once, and keeps it while the captures stay empty. The clear of
  // the frame after it is left out too: captures draw into their own target, so the frame was
  // cleared by the scene capture's and nothing has drawn into it since.
  auto empty = [&](float fx) {
    return !On(fx) && mode_ != RenderMode::kReference && capture_target_.valid() && clear_grey >= 0;
  };
  const GLfloat red[4] = {1.0f, 0.0f, 0.0f, 1.0f};
  const GLfloat white[4] = {1.0f, 1.0f, 1.0f, 1.0f};
  if (empty(set.fx_model_1)) {
    FillCapture(1, clear_grey);
    glMaterialfv(GL_FRONT_AND_BACK, GL_AMBIENT_AND_DIFFUSE, red);
    glMaterialfv(GL_FRONT_AND_BACK, GL_SPECULAR, white);
  } else {
    BeginCapture(false);
    if (On(set.fx_model_1)) layers_.DrawModelGlow(s, 1);
    glMaterialfv(GL_FRONT_AND_BACK, GL_AMBIENT_AND_DIFFUSE, red);
    glMaterialfv(GL_FRONT_AND_BACK, GL_SPECULAR, white);
    EndCapture(glow_model_texture_[0]);
  }

  // c, d. Models 2 and 3 alone.
  if (empty(set.fx_model_2)) {
    FillCapture(2, clear_grey);
  } else {
    BeginCapture(false);
    if (On(set.fx_model_2)) layers_.DrawModelGlow(s, 2);
    EndCapture(glow_model_texture_[1]);
  }
  if (empty(set.fx_model_3)) {
    FillCapture(3, clear_grey);
  } else {
    BeginCapture(false);
    if (On(set.fx_model_3)) layers_.DrawModelGlow(s, 3);
    EndCapture(glow_model_texture_[2]);
  }
}

void FrameRenderer::FillCapture(int slot, int grey) {
  int& held = model_capture_held_[static_cast<size_t>(slot - 1)];
  if (held == grey) return;
  const std::vector<uint8_t> level(static_cast<size_t>(kCaptureSize) * kCaptureSize, static_cast<uint8_t>(grey));
  GLint unpack = 4;
  glGetIntegerv(GL_UNPACK_ALIGNMENT, &unpack);
  glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
  glBindTexture(GL_TEXTURE_2D, glow_model_texture_[static_cast<size_t>(slot - 1)]);
  glTexImage2D(GL_TEXTURE_2D, 0, GL_LUMINANCE, kCaptureSize, kCaptureSize, 0, GL_LUMINANCE, GL_UNSIGNED_BYTE,
               level.data());
  glPixelStorei(GL_UNPACK_ALIGNMENT, unpack);
  held = grey;
}

void FrameRenderer::TrailOverlay() {
  SceneState& s = scene_;
  s.settings.scene_echo_on = 0.0f;
  glDisable(GL_LIGHTING);
  glDisable(GL_DEPTH_TEST);
  glBlendFunc(GL_SRC_ALPHA, GL_ONE);
  glEnable(GL_BLEND);
  // Texturing is normally still on from the passes before; enabled here so the overlay does not
  // depend on which layers ran.
  glEnable(GL_TEXTURE_2D);
  glDisable(GL_TEXTURE_GEN_S);
  glDisable(GL_TEXTURE_GEN_T);
  glBindTexture(GL_TEXTURE_2D, trail_texture_);
  if (!(s.work.trail_fade > 0.0f)) s.work.trail_fade = 1.0f;
  glColor4f(1.0f, 1.0f, 0.0f, 0.9f - s.work.trail_fade / 400.0f);
  PushClientProjection(s);
  TrailQuad(s);
  PopClientProjection();
  glEnable(GL_DEPTH_TEST);
  glDisable(GL_BLEND);
}

}  // namespace vl::render
