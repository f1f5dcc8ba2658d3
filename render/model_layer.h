// The model pass: the three 3DS model slots drawn as lit, optionally textured and sphere-mapped
// meshes with their own placement, colour, light and transparency, an optional additive chrome
// copy, and each slot alone into its glow capture. Reads only working values and switches of the
// scene; the meshes belong to whoever loads them (RenderAssets). Calls OpenGL 1.1 only.
#pragma once
#include <array>
#include <cstdint>
#include <vector>

#include "assets/model_3ds.h"
#include "engine/scene_state.h"
#include "render/scene_layers.h"

namespace vl::render {

// How a mesh reaches GL. Both send the same vertices, normals and texture coordinates in the same
// order and draw the same pixels; client vertex arrays are the faster (see model_render_bench).
enum class MeshSubmission {
  kVertexArrays,  // glDrawElements over the object's own arrays
  kImmediate,     // glBegin / glEnd, one call per attribute
};

// What the last mesh draw sent, for tests and diagnostics.
struct MeshDrawStats {
  int objects_drawn = 0;
  int objects_skipped = 0;  // arrays shorter than their counts, or a face outside the vertex list
  int64_t triangles = 0;
};

class ModelLayer {
 public:
  // Slots 1, 2, 3 are models[0], [1], [2]; the array must outlive the layer. Loads replace the
  // contents in place, so every draw reads the meshes afresh.
  explicit ModelLayer(const std::array<Model, 3>& models) : models_(models) {}

  // Main frame, called for each slot whose model_k_on is on, in the order 1, 2, 3: the slot's
  // light, colour, blending and texture set-up, the mesh, and its chrome copy.
  void DrawMainFrameBlock(engine::SceneState& scene, int slot);

  // The slot alone for its glow capture (the renderer calls it when fx_model_k is on): lit,
  // white unless the slot is lit, opaque unless additive.
  void DrawGlowPass(engine::SceneState& scene, int slot);

  // Model 1's part of the glow scene redraw. It follows fx_model_2, not fx_model_1: that switch
  // puts "the model" into the glow scene, and the scene echo test of the late echoes reads the
  // same switch. The trail variant draws it once. The capture variant draws it once for loops of
  // format version 4 or lower and once more when echo_colour_mode (the version's whole part) is
  // 4 or more: twice for a version 4.0 loop (which shows only when model 1 is additive), once
  // for any other version.
  void DrawGlowSceneModel1(engine::SceneState& scene, GlowVariant variant);

  // Loads the slot's model-view matrix (placement, rotation, scale) and sends its triangles.
  // Texturing is enabled for textured objects and left so. A slot outside 1..3 draws nothing.
  void DrawMesh(const engine::SceneState& scene, int slot);

  void set_submission(MeshSubmission submission) { submission_ = submission; }
  MeshSubmission submission() const { return submission_; }
  const MeshDrawStats& last_mesh() const { return last_mesh_; }

 private:
  void SendObjectArrays(const ModelObject& object, float scroll_u, float scroll_v);
  void SendObjectImmediate(const ModelObject& object, float scroll_u, float scroll_v);

  const std::array<Model, 3>& models_;
  MeshSubmission submission_ = MeshSubmission::kVertexArrays;
  MeshDrawStats last_mesh_;
  std::vector<float> scrolled_uvs_;  // reused: grows to the largest object, never shrinks
};

// The placement unit selector: 0 divides the position by 1000, 1 by 100, 2 by 10, 3 keeps it,
// 4 multiplies by 10, 5 by 100, 6 by 1000. Any other value places the model at the origin; this
// returns false for those.
bool PlaceByUnit(int32_t unit, float position, float* placed);

}  // namespace vl::render
