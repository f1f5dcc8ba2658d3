#include "render/view_setup.h"

#include <GL/gl.h>
#include <GL/glu.h>

namespace vl::render {

using engine::SceneState;
using engine::TextureSlot;

void ApplyViewSize(SceneState& scene, int width, int height) {
  const int h = height == 0 ? 1 : height;
  glViewport(0, 0, width, h);
  glMatrixMode(GL_PROJECTION);
  glLoadIdentity();
  gluPerspective(45.0, static_cast<double>(width) / static_cast<double>(h), static_cast<double>(0.1f), 10000.0);
  glMatrixMode(GL_MODELVIEW);
  glLoadIdentity();
  scene.view_width = width;
  scene.view_height = height;
}

namespace {

// The GL state start-up leaves, in the three passes it was written in (later passes repeat some
// of the first's; the repeats are kept, so the order of calls is the same).
void StartGlState(SceneState& scene) {
  auto& w = scene.work;
  // GL state, first pass. A clear depth of 2 is clamped to 1 by GL.
  glShadeModel(GL_SMOOTH);
  glClearColor(0.0f, 0.0f, 0.0f, 0.0f);
  glClearDepth(2.0);
  glEnable(GL_DEPTH_TEST);
  glDepthFunc(GL_LEQUAL);
  glHint(GL_PERSPECTIVE_CORRECTION_HINT, GL_NICEST);
  glEnable(GL_LIGHT0);
  glEnable(GL_LIGHTING);

  w.material_r = w.material_g = w.material_b = 128.0f;

  // GL state, second pass.
  glEnable(GL_TEXTURE_2D);
  glShadeModel(GL_SMOOTH);
  glClearColor(0.0f, 0.0f, 0.0f, 0.5f);
  glClearDepth(1.0);
  glHint(GL_PERSPECTIVE_CORRECTION_HINT, GL_NICEST);
  glBlendFunc(GL_SRC_ALPHA, GL_ONE);
  glEnable(GL_BLEND);
}

// The default asset names (loaded only when a loop asks for them), the chrome texture, and the
// particle texture with the particles' defaults.
void StartAssetsAndParticles(SceneState& scene, RenderAssets& assets) {
  auto& set = scene.settings;
  auto& w = scene.work;
  // Default asset names only; a loop that asks for them loads them.
  set.sequence_texture_name = "Textures/Gold.jpg";
  set.sequence_texture_name_length = 17.0f;
  set.sequence_texture_mode = 2.0f;
  set.model_1_file_name = "model/Tardis.3ds";
  set.model_1_file_name_length = 16.0f;
  set.model_1_texture_name = "Textures/TardisImages3.jpg";
  set.model_1_texture_name_length = 22.0f;

  assets.LoadPictureTextureMipmapped(scene, "Particles/Envroll.bmp", TextureSlot::chrome_texture);
  set.model_1_lit = set.model_2_lit = set.model_3_lit = 2.0f;

  // Particle texture and defaults; the first particle frame applies the default configuration.
  assets.LoadParticleTexture(scene, "Particles/particle.tga");
  scene.particle_reset_a = scene.particle_reset_b = 2.0f;
  w.particle_accel_max = 2.0f;
  w.particle_emitter_x = w.particle_emitter_y = w.particle_emitter_z = 10.0f;
  set.particle_count = 800;
  w.particle_colour_a_r = 122.0f;
  w.particle_colour_a_g = 100.0f;
  w.particle_colour_a_b = 135.0f;
  w.particle_life_min = 50.0f;
  w.particle_life_max = 25.0f;
  w.particle_time_scale = 25.0f;
  scene.particle_size = 1.0f;
  scene.particle_colour_b_r = scene.particle_colour_b_g = scene.particle_colour_b_b = 0.0f;
}

void StartPhotos(SceneState& scene, RenderAssets& assets) {
  // GL state, third pass.
  glEnable(GL_TEXTURE_2D);
  glClearColor(0.0f, 0.0f, 0.0f, 0.5f);
  glClearDepth(1.0);
  glShadeModel(GL_SMOOTH);
  glHint(GL_PERSPECTIVE_CORRECTION_HINT, GL_NICEST);

  assets.LoadPhotoTextureA(scene, "Images/video-girl.jpg");
  assets.LoadPhotoTextureB(scene, "Images/sleeping-dog.jpg");
  scene.custom_image_mode = 2;
}

// The sprite ring, the vortex fountain and the tunnel, with their defaults.
void StartRingFountainTunnel(SceneState& scene, SceneLayers& layers, vl::Random& random) {
  auto& set = scene.settings;
  auto& w = scene.work;
  // Sprite ring records (random colours), then its placement.
  w.ring_swirl = 50.0f;
  layers.InitSpriteRing(scene, random);
  w.ring_z = -35.0f;
  w.ring_pitch = 90.0f;

  // Vortex fountain and its defaults.
  layers.CreateFountain(scene);
  w.fountain_spread_x = 0.01f;
  w.fountain_spread_y = 30.0f;
  w.fountain_spread_z = 0.01f;
  w.vortex_emit = -229.0f;
  w.fountain_r = 107.0f;
  w.fountain_g = 79.0f;
  w.fountain_b = 49.0f;
  w.vortex_spacing = 243.0f;

  // Tunnel and fog.
  w.tunnel_speed = 0.0f;
  set.tunnel_r = 0.0f;
  set.tunnel_g = 255.0f;
  set.tunnel_b = 0.0f;
  scene.fog_density = 0.25f;
  w.fog_start = 0.0f;
  w.fog_end = 230.0f;
  w.tunnel_sweep_x = w.tunnel_sweep_y = 200.0f;
  w.tunnel_radius_x = w.tunnel_radius_y = 300.0f;
}

// Identity matrices, depth test, light 0 and the global ambient.
void StartLighting() {
  glMatrixMode(GL_PROJECTION);
  glLoadIdentity();
  glMatrixMode(GL_MODELVIEW);
  glLoadIdentity();
  glEnable(GL_DEPTH_TEST);

  // Light 0 and the global ambient.
  const GLfloat model_ambient[4] = {0.2f, 0.2f, 0.2f, 1.0f};
  const GLfloat light_position[4] = {0.0f, 5.0f, 10.0f, 1.0f};
  const GLfloat light_ambient[4] = {0.2f, 0.2f, 0.2f, 1.0f};
  const GLfloat light_diffuse[4] = {0.3f, 0.3f, 0.3f, 1.0f};
  const GLfloat light_specular[4] = {0.8f, 0.8f, 0.8f, 1.0f};
  glLightModelfv(GL_LIGHT_MODEL_AMBIENT, model_ambient);
  glLightfv(GL_LIGHT0, GL_POSITION, light_position);
  glLightfv(GL_LIGHT0, GL_AMBIENT, light_ambient);
  glLightfv(GL_LIGHT0, GL_DIFFUSE, light_diffuse);
  glLightfv(GL_LIGHT0, GL_SPECULAR, light_specular);
  glEnable(GL_LIGHTING);
  glEnable(GL_LIGHT0);
  glShadeModel(GL_SMOOTH);
  glMaterialf(GL_FRONT, GL_SHININESS, 128.0f);
  glClearColor(0.0f, 0.0f, 0.0f, 0.5f);
}

void StartLayerDefaults(SceneState& scene) {
  auto& set = scene.settings;
  auto& w = scene.work;
  // Layer defaults.
  w.backdrop_1_z = -200.0f;
  w.backdrop_2_z = -150.0f;
  w.scene_echo_alpha = 0.2f;
  set.trail_tint_r = 0.0f;
  set.trail_tint_g = 0.0f;
  set.trail_tint_b = 1.0f;
  w.model_1_echo_r = 0.0f, w.model_1_echo_g = 0.0f, w.model_1_echo_b = 50.0f;
  w.model_2_echo_r = 50.0f, w.model_2_echo_g = 0.0f, w.model_2_echo_b = 0.0f;
  w.model_3_echo_r = 0.0f, w.model_3_echo_g = 50.0f, w.model_3_echo_b = 0.0f;
}

}  // namespace

void StartView(SceneState& scene, FrameRenderer& renderer, SceneLayers& layers, RenderAssets& assets,
               vl::Random& random) {
  auto& set = scene.settings;
  auto& w = scene.work;

  // Scene switches.
  scene.loop_sequence = 2.0f;
  scene.sequence_version = 6.0f;

  // Built-in user image.
  assets.LoadBuiltInImage(scene);

  StartGlState(scene);
  StartAssetsAndParticles(scene, assets);
  StartPhotos(scene, assets);
  StartRingFountainTunnel(scene, layers, random);
  set.fx_text = 2.0f;

  renderer.CreateGlowTargets();
  StartLighting();
  StartLayerDefaults(scene);

  glEnable(GL_TEXTURE_2D);
  glEnable(GL_DEPTH_TEST);
  renderer.CreateTrailTarget();

  set.text_on = 2.0f;
  w.model_1_z = -40.0f;
  w.model_2_x = 8.0f, w.model_2_y = 0.0f, w.model_2_z = -40.0f;
  w.model_3_x = -8.0f, w.model_3_y = 0.0f, w.model_3_z = -40.0f;
  w.photo_scale_x = 50.0f, w.photo_scale_y = 50.0f, w.photo_scale_z = 1.0f;

  layers.InitPhotoGrid(scene);

  w.photo_depth_scale = -1.0f;
  set.photo_switch_a = set.photo_switch_b = 2.0f;

  assets.RebuildGlyphLists(scene);
  set.model_1_unit = set.model_2_unit = set.model_3_unit = 3;
}

}  // namespace vl::render
