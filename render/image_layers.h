// The image and effect layers between the backdrop and the models: the two backdrop planes, the
// tunnel, the two photo planes on their wave grid, the vortex (a chain of fountain copies), the
// main particle system's pass and the sprite ring, plus their start-up and their redraws for the
// glow capture and the trail. Each draw reads working values and switches, sets the GL state it
// depends on at its start and leaves the state named with it. The layer objects (tunnel arrays and
// phase, photo grid and the one-frame-late photo alphas, sprite and vortex records, fountain,
// particle system) live here for the life of the context. No window, no Qt.
#pragma once
#include <array>
#include <cstdint>
#include <vector>

#include "assets/particle_system.h"
#include "engine/numeric.h"
#include "engine/random.h"
#include "engine/scene_state.h"
#include "render/fountain.h"
#include "render/particle_draw.h"
#include "render/scene_layers.h"

namespace vl::render {

inline constexpr int kPhotoGridSize = 45;  // vertices per side of the photo wave grid
inline constexpr int kTunnelSize = 33;     // rings and depth steps of the tunnel
inline constexpr int kFountainParticles = 300;
// The sprite ring's records are a fixed array; a keyed sprite_count above it draws this many.
inline constexpr int kMaxSprites = 1000;
// The vortex keeps vortex_spacing above 116, which allows at most 26 elements (k = 1 .. 26).
inline constexpr int kMaxVortexElements = 26;

// The rules the vortex and sprite passes draw by, shared with the loop check so the two cannot
// part. Spacing not above 116 (or NaN) is drawn as 118.
inline float VortexSpacing(float keyed) { return keyed > 116.0f ? keyed : 118.0f; }
// Elements of the chain at a spacing as VortexSpacing gives it: k = 1 .. 26 while k < 50 - spacing / 5.
int VortexElementCount(float spacing);
// How far each element steps the fountain; a step not above 0 emits nothing.
inline int32_t FountainStep(float emit, float spacing) { return TruncToInt(2.0f + emit + spacing - 1.0f); }
// A sprite alpha not above 0 (or NaN) is drawn as 1.
inline float SpriteAlpha(float keyed) { return keyed > 0.0f ? keyed : 1.0f; }
// Untinted sprites draw with half the alpha, cut to its low byte as a byte conversion does.
inline uint8_t UntintedSpriteAlpha(float alpha) { return static_cast<uint8_t>(TruncToInt(alpha / 2.0f) & 0xFF); }

struct SpriteRecord {
  uint8_t r = 0, g = 0, b = 0;
  float radius = 0;
  float angle = 0;
};

struct VortexRecord {
  float radius = 0;  // nothing writes it: every element sits on the chain's own axis
  float angle = 0;
};

// What the last draws did, for tests and diagnostics.
struct LayerStats {
  int vortex_elements = 0;   // elements of the last vortex draw
  int fountain_revived = 0;  // particles revived by the last vortex draw's steps
  int sprites_drawn = 0;     // quads of the last sprite ring draw
  int particle_resets = 0;   // reset requests applied so far
};

class ImageLayers {
 public:
  explicit ImageLayers(Random& random) : random_(&random), fountain_(random), particles_(random) {}

  // ---- Start-up, once per context ----
  // Sprite records 0 .. sprite_count - 1: angle 0, radius k / 60, random red, green, blue (drawn
  // in that order). Records beyond stay zero.
  void InitSpriteRing(engine::SceneState& scene);
  // The fountain: 300 dead particles at the origin.
  void CreateFountain(engine::SceneState& scene);
  // The wave grid at rest: x and y from -4.5 to 4.3 in steps of 0.2, z a sine along x.
  void InitPhotoGrid(engine::SceneState& scene);

  // ---- The frame's layers, each called when its switch is on ----
  // Leaves lighting, depth test and sphere-map generation on, texturing and blending off.
  void DrawBackdrop(engine::SceneState& scene);
  // Expects the tunnel fog parameters set; enables fog and disables it again.
  void DrawTunnel(engine::SceneState& scene);
  // Photo A (unless photo_a_hidden), photo B, then the grid's wave for the next frame. Uses the
  // blend function left by the passes before. Leaves light 0 as a spot light.
  void DrawPhotos(engine::SceneState& scene);
  // Leaves depth test and writes on, lighting and sphere-map generation on, texturing and
  // blending off.
  void DrawVortex(engine::SceneState& scene);
  // The main particle pass: reset requests, configuration, prewarm, update, draw. The particle
  // fog, when the loop's version asks for it, is set by the renderer before the call.
  void DrawParticles(engine::SceneState& scene);
  // Leaves lighting and sphere-map generation on, texturing and blending off.
  void DrawSpriteRing(engine::SceneState& scene);

  // ---- Glow scene pieces ----
  // The renderer's glow scene pass draws, in this order: the text (fx_text), then these three,
  // then model 1. Each piece draws only when its fx_ switch is on, with the transforms and
  // working values of the main frame, and returns whether it drew.
  //
  // Sprites (fx_sprites): the sprite ring exactly as in the frame, in both variants.
  bool DrawGlowSprites(engine::SceneState& scene, GlowVariant variant);
  // Particles (fx_particles): the particle pass without fog and without the prewarm test (the
  // prewarm request is left for the main pass). Reset requests are applied here when this runs
  // first. The update runs again with particle_time_scale / 50, so the system advances once more
  // per frame in each variant that draws it. The capture variant binds particle_texture before
  // the draw; the trail variant draws with whatever texture is bound (it matters only for an
  // untextured system's points).
  bool DrawGlowParticles(engine::SceneState& scene, GlowVariant variant);
  // Vortex (fx_vortex): a vortex_spacing not above 116 is raised to 243 in the capture variant
  // (a single element) and to 118 in the trail variant (26 elements), then the vortex is drawn
  // and the fountain stepped as in the frame. The raised value is written to the working value,
  // so a main vortex later in the same frame sees it too.
  bool DrawGlowVortex(engine::SceneState& scene, GlowVariant variant);
  // The three pieces above in the glow scene's order.
  void DrawGlowLayers(engine::SceneState& scene, GlowVariant variant);

  // ---- State ----
  assets::ParticleSystem& particles() { return particles_; }
  Fountain& fountain() { return fountain_; }
  const LayerStats& stats() const { return stats_; }
  float tunnel_phase() const { return tunnel_phase_; }
  float photo_alpha_a() const { return photo_alpha_a_; }
  float photo_alpha_b() const { return photo_alpha_b_; }
  const std::array<SpriteRecord, kMaxSprites>& sprites() const { return sprites_; }
  const float* photo_grid_vertex(int i, int j) const { return photo_grid_[i][j]; }
  const float* tunnel_texcoord(int i, int j) const { return tunnel_texcoords_[i][j]; }

  // The photos' alphas and wave grid follow the scene one frame late. For a first frame with
  // nothing drawn before it (an export from a fresh start), sets them as if `frame` had been
  // drawn just before, so the first picture is the loop's own rather than blank.
  void SettlePhotoLag(const engine::SceneState& scene, int frame);

  // Geometry through GL 1.1 vertex arrays (the default) or immediate mode; the same pixels.
  void set_use_arrays(bool on);

 private:
  void BackdropPlane(engine::SceneState& scene, int plane);
  void TunnelGeometry(engine::SceneState& scene);
  void PhotoGrid();
  void ParticlePass(engine::SceneState& scene, bool glow, GlowVariant variant);

  Random* random_;
  Fountain fountain_;
  assets::ParticleSystem particles_;
  ParticleDrawer particle_drawer_;
  LayerStats stats_;
  bool use_arrays_ = true;

  float tunnel_vertices_[kTunnelSize][kTunnelSize][3] = {};
  float tunnel_texcoords_[kTunnelSize][kTunnelSize][2] = {};
  float tunnel_phase_ = 0.0f;
  float photo_grid_[kPhotoGridSize][kPhotoGridSize][3] = {};
  // Each photo's alpha takes effect one frame after photo_mix changes.
  float photo_alpha_a_ = 0.0f;
  float photo_alpha_b_ = 0.0f;
  std::array<SpriteRecord, kMaxSprites> sprites_{};
  std::array<VortexRecord, kMaxVortexElements + 1> vortex_{};  // index 0 unused
  // Index buffers for the array paths, built once.
  std::vector<uint32_t> grid_indices_, tunnel_indices_;
  std::vector<float> grid_texcoords_;
};

}  // namespace vl::render
