// libFuzzer target for the 3DS model loader: any bytes must load or fail cleanly, and a loaded
// model must be safe to draw (every face index inside its vertex list, normals per vertex).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "assets/model_3ds.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vl::Model model;
  auto loaded = vl::Import3dsBytes(std::span<const uint8_t>(data, size), "fuzz.3ds", model);
  if (!loaded) {
    if (model.object_count != 0 || !model.objects.empty() || model.material_count != 0) std::abort();
    return 0;
  }
  if (static_cast<size_t>(model.object_count) != model.objects.size()) std::abort();
  if (static_cast<size_t>(model.material_count) != model.materials.size()) std::abort();
  for (const vl::ModelObject& o : model.objects) {
    if (o.vertices.size() != 3 * static_cast<size_t>(o.vertex_count)) std::abort();
    if (o.normals.size() != o.vertices.size()) std::abort();
    if (o.uvs.size() != 2 * static_cast<size_t>(o.uv_count)) std::abort();
    if (o.faces.size() != static_cast<size_t>(o.face_count)) std::abort();
    for (const vl::ModelFace& f : o.faces)
      if (f.a < 0 || f.b < 0 || f.c < 0 || f.a >= o.vertex_count || f.b >= o.vertex_count || f.c >= o.vertex_count)
        std::abort();
    if (o.material_index < -1 || (model.material_count > 0 && o.material_index >= model.material_count)) std::abort();
    if (o.name.size() > vl::kModelNameMax) std::abort();
  }
  // A second load into the same slot exercises matching against the older materials.
  vl::Import3dsBytes(std::span<const uint8_t>(data, size), "fuzz.3ds", model);
  return 0;
}
