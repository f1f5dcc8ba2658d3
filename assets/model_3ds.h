// 3DS model files (3D Studio's binary chunk format) read into a Model record: mesh objects,
// materials and smoothed vertex normals. Pure parsing: no OpenGL, no Qt, no windows.
#pragma once
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/load_error.h"

namespace vl {

struct ModelMaterial {
  std::string name;               // at most kModelNameMax bytes
  std::string texture_file;       // texture map file name, empty if none
  uint8_t colour[3] = {0, 0, 0};  // diffuse red, green, blue
};

struct ModelFace {
  int32_t a = 0, b = 0, c = 0;  // vertex indices, always < vertex_count after a load
};

struct ModelObject {
  int32_t vertex_count = 0;
  int32_t face_count = 0;
  int32_t uv_count = 0;        // may differ from vertex_count; uvs exist for vertices < uv_count only
  int32_t material_index = 0;  // -1 when the face material matched no material
  bool has_texture = false;    // some matched material names a texture file
  std::string name;
  std::vector<float> vertices;  // vertex_count * 3, already in the scene's axes
  std::vector<float> normals;   // vertex_count * 3, unit length
  std::vector<float> uvs;       // uv_count * 2, as stored in the file
  std::vector<ModelFace> faces;
};

// One model slot. Materials accumulate across loads into the same slot (material_count is not
// reset) and face materials are matched against the older ones first.
struct Model {
  int32_t object_count = 0;
  int32_t material_count = 0;
  std::vector<ModelMaterial> materials;  // size() == material_count
  std::vector<ModelObject> objects;      // size() == object_count after a load
};

// Names are copied into what were 255-byte records with their terminating zero.
inline constexpr size_t kModelNameMax = 254;
// A file with more objects or materials than this is refused. Indices in a 3DS file are 16-bit,
// and the scenes draw a handful of objects; the bound keeps a file of empty chunks from costing
// many times its size in memory.
inline constexpr size_t kMaxModelObjects = 65535;
inline constexpr size_t kMaxModelMaterials = 65535;

// Where a load reports its progress; the desktop program shows it in the loading splash.
class ModelLoadProgress {
 public:
  virtual ~ModelLoadProgress() = default;
  virtual void Show(std::string_view /*prompt*/) {}
  virtual void Message(std::string_view /*text*/) {}
  virtual void Hide() {}
  // A warning of the file (its version), told when the file has been read, before a failure.
  virtual void Warning(std::string_view /*text*/) {}
  // The load failed; the error is also returned.
  virtual void Failed(std::string_view /*text*/) {}
};

struct ModelLoadResult {
  std::optional<uint32_t> version;    // the file version chunk, when there is one
  std::vector<std::string> warnings;  // for the user; the model loaded anyway
};

// Loads a 3DS file into model, replacing its objects and appending its materials. On failure
// (running out of memory included) the model is left empty (object_count 0, materials as before)
// and the error names the file.
Expected<ModelLoadResult> Import3ds(const std::filesystem::path& path, Model& model, ModelLoadProgress& progress);
Expected<ModelLoadResult> Import3ds(const std::filesystem::path& path, Model& model);

// The loader's "Unable to find the file: NAME!" for a file that cannot be opened, with the reason
// added when it is not simply missing (not a regular file, no permission).
LoadError ModelFileNotFound(const std::string& name, const LoadError& why);

// The same from bytes already in memory; path is used in messages only. No progress calls.
Expected<ModelLoadResult> Import3dsBytes(std::span<const uint8_t> bytes, const std::string& path, Model& model);

// Smoothed vertex normals of one object: every vertex gets the normalised, negated mean of the
// unnormalised normals (A - C) x (C - B) of the faces that use it. A vertex that no face uses, or
// whose face normals cancel out, gets (0, 1, 0). Faces must index inside the vertex list.
void ComputeVertexNormals(ModelObject& object);
// The same by scanning every face for every vertex; kept to check ComputeVertexNormals against.
void ComputeVertexNormalsQuadratic(ModelObject& object);

}  // namespace vl
