#include "render/image_layers.h"

#include <GL/gl.h>

#include <algorithm>
#include <cmath>

#include "engine/numeric.h"
#include "render/gl_state.h"
#include "render/track_periods.h"

namespace vl::render {

using engine::SceneState;
using engine::TextureSlot;

namespace {

// Single-precision pi, as the tunnel's ring angles use it.
constexpr float kTunnelPi = 3.1415927f;
// The wave grid's pi, in double precision.
constexpr double kWavePi = 3.141592654;

// Switch thresholds with a dead band: >= 2 turns a state on, not above 1 turns it off, and a
// value between leaves it as it was.
void ApplySwitch(GLenum cap, float value) {
  if (IsOn(value)) glEnable(cap);
  if (!AboveOne(value)) glDisable(cap);
}

// Quads of a rows x cols vertex grid, corners (i, j), (i, j+1), (i+1, j+1), (i+1, j) for the photo
// grid and (i, j), (i+1, j), (i+1, j+1), (i, j+1) for the tunnel; vertex (i, j) is i * cols + j.
std::vector<uint32_t> GridQuadIndices(int size, bool j_first) {
  std::vector<uint32_t> out;
  out.reserve(static_cast<size_t>((size - 1) * (size - 1) * 4));
  auto at = [size](int i, int j) { return static_cast<uint32_t>(i * size + j); };
  for (int i = 0; i + 1 < size; ++i) {
    for (int j = 0; j + 1 < size; ++j) {
      if (j_first) {
        out.insert(out.end(), {at(i, j), at(i, j + 1), at(i + 1, j + 1), at(i + 1, j)});
      } else {
        out.insert(out.end(), {at(i, j), at(i + 1, j), at(i + 1, j + 1), at(i, j + 1)});
      }
    }
  }
  return out;
}

void DrawIndexedQuads(const float* positions, const float* texcoords, const std::vector<uint32_t>& indices) {
  glEnableClientState(GL_VERTEX_ARRAY);
  glEnableClientState(GL_TEXTURE_COORD_ARRAY);
  glVertexPointer(3, GL_FLOAT, 0, positions);
  glTexCoordPointer(2, GL_FLOAT, 0, texcoords);
  glDrawElements(GL_QUADS, static_cast<GLsizei>(indices.size()), GL_UNSIGNED_INT, indices.data());
  glDisableClientState(GL_TEXTURE_COORD_ARRAY);
  glDisableClientState(GL_VERTEX_ARRAY);
}

}  // namespace

void ImageLayers::set_use_arrays(bool on) {
  use_arrays_ = on;
  fountain_.set_use_arrays(on);
  particle_drawer_.set_geometry(on ? ParticleGeometry::kArrays : ParticleGeometry::kImmediate);
}

// ---- Start-up --------------------------------------------------------------------------------

void ImageLayers::InitSpriteRing(SceneState& scene) {
  const float count = scene.work.sprite_count;
  for (int k = 0; k < kMaxSprites && static_cast<float>(k) < count; ++k) {
    SpriteRecord& s = sprites_[static_cast<size_t>(k)];
    s.angle = 0.0f;
    s.radius = static_cast<float>(k) / 300.0f * 5.0f;
    s.r = static_cast<uint8_t>(random_->Next() % 256);
    s.g = static_cast<uint8_t>(random_->Next() % 256);
    s.b = static_cast<uint8_t>(random_->Next() % 256);
  }
}

void ImageLayers::CreateFountain(SceneState&) {
  // The emission extents given at creation (0.5, 0.5, 10) bound nothing the program reads.
  fountain_.Create(kFountainParticles, FountainVec(0.0f, 0.0f, 0.0f));
}

void ImageLayers::InitPhotoGrid(SceneState&) {
  for (int i = 0; i < kPhotoGridSize; ++i) {
    for (int j = 0; j < kPhotoGridSize; ++j) {
      photo_grid_[i][j][0] = static_cast<float>(i / 5.0 - 4.5);
      photo_grid_[i][j][1] = static_cast<float>(j / 5.0 - 4.5);
      photo_grid_[i][j][2] = static_cast<float>(std::sin((i / 5.0) * 40.0 / 360.0 * kWavePi * 2.0));
    }
  }
}

void ImageLayers::SettlePhotoLag(const SceneState& scene, int frame) {
  frame = std::clamp(frame, 0, engine::kFrameSlots - 1);
  const float mix = scene.track(engine::Track::photo_mix).frame_values[frame];
  photo_alpha_a_ = mix / 255.0f;
  photo_alpha_b_ = 1.0f - mix / 255.0f;
  const int phase = TruncToInt(scene.track(engine::Track::wave_phase).frame_values[frame]);
  for (int i = 0; i < kPhotoGridSize; ++i) {
    const float z = static_cast<float>(std::sin((i / 5.0 * 40.0 + phase) / 360.0 * kWavePi * 2.0));
    for (int j = 0; j < kPhotoGridSize; ++j) photo_grid_[i][j][2] = z;
  }
}

// ---- Backdrop --------------------------------------------------------------------------------

void ImageLayers::BackdropPlane(SceneState& scene, int plane) {
  const auto& w = scene.work;
  const bool first = plane == 1;
  const float x = first ? w.backdrop_1_x : w.backdrop_2_x;
  const float y = first ? w.backdrop_1_y : w.backdrop_2_y;
  const float z = first ? w.backdrop_1_z : w.backdrop_2_z;
  const float rx = first ? w.backdrop_1_rot_x : w.backdrop_2_rot_x;
  const float ry = first ? w.backdrop_1_rot_y : w.backdrop_2_rot_y;
  const float rz = first ? w.backdrop_1_rot_z : w.backdrop_2_rot_z;
  const float su = (first ? w.backdrop_1_scroll_u : w.backdrop_2_scroll_u) / kScrollPerTexture;
  const float sv = (first ? w.backdrop_1_scroll_v : w.backdrop_2_scroll_v) / kScrollPerTexture;
  const uint32_t texture = scene.texture(first ? TextureSlot::backdrop_1_texture : TextureSlot::backdrop_2_texture);

  glLoadIdentity();
  SetTextureGeneration(false);
  glDisable(GL_LIGHTING);
  glEnable(GL_TEXTURE_2D);
  glDisable(GL_DEPTH_TEST);
  glBindTexture(GL_TEXTURE_2D, texture);
  glColor3f(1.0f, 1.0f, 1.0f);
  glTranslatef(x / 20.0f, y / 20.0f, z / 20.0f);
  glRotatef(rx, 1.0f, 0.0f, 0.0f);
  glRotatef(ry, 0.0f, 1.0f, 0.0f);
  glRotatef(rz, 0.0f, 0.0f, 1.0f);
  // The texture repeats three times across the plane and scrolls with the scroll values.
  const float zq = scene.backdrop_depth / 10.0f;
  glBegin(GL_QUADS);
  glTexCoord2f(su + 3.0f, sv + 3.0f);
  glVertex3f(-2.1f, -2.1f, zq);
  glTexCoord2f(su, sv + 3.0f);
  glVertex3f(2.1f, -2.1f, zq);
  glTexCoord2f(su, sv);
  glVertex3f(2.1f, 2.1f, zq);
  glTexCoord2f(su + 3.0f, sv);
  glVertex3f(-2.1f, 2.1f, zq);
  glEnd();
}

void ImageLayers::DrawBackdrop(SceneState& scene) {
  const auto& set = scene.settings;
  if (!AboveOne(set.backdrop_1_hidden)) {
    glBlendFunc(GL_SRC_ALPHA, GL_ONE);
    if (AboveOne(set.backdrop_1_opaque)) glDisable(GL_BLEND);
    else glEnable(GL_BLEND);
    BackdropPlane(scene, 1);
  }
  if (!AboveOne(set.backdrop_2_hidden)) {
    // Plane 2 keeps the blend function in force, and a value between 1 and 2 keeps blending too.
    if (IsOn(set.backdrop_2_opaque)) glDisable(GL_BLEND);
    if (!AboveOne(set.backdrop_2_opaque)) glEnable(GL_BLEND);
    BackdropPlane(scene, 2);
  }
  glEnable(GL_LIGHTING);
  glDisable(GL_TEXTURE_2D);
  SetTextureGeneration(true);
  glDisable(GL_BLEND);
  glEnable(GL_DEPTH_TEST);
}

// ---- Tunnel ----------------------------------------------------------------------------------

void ImageLayers::TunnelGeometry(SceneState& scene) {
  auto& w = scene.work;
  const float radius_x = w.tunnel_radius_x / 100.0f;
  const float radius_y = w.tunnel_radius_y / 100.0f;
  const float sweep_x = w.tunnel_sweep_x / 100.0f * kTunnelPi / 32.0f;
  const float sweep_y = w.tunnel_sweep_y / 100.0f * kTunnelPi / 32.0f;
  for (int i = 0; i < kTunnelSize; ++i) {
    const float cx = std::cos(sweep_x * static_cast<float>(i));
    const float sy = std::sin(sweep_y * static_cast<float>(i));
    for (int j = 0; j < kTunnelSize; ++j) {
      const float inset = static_cast<float>(j) / 12.0f;
      tunnel_vertices_[i][j][0] = (radius_x - inset) * cx;
      tunnel_vertices_[i][j][1] = (radius_y - inset) * sy;
      tunnel_vertices_[i][j][2] = static_cast<float>(-j);
    }
  }

  // Texture coordinates use the mode chosen by the previous frame and its phase.
  const float p = tunnel_phase_;
  const float twist = w.tunnel_twist / 20.0f;
  const float wobble = std::cos((4.0f * p + twist) / 30.0f) / 2.0f;
  const float stretch = w.tunnel_stretch;
  const bool mode_0 = !AboveOne(scene.tunnel_tex_mode);
  const bool mode_2 = IsOn(scene.tunnel_tex_mode);
  for (int i = 0; i < kTunnelSize && (mode_0 || mode_2); ++i) {
    const float fi = static_cast<float>(i);
    for (int j = 0; j < kTunnelSize; ++j) {
      const float fj = static_cast<float>(j);
      float* uv = tunnel_texcoords_[i][j];
      if (mode_0) {
        uv[0] = fi / 16.0f + twist + wobble;
        uv[1] = fj / 16.0f + (6.0f * p + fj) / (stretch / 50.0f + 1.0f);
      } else {
        uv[0] = fi + twist + wobble;
        uv[1] = fj / (stretch + 28.9f) + (6.0f * p + fj) / 100.0f;
      }
    }
  }

  // The mode for the next frame; between -30 and -29.9 it stays.
  if (static_cast<double>(stretch) >= -29.9) scene.tunnel_tex_mode = 0.0f;
  if (static_cast<double>(stretch) <= -30.0) scene.tunnel_tex_mode = 2.0f;
  // The phase is set, not accumulated: the speed places the texture rather than moving it.
  tunnel_phase_ = w.tunnel_speed / 95.83f;
}

void ImageLayers::DrawTunnel(SceneState& scene) {
  const auto& w = scene.work;
  const auto& set = scene.settings;
  glEnable(GL_TEXTURE_2D);
  SetTextureGeneration(false);
  glDisable(GL_LIGHTING);
  glEnable(GL_BLEND);
  glDisable(GL_DEPTH_TEST);
  glColor3f(1.0f, 1.0f, 1.0f);

  // The vertices are this frame's; the texture coordinates read last frame's phase and mode.
  glEnable(GL_FOG);
  glLoadIdentity();
  // The tunnel colour is used as stored: 255 is far above 1 and GL clamps it.
  glColor3f(set.tunnel_r, set.tunnel_g, set.tunnel_b);
  glTranslatef(w.tunnel_x / 10.0f, w.tunnel_y / 10.0f, w.tunnel_z / 10.0f);
  TunnelGeometry(scene);

  glBindTexture(GL_TEXTURE_2D, scene.texture(TextureSlot::tunnel_texture));
  if (use_arrays_) {
    if (tunnel_indices_.empty()) tunnel_indices_ = GridQuadIndices(kTunnelSize, false);
    DrawIndexedQuads(&tunnel_vertices_[0][0][0], &tunnel_texcoords_[0][0][0], tunnel_indices_);
  } else {
    glBegin(GL_QUADS);
    for (int i = 0; i + 1 < kTunnelSize; ++i) {
      for (int j = 0; j + 1 < kTunnelSize; ++j) {
        const int corner[4][2] = {{i, j}, {i + 1, j}, {i + 1, j + 1}, {i, j + 1}};
        for (const auto& c : corner) {
          glTexCoord2fv(tunnel_texcoords_[c[0]][c[1]]);
          glVertex3fv(tunnel_vertices_[c[0]][c[1]]);
        }
      }
    }
    glEnd();
  }

  glEnable(GL_LIGHTING);
  glDisable(GL_TEXTURE_2D);
  SetTextureGeneration(true);
  glDisable(GL_BLEND);
  glDisable(GL_FOG);
  glEnable(GL_DEPTH_TEST);
}

// ---- Photo planes ----------------------------------------------------------------------------

void ImageLayers::PhotoGrid() {
  if (use_arrays_) {
    if (grid_indices_.empty()) {
      grid_indices_ = GridQuadIndices(kPhotoGridSize, true);
      grid_texcoords_.resize(static_cast<size_t>(kPhotoGridSize * kPhotoGridSize * 2));
      for (int i = 0; i < kPhotoGridSize; ++i) {
        for (int j = 0; j < kPhotoGridSize; ++j) {
          grid_texcoords_[static_cast<size_t>((i * kPhotoGridSize + j) * 2)] = static_cast<float>(i) / 44.0f;
          grid_texcoords_[static_cast<size_t>((i * kPhotoGridSize + j) * 2 + 1)] = static_cast<float>(j) / 44.0f;
        }
      }
    }
    DrawIndexedQuads(&photo_grid_[0][0][0], grid_texcoords_.data(), grid_indices_);
    return;
  }
  glBegin(GL_QUADS);
  for (int i = 0; i + 1 < kPhotoGridSize; ++i) {
    for (int j = 0; j + 1 < kPhotoGridSize; ++j) {
      const float u0 = static_cast<float>(i) / 44.0f, u1 = static_cast<float>(i + 1) / 44.0f;
      const float v0 = static_cast<float>(j) / 44.0f, v1 = static_cast<float>(j + 1) / 44.0f;
      glTexCoord2f(u0, v0);
      glVertex3fv(photo_grid_[i][j]);
      glTexCoord2f(u0, v1);
      glVertex3fv(photo_grid_[i][j + 1]);
      glTexCoord2f(u1, v1);
      glVertex3fv(photo_grid_[i + 1][j + 1]);
      glTexCoord2f(u1, v0);
      glVertex3fv(photo_grid_[i + 1][j]);
    }
  }
  glEnd();
}

void ImageLayers::DrawPhotos(SceneState& scene) {
  const auto& w = scene.work;
  const auto& set = scene.settings;
  // The photo light: a spot at the light position, pointing into the screen. Set with an
  // identity model-view so the position is in eye coordinates.
  auto photo_light = [&]() { SetSpotLight0(w.photo_light_x, w.photo_light_y, w.photo_z / 8.0f + w.photo_light_z); };
  auto place = [&](float z_offset) {
    glTranslatef(w.photo_x / 8.0f, w.photo_y / 8.0f, w.photo_z / 8.0f + z_offset);
    glRotatef(w.photo_rot_x, 1.0f, 0.0f, 0.0f);
    glRotatef(w.photo_rot_y, 0.0f, 1.0f, 0.0f);
    glRotatef(w.photo_rot_z, 0.0f, 0.0f, 1.0f);
    glScalef(w.photo_scale_x / 10.0f, w.photo_scale_y / 10.0f, w.photo_scale_z);
  };
  const float depth_scale = -1.0f - w.photo_depth_scale / 1000.0f;

  // Photo A, behind B; depth test off and blending on as the renderer leaves them.
  if (!AboveOne(scene.photo_a_hidden)) {
    glEnable(GL_TEXTURE_2D);
    SetTextureGeneration(false);
    scene.photo_a_extent_x = static_cast<float>(scene.photo_a_width[0]);
    scene.photo_a_extent_y = static_cast<float>(scene.photo_a_height[0]);
    glLoadIdentity();
    ApplySwitch(GL_LIGHTING, set.photo_lit);
    photo_light();
    place(-550.0f - w.photo_gap);
    glBindTexture(GL_TEXTURE_2D, scene.texture(TextureSlot::photo_a_texture));
    glScalef(scene.photo_a_extent_x / 1000.0f, scene.photo_a_extent_y / 1000.0f, depth_scale);
    glColor4f(1.0f, 1.0f, 1.0f, photo_alpha_a_);
    photo_alpha_a_ = w.photo_mix / 255.0f;
    PhotoGrid();
  }

  // Photo B, depth-tested.
  glLoadIdentity();
  glEnable(GL_TEXTURE_2D);
  SetTextureGeneration(false);
  // Only the face to cull is chosen; culling itself stays as the earlier passes left it.
  glCullFace(GL_BACK);
  glEnable(GL_DEPTH_TEST);
  glEnable(GL_BLEND);
  glEnable(GL_LIGHT0);
  ApplySwitch(GL_LIGHTING, set.photo_lit);
  photo_light();
  place(-500.0f + w.photo_gap);
  glBindTexture(GL_TEXTURE_2D, scene.texture(TextureSlot::photo_b_texture));
  glScalef(scene.photo_b_extent_x / 1000.0f, scene.photo_b_extent_y / 1000.0f, depth_scale);
  glColor4f(1.0f, 1.0f, 1.0f, photo_alpha_b_);
  photo_alpha_b_ = 1.0f - w.photo_mix / 255.0f;
  PhotoGrid();

  // The wave for the next frame's grid.
  for (int i = 0; i < kPhotoGridSize; ++i) {
    const float z = static_cast<float>(std::sin((i / 5.0 * 40.0 + scene.wave_phase) / 360.0 * kWavePi * 2.0));
    for (int j = 0; j < kPhotoGridSize; ++j) photo_grid_[i][j][2] = z;
  }
}

// ---- Vortex ----------------------------------------------------------------------------------

int VortexElementCount(float spacing) {
  int elements = 0;
  while (elements < kMaxVortexElements && static_cast<float>(elements + 1) < 50.0f - spacing / 5.0f) ++elements;
  return elements;
}

void ImageLayers::DrawVortex(SceneState& scene) {
  auto& w = scene.work;
  glLoadIdentity();
  glBlendFunc(GL_ONE, GL_ONE);
  glEnable(GL_BLEND);
  glEnable(GL_TEXTURE_2D);
  glShadeModel(GL_SMOOTH);
  glEnable(GL_DEPTH_TEST);
  glDepthFunc(GL_LEQUAL);
  glHint(GL_PERSPECTIVE_CORRECTION_HINT, GL_FASTEST);
  SetTextureGeneration(false);
  glDisable(GL_LIGHTING);
  glDepthMask(GL_FALSE);
  glDisable(GL_DEPTH_TEST);

  // Spacing not above 116 (or NaN) falls back to 118; so the chain never exceeds 26 elements.
  w.vortex_spacing = VortexSpacing(w.vortex_spacing);
  const int elements = VortexElementCount(w.vortex_spacing);
  const uint32_t texture = scene.texture(TextureSlot::fountain_texture);
  stats_.vortex_elements = 0;
  stats_.fountain_revived = 0;
  // The transforms accumulate from element to element: the matrix is never reloaded.
  for (int k = 1; k <= elements; ++k) {
    VortexRecord& v = vortex_[static_cast<size_t>(k)];
    glTranslatef(0.0f, -3.0f, -7.0f + w.vortex_z);
    fountain_.Draw(texture);
    ++stats_.vortex_elements;
    stats_.fountain_revived += fountain_.Step(FountainStep(w.vortex_emit, w.vortex_spacing), scene);
    glRotatef(w.vortex_tilt, 1.0f, 0.0f, 0.0f);
    glRotatef(v.angle + w.vortex_turn, 0.0f, 1.0f, 0.0f);
    glRotatef(w.vortex_roll / kVortexRollPerDegree, 0.0f, 0.0f, 1.0f);
    glTranslatef(v.radius - w.vortex_pull / 10.0f, 0.0f, w.vortex_z);
    glRotatef(-(v.angle + w.vortex_turn), 0.0f, 1.0f, 0.0f);
    // Used from the next frame on.
    v.angle = static_cast<float>(k) * w.vortex_swirl * 10.0f / 50.0f + w.vortex_swirl;
  }

  glEnable(GL_DEPTH_TEST);
  glDepthMask(GL_TRUE);
  glEnable(GL_LIGHTING);
  glDisable(GL_TEXTURE_2D);
  SetTextureGeneration(true);
  glDisable(GL_BLEND);
}

// ---- Particle pass ---------------------------------------------------------------------------

void ImageLayers::ParticlePass(SceneState& scene, bool glow, GlowVariant variant) {
  auto& w = scene.work;
  glLoadIdentity();
  glDisable(GL_LIGHTING);
  glEnable(GL_TEXTURE_2D);
  SetTextureGeneration(false);
  glEnable(GL_POINT_SMOOTH);
  glEnable(GL_BLEND);
  glDisable(GL_DEPTH_TEST);
  glBlendFunc(GL_SRC_ALPHA, GL_ONE);

  if (IsOn(scene.particle_reset_a)) {
    ResetMainParticles(particles_, scene);
    ++stats_.particle_resets;
    scene.particle_reset_a = 0.0f;
  }
  if (IsOn(scene.particle_reset_b)) {
    ResetMainParticles(particles_, scene);
    ++stats_.particle_resets;
    scene.particle_reset_b = 0.0f;
  }

  // The particle texture is whatever the particle_texture slot names; a new name is attached.
  const uint32_t slot_texture = scene.texture(TextureSlot::particle_texture);
  if (slot_texture != 0 && slot_texture != particles_.texture) AttachParticleTexture(particles_, slot_texture);

  ConfigureMainParticles(particles_, scene);

  glTranslatef(w.particle_offset_x, w.particle_offset_y, w.particle_offset_z - 40.0f);
  glRotatef(w.particle_rot_x, 1.0f, 0.0f, 0.0f);
  glRotatef(w.particle_rot_y, 0.0f, 1.0f, 0.0f);
  glRotatef(w.particle_rot_z, 0.0f, 0.0f, 1.0f);

  const float step = w.particle_time_scale / 50.0f;
  if (glow) {
    particles_.UpdateParticles(step);
  } else {
    // After a load the first frame runs the system for a long step so it starts full; a value
    // between 1 and 2 skips the update once.
    if (!AboveOne(scene.particle_prewarm)) particles_.UpdateParticles(step);
    if (IsOn(scene.particle_prewarm)) particles_.UpdateParticles(50.0f);
    scene.particle_prewarm = 0.0f;
  }

  glEnable(GL_TEXTURE_2D);
  glDepthMask(GL_TRUE);
  glEnable(GL_BLEND);
  glDepthMask(GL_FALSE);
  glEnable(GL_DEPTH_TEST);
  const float point_size = scene.particle_size / std::sqrt(50.0f);
  if (point_size > 0.0f) glPointSize(point_size);  // GL refuses the rest and keeps the old size
  glEnable(GL_TEXTURE_2D);
  if (glow && variant == GlowVariant::kCapture)
    glBindTexture(GL_TEXTURE_2D, scene.texture(TextureSlot::particle_texture));
  particle_drawer_.Draw(particles_);
  glDepthMask(GL_TRUE);
  glFlush();

  glDisable(GL_FOG);
  glEnable(GL_LIGHTING);
  SetTextureGeneration(true);
  glDisable(GL_BLEND);
  glEnable(GL_DEPTH_TEST);
}

void ImageLayers::DrawParticles(SceneState& scene) { ParticlePass(scene, false, GlowVariant::kCapture); }

// ---- Sprite ring -----------------------------------------------------------------------------

void ImageLayers::DrawSpriteRing(SceneState& scene) {
  auto& w = scene.work;
  glLoadIdentity();
  SetTextureGeneration(false);
  glEnable(GL_TEXTURE_2D);
  glShadeModel(GL_SMOOTH);
  glHint(GL_PERSPECTIVE_CORRECTION_HINT, GL_NICEST);
  glBlendFunc(GL_SRC_ALPHA, GL_ONE);
  glDisable(GL_LIGHTING);
  glEnable(GL_BLEND);
  glDisable(GL_DEPTH_TEST);
  glBindTexture(GL_TEXTURE_2D, scene.texture(TextureSlot::sprite_texture));

  // k runs while k < sprite_count: a fraction draws one more, NaN none, and the records bound it.
  const float count = w.sprite_count;
  int n = 0;
  if (count > 0.0f) n = count >= static_cast<float>(kMaxSprites) ? kMaxSprites : TruncToInt(std::ceil(count));
  const bool tinted = IsOn(scene.settings.sprite_tinted);
  for (int k = 0; k < n; ++k) {
    SpriteRecord& s = sprites_[static_cast<size_t>(k)];
    glLoadIdentity();
    glTranslatef(w.ring_x / 5.0f, w.ring_y / 5.0f, w.ring_z / 3.0f);
    glRotatef(w.ring_yaw, 0.0f, 1.0f, 0.0f);
    glRotatef(w.ring_pitch, 1.0f, 0.0f, 0.0f);
    glRotatef(s.angle + w.ring_turn, 0.0f, 1.0f, 0.0f);
    glTranslatef(s.radius - w.ring_pull / 10.0f, 0.0f, 0.0f);
    // Undo the turns so the sprite faces the viewer, then spin it in its own plane.
    glRotatef(-(s.angle + w.ring_turn), 0.0f, 1.0f, 0.0f);
    glRotatef(-w.ring_pitch, 1.0f, 0.0f, 0.0f);
    glRotatef(-w.ring_yaw, 0.0f, 1.0f, 0.0f);
    glRotatef(w.sprite_spin, 0.0f, 0.0f, 1.0f);

    w.sprite_alpha = SpriteAlpha(w.sprite_alpha);
    if (tinted) {
      glColor4f(w.sprite_tint_r / 255.0f, w.sprite_tint_g / 255.0f, w.sprite_tint_b / 255.0f, w.sprite_alpha / 255.0f);
    } else {
      glColor4ub(s.r, s.g, s.b, UntintedSpriteAlpha(w.sprite_alpha));
    }
    glBegin(GL_QUADS);
    glTexCoord2f(0.0f, 0.0f);
    glVertex3f(-1.0f, -1.0f, 0.0f);
    glTexCoord2f(1.0f, 0.0f);
    glVertex3f(1.0f, -1.0f, 0.0f);
    glTexCoord2f(1.0f, 1.0f);
    glVertex3f(1.0f, 1.0f, 0.0f);
    glTexCoord2f(0.0f, 1.0f);
    glVertex3f(-1.0f, 1.0f, 0.0f);
    glEnd();
    // Used from the next frame on.
    s.angle = static_cast<float>(k) * w.ring_swirl * 10.0f / 300.0f + w.ring_swirl;
  }
  stats_.sprites_drawn = n;

  glEnable(GL_LIGHTING);
  glDisable(GL_TEXTURE_2D);
  SetTextureGeneration(true);
  glDisable(GL_BLEND);
}

// ---- Glow scene pieces -----------------------------------------------------------------------

bool ImageLayers::DrawGlowSprites(SceneState& scene, GlowVariant) {
  if (!IsOn(scene.settings.fx_sprites)) return false;
  DrawSpriteRing(scene);
  return true;
}

bool ImageLayers::DrawGlowParticles(SceneState& scene, GlowVariant variant) {
  if (!IsOn(scene.settings.fx_particles)) return false;
  ParticlePass(scene, true, variant);
  return true;
}

bool ImageLayers::DrawGlowVortex(SceneState& scene, GlowVariant variant) {
  if (!IsOn(scene.settings.fx_vortex)) return false;
  if (!(scene.work.vortex_spacing > 116.0f))
    scene.work.vortex_spacing = variant == GlowVariant::kCapture ? 243.0f : 118.0f;
  DrawVortex(scene);
  return true;
}

void ImageLayers::DrawGlowLayers(SceneState& scene, GlowVariant variant) {
  DrawGlowSprites(scene, variant);
  DrawGlowParticles(scene, variant);
  DrawGlowVortex(scene, variant);
}

}  // namespace vl::render
