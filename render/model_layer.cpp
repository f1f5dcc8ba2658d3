#include "render/model_layer.h"

#include <GL/gl.h>

#include <algorithm>
#include <limits>

#include "engine/numeric.h"
#include "render/gl_state.h"

namespace vl::render {

using engine::SceneState;
using engine::TextureSlot;
using engine::Track;

namespace {

// Everything one slot draws with, gathered from the scene by slot number.
struct SlotValues {
  float x, y, z;
  float rot_x, rot_y, rot_z;
  float scale_x, scale_y, scale_z;
  float scroll_u, scroll_v;
  float r, g, b, alpha;
  float light_x, light_y, light_z;
  int32_t unit;
  float lit, additive, chrome, sphere_map;
  uint32_t texture;
};

struct SlotTracks {
  Track x, y, z, rot_x, rot_y, rot_z, scale_x, scale_y, scale_z, scroll_u, scroll_v, r, g, b, alpha, light_x, light_y,
      light_z;
  TextureSlot texture;
};

#define VL_SLOT_TRACKS(k) \
  { \
    Track::model_##k##_x, Track::model_##k##_y, Track::model_##k##_z, Track::model_##k##_rot_x, \
        Track::model_##k##_rot_y, Track::model_##k##_rot_z, Track::model_##k##_scale_x, Track::model_##k##_scale_y, \
        Track::model_##k##_scale_z, Track::model_##k##_scroll_u, Track::model_##k##_scroll_v, Track::model_##k##_r, \
        Track::model_##k##_g, Track::model_##k##_b, Track::model_##k##_alpha, Track::model_##k##_light_x, \
        Track::model_##k##_light_y, Track::model_##k##_light_z, TextureSlot::model_##k##_texture \
  }
constexpr SlotTracks kSlotTracks[3] = {VL_SLOT_TRACKS(1), VL_SLOT_TRACKS(2), VL_SLOT_TRACKS(3)};
#undef VL_SLOT_TRACKS

bool ValidSlot(int slot) { return slot >= 1 && slot <= 3; }

SlotValues Values(const SceneState& scene, int slot) {
  const SlotTracks& t = kSlotTracks[slot - 1];
  const auto& w = scene.work;
  const auto& s = scene.settings;
  SlotValues v{};
  v.x = w[t.x], v.y = w[t.y], v.z = w[t.z];
  v.rot_x = w[t.rot_x], v.rot_y = w[t.rot_y], v.rot_z = w[t.rot_z];
  v.scale_x = w[t.scale_x], v.scale_y = w[t.scale_y], v.scale_z = w[t.scale_z];
  v.scroll_u = w[t.scroll_u], v.scroll_v = w[t.scroll_v];
  v.r = w[t.r], v.g = w[t.g], v.b = w[t.b], v.alpha = w[t.alpha];
  v.light_x = w[t.light_x], v.light_y = w[t.light_y], v.light_z = w[t.light_z];
  v.texture = scene.texture(t.texture);
  switch (slot) {
    case 1:
      v.unit = s.model_1_unit, v.lit = s.model_1_lit, v.additive = s.model_1_additive;
      v.chrome = s.model_1_chrome, v.sphere_map = s.model_1_sphere_map;
      break;
    case 2:
      v.unit = s.model_2_unit, v.lit = s.model_2_lit, v.additive = s.model_2_additive;
      v.chrome = s.model_2_chrome, v.sphere_map = s.model_2_sphere_map;
      break;
    default:
      v.unit = s.model_3_unit, v.lit = s.model_3_lit, v.additive = s.model_3_additive;
      v.chrome = s.model_3_chrome, v.sphere_map = s.model_3_sphere_map;
      break;
  }
  return v;
}

// Model colours are divided by 205, not 255: values above 205 saturate.
void SetColour(const SlotValues& v) { glColor3f(v.r / 205.0f, v.g / 205.0f, v.b / 205.0f); }

// Light 0 as a narrow spot looking down -z from the slot's light position. Only its position and
// spot shape change; its colours are the ones start-up gave it. The model-view matrix is identity
// here, so the position is in eye coordinates.
void SetLight(const SlotValues& v) {
  glEnable(GL_LIGHT0);
  SetSpotLight0(v.light_x / 100.0f, v.light_y / 100.0f, v.light_z / 100.0f);
}

// The model colour drives the lit surface too. Colour tracking is otherwise switched on only by
// the outline text, and only once it has drawn, so without this a lit model would ignore its
// colour and alpha until some text had been drawn (for good in a loop without text). It is left
// on, which is the state the rest of the frame sees once any text has drawn.
void ColourTracksMaterial() { glEnable(GL_COLOR_MATERIAL); }

// The glow pass set-up of a slot, shared by the capture of its own glow and by model 1's part
// of the glow scene.
void GlowSetup(const SlotValues& v) {
  glMatrixMode(GL_MODELVIEW);
  glLoadIdentity();
  glEnable(GL_TEXTURE_2D);
  SetTextureGeneration(false);
  glEnable(GL_LIGHTING);
  glDisable(GL_BLEND);
  glEnable(GL_DEPTH_TEST);
  SetColour(v);
  SetLight(v);
  // An unlit slot glows white; lighting stays on for the capture either way.
  if (!AboveOne(v.lit)) glColor3f(1.0f, 1.0f, 1.0f);
  if (IsOn(v.additive)) {
    glEnable(GL_BLEND);
    glDisable(GL_DEPTH_TEST);
  }
  glBindTexture(GL_TEXTURE_2D, v.texture);
}

// An object the arrays can be drawn from without reading outside them: counts within their
// arrays and every face inside the vertex list. The loader guarantees this; a model put together
// any other way is checked here rather than trusted.
enum class ObjectCheck { kDraw, kEmpty, kDamaged };

ObjectCheck CheckObject(const ModelObject& o) {
  if (o.vertex_count <= 0 || o.face_count <= 0) return ObjectCheck::kEmpty;
  const size_t vertices = static_cast<size_t>(o.vertex_count);
  if (o.vertices.size() / 3 < vertices || o.normals.size() / 3 < vertices ||
      o.faces.size() < static_cast<size_t>(o.face_count) || o.uv_count < 0 ||
      static_cast<size_t>(o.face_count) > static_cast<size_t>(std::numeric_limits<GLsizei>::max() / 3))
    return ObjectCheck::kDamaged;
  // Unsigned compare catches negative indices too.
  const auto limit = static_cast<uint32_t>(o.vertex_count);
  for (int32_t i = 0; i < o.face_count; ++i) {
    const ModelFace& f = o.faces[static_cast<size_t>(i)];
    if (static_cast<uint32_t>(f.a) >= limit || static_cast<uint32_t>(f.b) >= limit ||
        static_cast<uint32_t>(f.c) >= limit)
      return ObjectCheck::kDamaged;
  }
  return ObjectCheck::kDraw;
}

// Vertices with a stored coordinate: those below uv_count, within the array.
int32_t UsableUvs(const ModelObject& o) {
  const auto stored = static_cast<int64_t>(o.uvs.size() / 2);
  return static_cast<int32_t>(std::min<int64_t>({o.uv_count, stored, o.vertex_count}));
}

}  // namespace

bool PlaceByUnit(int32_t unit, float position, float* placed) {
  switch (unit) {
    case 0: *placed = position / 1000.0f; return true;
    case 1: *placed = position / 100.0f; return true;
    case 2: *placed = position / 10.0f; return true;
    case 3: *placed = position; return true;
    case 4: *placed = position * 10.0f; return true;
    case 5: *placed = position * 100.0f; return true;
    case 6: *placed = position * 1000.0f; return true;
    default: return false;
  }
}

void ModelLayer::DrawMesh(const SceneState& scene, int slot) {
  last_mesh_ = MeshDrawStats{};
  if (!ValidSlot(slot)) return;
  const SlotValues v = Values(scene, slot);

  glMatrixMode(GL_MODELVIEW);
  glLoadIdentity();
  float x = 0, y = 0, z = 0;
  if (PlaceByUnit(v.unit, v.x, &x) && PlaceByUnit(v.unit, v.y, &y) && PlaceByUnit(v.unit, v.z, &z))
    glTranslatef(x, y, z);
  glRotatef(v.rot_x, 1.0f, 0.0f, 0.0f);
  glRotatef(v.rot_y, 0.0f, 1.0f, 0.0f);
  glRotatef(v.rot_z, 0.0f, 0.0f, 1.0f);
  // A scale value of 0 is the natural size; -100 flattens that axis to nothing.
  glScalef(v.scale_x / 100.0f + 1.0f, v.scale_y / 100.0f + 1.0f, v.scale_z / 100.0f + 1.0f);

  const float scroll_u = v.scroll_u / 360.0f;
  const float scroll_v = v.scroll_v / 360.0f;
  const Model& model = models_[static_cast<size_t>(slot - 1)];
  // object_count is what the loader filled; objects beyond the vector are never read.
  const size_t count = std::min(model.objects.size(), static_cast<size_t>(std::max(model.object_count, 0)));
  for (size_t i = 0; i < count; ++i) {
    const ModelObject& o = model.objects[i];
    if (o.has_texture) glEnable(GL_TEXTURE_2D);  // never disabled here
    const ObjectCheck check = CheckObject(o);
    if (check == ObjectCheck::kDamaged) ++last_mesh_.objects_skipped;
    if (check != ObjectCheck::kDraw) continue;
    if (submission_ == MeshSubmission::kVertexArrays) SendObjectArrays(o, scroll_u, scroll_v);
    else SendObjectImmediate(o, scroll_u, scroll_v);
    ++last_mesh_.objects_drawn;
    last_mesh_.triangles += o.face_count;
  }
}

// Texture coordinates: a vertex with a stored coordinate gets it plus the scroll; a vertex
// without one (past uv_count, or an object with none) gets the scroll alone, that is the
// texture's corner. An object with no coordinates at all thus samples one texel colour.
void ModelLayer::SendObjectImmediate(const ModelObject& o, float scroll_u, float scroll_v) {
  const int32_t uvs = UsableUvs(o);
  const bool has_uvs = o.uv_count > 0;
  if (!has_uvs) glTexCoord2f(scroll_u, scroll_v);
  const float* p = o.vertices.data();
  const float* n = o.normals.data();
  const float* t = o.uvs.data();
  glBegin(GL_TRIANGLES);
  for (int32_t f = 0; f < o.face_count; ++f) {
    const ModelFace& face = o.faces[static_cast<size_t>(f)];
    for (const int32_t i : {face.a, face.b, face.c}) {
      glNormal3fv(n + 3 * static_cast<size_t>(i));
      if (has_uvs) {
        if (i < uvs)
          glTexCoord2f(t[2 * static_cast<size_t>(i)] + scroll_u, t[2 * static_cast<size_t>(i) + 1] + scroll_v);
        else glTexCoord2f(scroll_u, scroll_v);
      }
      glVertex3fv(p + 3 * static_cast<size_t>(i));
    }
  }
  glEnd();
}

void ModelLayer::SendObjectArrays(const ModelObject& o, float scroll_u, float scroll_v) {
  static_assert(sizeof(ModelFace) == 3 * sizeof(GLuint), "faces are handed to GL as index triples");
  glPushClientAttrib(GL_CLIENT_VERTEX_ARRAY_BIT);
  glEnableClientState(GL_VERTEX_ARRAY);
  glEnableClientState(GL_NORMAL_ARRAY);
  glVertexPointer(3, GL_FLOAT, 0, o.vertices.data());
  glNormalPointer(GL_FLOAT, 0, o.normals.data());
  if (o.uv_count > 0) {
    const int32_t uvs = UsableUvs(o);
    const float* coords = o.uvs.data();
    // The stored coordinates serve as they are when nothing is added and every vertex has one.
    if (scroll_u != 0.0f || scroll_v != 0.0f || uvs < o.vertex_count) {
      const size_t size = static_cast<size_t>(o.vertex_count) * 2;
      if (scrolled_uvs_.size() < size) scrolled_uvs_.resize(size);
      for (int32_t i = 0; i < o.vertex_count; ++i) {
        const size_t k = 2 * static_cast<size_t>(i);
        scrolled_uvs_[k] = i < uvs ? coords[k] + scroll_u : scroll_u;
        scrolled_uvs_[k + 1] = i < uvs ? coords[k + 1] + scroll_v : scroll_v;
      }
      coords = scrolled_uvs_.data();
    }
    glEnableClientState(GL_TEXTURE_COORD_ARRAY);
    glTexCoordPointer(2, GL_FLOAT, 0, coords);
  } else {
    glDisableClientState(GL_TEXTURE_COORD_ARRAY);
    glTexCoord2f(scroll_u, scroll_v);
  }
  glDrawElements(GL_TRIANGLES, static_cast<GLsizei>(o.face_count) * 3, GL_UNSIGNED_INT, o.faces.data());
  glPopClientAttrib();
}

void ModelLayer::DrawMainFrameBlock(SceneState& scene, int slot) {
  if (!ValidSlot(slot)) return;
  const SlotValues v = Values(scene, slot);
  ColourTracksMaterial();

  // 1. From identity, unfogged, textured without generation, opaque and depth-tested. Back faces
  //    are named for culling, but culling is never enabled, so both sides of a mesh draw.
  glMatrixMode(GL_MODELVIEW);
  glLoadIdentity();
  glDisable(GL_FOG);
  glEnable(GL_TEXTURE_2D);
  SetTextureGeneration(false);
  glDisable(GL_BLEND);
  glEnable(GL_DEPTH_TEST);
  glCullFace(GL_BACK);

  // 2. The slot's texture, as it is or as a sphere-mapped reflection.
  glBindTexture(GL_TEXTURE_2D, v.texture);
  if (!AboveOne(v.sphere_map)) SetTextureGeneration(false);
  if (IsOn(v.sphere_map)) {
    UseSphereMapGeneration();
    SetTextureGeneration(true);
  }

  // 3. Colour and the slot's own light.
  SetColour(v);
  SetLight(v);

  // 4-7. Alpha blending, or additive blending over everything (no depth test), and the lighting
  //      switch. A switch value between 1 and 2 leaves that state as it was.
  if (!AboveOne(v.additive)) {
    glEnable(GL_BLEND);
    glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
  }
  glColor4f(v.r / 205.0f, v.g / 205.0f, v.b / 205.0f, v.alpha / 255.0f);
  if (!AboveOne(v.lit)) glDisable(GL_LIGHTING);
  if (IsOn(v.lit)) glEnable(GL_LIGHTING);
  if (IsOn(v.additive)) {
    glEnable(GL_BLEND);
    glDisable(GL_DEPTH_TEST);
    glBlendFunc(GL_SRC_ALPHA, GL_ONE);
  }

  // 8. The mesh.
  DrawMesh(scene, slot);

  // 9. Chrome: the same mesh again, sphere-mapped with the environment texture and added on top.
  //    The depth test is as the block left it; equal depths pass (GL_LEQUAL since start-up).
  if (IsOn(v.chrome)) {
    UseSphereMapGeneration();
    glEnable(GL_TEXTURE_2D);
    glBindTexture(GL_TEXTURE_2D, scene.texture(TextureSlot::chrome_texture));
    glEnable(GL_BLEND);
    glBlendFunc(GL_SRC_ALPHA, GL_ONE);
    SetTextureGeneration(true);
    DrawMesh(scene, slot);
    SetTextureGeneration(false);
    glDisable(GL_BLEND);
  }
}

void ModelLayer::DrawGlowPass(SceneState& scene, int slot) {
  if (!ValidSlot(slot)) return;
  ColourTracksMaterial();
  GlowSetup(Values(scene, slot));
  DrawMesh(scene, slot);
}

void ModelLayer::DrawGlowSceneModel1(SceneState& scene, GlowVariant variant) {
  if (!IsOn(scene.settings.fx_model_2)) return;
  int draws = 1;
  if (variant == GlowVariant::kCapture)
    draws = (scene.sequence_version <= 4.0f ? 1 : 0) + (scene.echo_colour_mode >= 4 ? 1 : 0);
  for (int i = 0; i < draws; ++i) DrawGlowPass(scene, 1);
}

}  // namespace vl::render
