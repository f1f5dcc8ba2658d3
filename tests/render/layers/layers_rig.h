// A small player for the layer tests and the layer benchmark: the scene, the image layers behind
// the renderer's layer slots, the offline player and small generated textures. Needs a current
// GL context. Working values are set by writing the track at frame 0, which is the frame a
// stopped player draws every tick.
#pragma once
#include <GL/gl.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "engine/random.h"
#include "engine/scene_state.h"
#include "render/image_layers.h"
#include "render/offline_player.h"
#include "render/render_assets.h"
#include "render/scene_layers.h"

namespace vl::test {

// The renderer's layer slots, forwarded to the image layers; the glow scene draws only the
// sprites, particles and vortex pieces (there is no text or model here).
class ImageLayerSlots : public render::SceneLayers {
 public:
  explicit ImageLayerSlots(Random& random) : image(random) {}
  void InitSpriteRing(engine::SceneState& s, vl::Random&) override { image.InitSpriteRing(s); }
  void CreateFountain(engine::SceneState& s) override { image.CreateFountain(s); }
  void InitPhotoGrid(engine::SceneState& s) override { image.InitPhotoGrid(s); }
  void DrawBackdrop(engine::SceneState& s) override { image.DrawBackdrop(s); }
  void DrawTunnel(engine::SceneState& s) override { image.DrawTunnel(s); }
  void DrawPhotos(engine::SceneState& s) override { image.DrawPhotos(s); }
  void DrawVortex(engine::SceneState& s) override { image.DrawVortex(s); }
  void DrawParticles(engine::SceneState& s) override { image.DrawParticles(s); }
  void DrawSpriteRing(engine::SceneState& s) override { image.DrawSpriteRing(s); }
  void DrawGlowScene(engine::SceneState& s, render::GlowVariant v) override { image.DrawGlowLayers(s, v); }

  render::ImageLayers image;
};

// An 8 x 8 RGBA texture, opaque white with a grey checker so texture coordinates show.
inline uint32_t MakeTestTexture() {
  std::vector<uint8_t> pixels(8 * 8 * 4);
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 8; ++x) {
      uint8_t* p = &pixels[static_cast<size_t>((y * 8 + x) * 4)];
      const uint8_t v = ((x + y) & 1) ? 255 : 160;
      p[0] = p[1] = p[2] = v;
      p[3] = 255;
    }
  GLuint name = 0;
  glGenTextures(1, &name);
  glBindTexture(GL_TEXTURE_2D, name);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
  glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA, 8, 8, 0, GL_RGBA, GL_UNSIGNED_BYTE, pixels.data());
  return name;
}

struct LayerRig {
  // The rig's own generator is seeded with `seed` once the player has started (the start seeds
  // it with 1), so every rig of a seed draws the same random choices.
  LayerRig(int width, int height, uint32_t seed = 1)
      : scene(std::make_unique<engine::SceneState>()), slots(random), player(*scene, slots, 25, random) {
    assets.set_quiet(true);
    // Working values at frame 0 start from the construction defaults.
    for (int i = 0; i < engine::kTrackCount; ++i) {
      const auto t = static_cast<engine::Track>(i);
      scene->track(t).frame_values[0] = engine::kTrackCatalogue[static_cast<size_t>(i)].construction_default;
    }
    player.Start(assets, width, height);
    random.Seed(seed);
    const uint32_t texture = MakeTestTexture();
    using engine::TextureSlot;
    for (TextureSlot s : {TextureSlot::backdrop_1_texture, TextureSlot::backdrop_2_texture, TextureSlot::tunnel_texture,
                          TextureSlot::photo_a_texture, TextureSlot::photo_b_texture, TextureSlot::sprite_texture,
                          TextureSlot::fountain_texture, TextureSlot::particle_texture})
      scene->texture(s) = texture;
    // Photo sizes in HIMETRIC: 10 cm squares fill the view at the photo planes' depth.
    scene->photo_a_width[0] = scene->photo_a_height[0] = 10000;
    scene->photo_b_width[0] = scene->photo_b_height[0] = 10000;
    AllOff();
  }

  // Every layer and effect switch off: the frame is the background only.
  void AllOff() {
    auto& set = scene->settings;
    for (float* f :
         {&set.backdrop_on, &set.tunnel_on, &set.photo_on, &set.vortex_on, &set.particles_on, &set.sprites_on,
          &set.text_on, &set.fx_text, &set.fx_sprites, &set.fx_particles, &set.fx_vortex, &set.fx_model_2,
          &set.scene_echo_on, &set.trail_on, &set.model_1_on, &set.model_2_on, &set.model_3_on})
      *f = 0.0f;
  }

  void Key(engine::Track t, float v) { scene->track(t).frame_values[0] = v; }
  float Work(engine::Track t) const { return scene->work[t]; }

  void Frames(int n) {
    for (int i = 0; i < n; ++i) player.DrawNextFrame();
  }

  Random random;
  std::unique_ptr<engine::SceneState> scene;
  ImageLayerSlots slots;
  render::RenderAssets assets;
  render::OfflinePlayer player;
};

}  // namespace vl::test
