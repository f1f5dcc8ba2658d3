// The per-frame renderer: fetches the frame's working values, then draws the passes in their fixed
// order into the current context and framebuffer (feedback trail, glow captures, echoes, the
// layers at their slots, fog), and ends with the frame advance. Owns the render targets and the
// trail clock. Knows nothing of the window or host it draws for.
#pragma once
#include <array>
#include <cstdint>
#include <functional>
#include <vector>

#include "engine/scene_state.h"
#include "render/capture_target.h"
#include "render/clock.h"
#include "render/echo_route.h"
#include "render/echo_sum.h"
#include "render/playback.h"
#include "render/scene_layers.h"

namespace vl::render {

inline constexpr int kCaptureSize = 512;  // glow captures, drawn into a target of this size
inline constexpr int kTrailSize = 256;    // the trail image
// Echo layer counts come from a working value a loop can key to anything; each layer is one
// screen quad, so the count is capped. 512 layers already inset the capture 10 times over.
inline constexpr int kMaxEchoLayers = 512;
// Trail copy origins further out than this are pulled in; they only read undefined pixels anyway.
inline constexpr int kMaxTrailOffset = 16384;

// The layers a working value asks for: value + 25, truncated toward zero (NaN asks for none).
int32_t EchoLayersAsked(float working_value);
// The layers drawn: those asked for, kept within [0, kMaxEchoLayers].
int EchoLayerCount(float working_value);
// Whether anything feeds the scene echo: it repeats the glow capture of the text, sprites,
// particles, vortex and model 2, and without one of these the late scene echo is not drawn.
bool SceneEchoFed(const engine::SequenceSettings& settings);

// How the echoes are drawn. Reference draws every pass exactly as written (one quad per echo
// layer); exact gives the same pixels faster (layers that add nothing left out, one summing pass
// per echo, a repeated echo computed once); fast sums the echoes at reduced resolution.
enum class RenderMode { kReference, kExact, kFast };
const char* RenderModeName(RenderMode mode);
// Reference when VANTALOOP_REFERENCE is set to 1, exact otherwise.
RenderMode RenderModeFromEnvironment();

// What the last frame did, for tests and diagnostics.
struct FrameStats {
  bool trail_drawn = false;
  bool trail_admitted = false;  // the trail clock let the trail image be updated
  bool glow_captured = false;
  int echo_overlays = 0;                             // echo instances drawn
  int scene_echo_layers = -1;                        // -1 when the scene echo was not drawn
  std::array<int, 3> model_echo_layers{-1, -1, -1};  // last count drawn per model slot
  int drawn_frame = -1;                              // the frame index whose values were fetched
  // How the echoes were drawn: as quads, as summing passes, as one flat add (a capture of one
  // grey level), left out (nothing to add), or added again from a kept sum.
  int echoes_as_quads = 0;
  int echoes_summed = 0;
  int echoes_flat = 0;
  int echoes_skipped = 0;
  int echoes_reused = 0;
  int echoes_unseen = 0;  // left undrawn: the picture is not kept
};

class FrameRenderer final : public FrameDrawer {
 public:
  FrameRenderer(engine::SceneState& scene, SceneLayers& layers, const Clock& clock)
      : scene_(scene), layers_(layers), clock_(clock) {}

  // Render targets; call with the context current (start-up does).
  void CreateGlowTargets();
  void CreateTrailTarget();

  // The GL half of the frame step, then the frame.
  void DrawFrameStep(PlaybackPanel* panel) override;
  // One frame: fetch, passes, final state, frame advance.
  void RenderFrame(PlaybackPanel* panel);

  void set_render_mode(RenderMode mode) { mode_ = mode; }
  RenderMode render_mode() const { return mode_; }
  // For frames whose picture nobody sees (an export's preroll): the echoes only leave the state
  // they would leave, without drawing. Nothing a later frame reads depends on them (every frame
  // starts from a clear, the trail and the captures are taken before the echoes draw). The
  // reference path always draws.
  void set_echoes_unseen(bool unseen) { echoes_unseen_ = unseen; }
  // Further: the echoes unseen, and nothing drawn onto the frame after the trail image and the
  // captures are taken (the layers still advance their own state). What the next frame reads is
  // left exactly as a whole picture would leave it, at a fraction of the cost.
  void set_picture_unseen(bool unseen) { picture_unseen_ = echoes_unseen_ = unseen; }
  // Runs after every frame's working values are fetched from the tracks, before anything is
  // drawn: values held from outside (a live control) take the place of the loop's own there.
  void set_after_fetch(std::function<void(engine::SceneState&)> hook) { after_fetch_ = std::move(hook); }
  // The GL state every frame leaves for the next. The view's start-up leaves another (additive
  // blending on), which only the very first frame after it meets; a first frame meant to look as
  // the loop looks when it plays round sets this first.
  static void SetStateBetweenFrames();

  const FrameStats& last_frame() const { return stats_; }
  // The echo compositor, for tests (its program builder can be made to fail).
  EchoSum& echo_sum() { return echo_sum_; }
  float trail_last_admitted_s() const { return trail_last_admitted_s_; }

  uint32_t glow_scene_texture() const { return glow_scene_texture_; }
  uint32_t glow_model_texture(int slot) const { return glow_model_texture_[slot - 1]; }
  uint32_t trail_texture() const { return trail_texture_; }

 private:
  void FetchWorkingValues();
  void TrailPass();
  void TrailComposite();
  bool GlowCaptureWanted() const;
  void GlowCaptures();
  void BeginCapture(bool copy_frame);
  void EndCapture(uint32_t target);
  // A model capture that would hold only the clear colour: its texture is given that grey.
  void FillCapture(int slot, int grey);
  // Passes 6 to 12: the layers at their slots, each where its switch has it.
  void LayerPasses();
  // Pass 13: the late echoes.
  void LateEchoes();
  // frame_echoes.cpp: the echoes.
  void EchoState();
  void SceneEcho();
  void ModelEcho(int slot, bool early);
  // capture: 0 the glow scene, 1..3 a model; keep: the same echo comes again later this frame.
  void EchoOverlay(int capture, int layers, float inset_value, float alpha_value, const float* colour, bool keep);
  uint32_t CaptureTexture(int capture) const;
  void EchoQuads(uint32_t texture, const std::vector<EchoLayerStep>& steps, const float* colour);
  bool EchoFaster(int capture, const std::vector<EchoLayerStep>& steps, const float* colour, bool keep);
  // One echo as EchoFaster found it: its layers (and, with its late repeat, both sets).
  struct EchoTrip {
    EchoInputs in, merged, late;
    std::vector<int> late_alpha8;
    int capture = 0;
    int grey = -1;  // the capture's one grey level, or -1
    bool keep = false, with_late = false;
    std::array<int, 3> levels{};  // what a flat route adds
  };
  // The echo's layers as the sums take them, from the quads' steps and the current GL colour,
  // lighting and material.
  EchoTrip TripOf(int capture, const std::vector<EchoLayerStep>& steps, const float* colour, bool keep);
  // The route, chosen before anything is drawn; the flat routes' levels go into trip.levels.
  EchoRouteChoice RouteOf(EchoTrip& trip);
  // Draws the echo its route's way; false when it drew nothing and the quads must.
  bool DrawEchoRoute(EchoTrip& trip);
  // Counts an echo that adds the same levels everywhere, to be added with the next flush.
  bool AddFlat(const std::array<int, 3>& sum);
  // Adds the flat echoes collected since the last draw, in one pass.
  void FlushFlatEchoes();
  void TrailOverlay();

  engine::SceneState& scene_;
  SceneLayers& layers_;
  const Clock& clock_;
  FrameStats stats_;
  // Seconds of the last admitted trail update, for the program's life.
  float trail_last_admitted_s_ = 0.0f;
  bool trail_ever_admitted_ = false;  // until then the next tick is admitted whatever the clock says
  uint32_t glow_scene_texture_ = 0;
  std::array<uint32_t, 3> glow_model_texture_{};
  uint32_t trail_texture_ = 0;
  CaptureTarget capture_target_;
  EchoSum echo_sum_;
  RenderMode mode_ = RenderModeFromEnvironment();
  bool echoes_unseen_ = false;
  bool picture_unseen_ = false;
  std::function<void(engine::SceneState&)> after_fetch_;
  int64_t frame_serial_ = 0;
  // Per capture (scene, models 1-3): the grey level it is known to hold throughout because
  // nothing was drawn into it, or -1.
  std::array<int, 4> capture_grey_{-1, -1, -1, -1};
  // The grey level each model capture texture holds throughout from FillCapture, or -1.
  std::array<int, 3> model_capture_held_{-1, -1, -1};
  std::array<int, 3> pending_flat_{0, 0, 0};  // flat echoes not yet added, in levels
};

}  // namespace vl::render
