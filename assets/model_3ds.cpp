// 3DS reader: a bounded chunk walk over the file in memory, staged into a private record and
// handed to the model slot only when the whole file made sense. No OpenGL, no Qt.
#include "assets/model_3ds.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>
#include <unordered_map>
#include <utility>

#include "engine/asset_paths.h"
#include "engine/byte_reader.h"

namespace vl {
namespace {

constexpr uint16_t kMainChunk = 0x4D4D;
constexpr uint16_t kVersionChunk = 0x0002;
constexpr uint16_t kEditorChunk = 0x3D3D;
constexpr uint16_t kMeshVersionChunk = 0x3D3E;
constexpr uint16_t kMaterialChunk = 0xAFFF;
constexpr uint16_t kMaterialNameChunk = 0xA000;
constexpr uint16_t kDiffuseChunk = 0xA020;
constexpr uint16_t kTextureMapChunk = 0xA200;
constexpr uint16_t kMapFileChunk = 0xA300;
constexpr uint16_t kObjectChunk = 0x4000;
constexpr uint16_t kMeshChunk = 0x4100;
constexpr uint16_t kVertexListChunk = 0x4110;
constexpr uint16_t kFaceListChunk = 0x4120;
constexpr uint16_t kFaceMaterialChunk = 0x4130;
constexpr uint16_t kUvListChunk = 0x4140;
constexpr uint16_t kColourFloatChunk = 0x0010;
constexpr uint16_t kColourFloatGammaChunk = 0x0013;

constexpr size_t kChunkHeaderSize = 6;
// Every level costs at least one 6-byte header, so a hostile file could otherwise nest deep
// enough to exhaust the stack; real files nest five or six levels.
constexpr int kMaxDepth = 64;

std::string ChunkLabel(uint16_t id) {
  const char* what = nullptr;
  switch (id) {
    case kMainChunk: what = "main"; break;
    case kVersionChunk: what = "file version"; break;
    case kEditorChunk: what = "editor data"; break;
    case kMeshVersionChunk: what = "mesh version"; break;
    case kMaterialChunk: what = "material"; break;
    case kMaterialNameChunk: what = "material name"; break;
    case kDiffuseChunk: what = "diffuse colour"; break;
    case kTextureMapChunk: what = "texture map"; break;
    case kMapFileChunk: what = "texture file name"; break;
    case kObjectChunk: what = "object"; break;
    case kMeshChunk: what = "triangle mesh"; break;
    case kVertexListChunk: what = "vertex list"; break;
    case kFaceListChunk: what = "face list"; break;
    case kFaceMaterialChunk: what = "face material"; break;
    case kUvListChunk: what = "texture coordinates"; break;
    default: break;
  }
  char buf[48];
  if (what) std::snprintf(buf, sizeof buf, "chunk 0x%04X (%s)", id, what);
  else std::snprintf(buf, sizeof buf, "chunk 0x%04X", id);
  return buf;
}

struct Chunk {
  uint16_t id = 0;
  uint64_t offset = 0;  // of the header in the file
  ByteReader body{{}};  // the bytes after the header, limited to the chunk
};

class Parser {
 public:
  Parser(const std::string& path, const std::vector<ModelMaterial>& older_materials)
      : path_(path), older_(older_materials) {}

  Status ParseFile(std::span<const uint8_t> bytes) {
    ByteReader file(bytes);
    uint16_t id = 0;
    uint32_t length = 0;
    if (!file.Read(id) || !file.Read(length) || id != kMainChunk)
      return LoadError{path_, "Unable to load PRIMARY chuck from file: " + path_ + "!", 0, ChunkLabel(kMainChunk)};
    ByteReader top(bytes);
    Chunk main;
    // Bytes after the main chunk are not part of the model and are ignored.
    if (Status e = ReadChunk(top, std::nullopt, main)) return e;
    if (Status e = ReadMainChildren(main, 1)) return e;
    for (ModelObject& object : objects_) ComputeVertexNormals(object);
    return std::nullopt;
  }

  std::vector<ModelObject>& objects() { return objects_; }
  std::vector<ModelMaterial>& materials() { return materials_; }
  ModelLoadResult& result() { return result_; }

 private:
  LoadError Error(uint64_t offset, std::string field, std::string message) const {
    return LoadError{path_, std::move(message), offset, std::move(field)};
  }

  // Takes the next chunk out of parent (the file itself when parent_id is empty); the chunk's
  // body is a reader limited to its length, and parent moves past the whole chunk whatever the
  // handler then does with the body.
  Status ReadChunk(ByteReader& parent, std::optional<uint16_t> parent_id, Chunk& out) {
    out.offset = parent.offset();
    auto parent_label = [&] { return parent_id ? ChunkLabel(*parent_id) : std::string(); };
    if (parent.remaining() < kChunkHeaderSize)
      return Error(out.offset, parent_label(),
                   std::to_string(parent.remaining()) + " stray bytes at the end, too few for a chunk header");
    uint32_t length = 0;
    parent.Read(out.id);
    parent.Read(length);
    if (length < kChunkHeaderSize)
      return Error(out.offset, ChunkLabel(out.id),
                   "length " + std::to_string(length) + " is shorter than the chunk header");
    const uint64_t body = uint64_t{length} - kChunkHeaderSize;
    if (body > parent.remaining())
      return Error(out.offset, ChunkLabel(out.id),
                   "length " + std::to_string(length) + " runs past the end of " +
                       (parent_id ? "its parent " + parent_label() : std::string("the file")) + " (" +
                       std::to_string(parent.remaining() + kChunkHeaderSize) + " bytes left)");
    parent.Sub(static_cast<size_t>(body), out.body);
    return std::nullopt;
  }

  Status ReadChunk(Chunk& parent, Chunk& out) { return ReadChunk(parent.body, parent.id, out); }

  Status CheckDepth(int depth, const Chunk& chunk) const {
    if (depth > kMaxDepth)
      return Error(chunk.offset, ChunkLabel(chunk.id),
                   "chunks nested more than " + std::to_string(kMaxDepth) + " levels deep");
    return std::nullopt;
  }

  // A zero-terminated name at the reader's position; the reader moves past the zero. Longer
  // names than the record holds are cut.
  Status ReadName(ByteReader& r, const Chunk& chunk, std::string& out) {
    std::span<const uint8_t> rest = r.rest();
    const void* zero = rest.empty() ? nullptr : std::memchr(rest.data(), 0, rest.size());
    if (!zero) return Error(r.offset(), ChunkLabel(chunk.id), "name has no terminating zero before the chunk ends");
    size_t n = static_cast<size_t>(static_cast<const uint8_t*>(zero) - rest.data());
    r.ReadBytes(n, out);
    r.Skip(1);
    if (out.size() > kModelNameMax) out.resize(kModelNameMax);
    return std::nullopt;
  }

  // Main rules: used for the main chunk and for the editor data inside it.
  Status ReadMainChildren(Chunk& parent, int depth) {
    while (!parent.body.at_end()) {
      Chunk c;
      if (Status e = ReadChunk(parent, c)) return e;
      if (Status e = CheckDepth(depth, c)) return e;
      switch (c.id) {
        case kVersionChunk: {
          // A 4-byte integer; a shorter chunk fills the low bytes, a longer one is cut.
          uint32_t version = 0;
          if (!c.body.at_end()) std::memcpy(&version, c.body.rest().data(), std::min<size_t>(4, c.body.remaining()));
          result_.version = version;
          if (version > 3) result_.warnings.push_back("This 3DS file is over version 3 so it may load incorrectly");
          break;
        }
        case kEditorChunk:
          // The mesh-version chunk that usually opens the editor data holds nothing we use and
          // falls to the default case; several exporters leave it out altogether.
          if (Status e = ReadMainChildren(c, depth + 1)) return e;
          break;
        case kMaterialChunk:
          if (materials_.size() >= kMaxModelMaterials)
            return Error(c.offset, ChunkLabel(c.id),
                         "more than " + std::to_string(kMaxModelMaterials) + " materials in one file");
          materials_.emplace_back();
          if (Status e = ReadMaterialChildren(c, materials_.size() - 1, depth + 1)) return e;
          break;
        case kObjectChunk:
          if (Status e = ReadObject(c, depth + 1)) return e;
          break;
        default: break;  // keyframer data, mesh version, and everything we do not draw
      }
    }
    return std::nullopt;
  }

  // Material rules: used for the material chunk and its texture map.
  Status ReadMaterialChildren(Chunk& parent, size_t material, int depth) {
    while (!parent.body.at_end()) {
      Chunk c;
      if (Status e = ReadChunk(parent, c)) return e;
      if (Status e = CheckDepth(depth, c)) return e;
      ModelMaterial& m = materials_[material];
      switch (c.id) {
        case kMaterialNameChunk:
          if (Status e = ReadName(c.body, c, m.name)) return e;
          break;
        case kDiffuseChunk:
          if (Status e = ReadDiffuse(c, m)) return e;
          break;
        case kTextureMapChunk:
          if (Status e = ReadMaterialChildren(c, material, depth + 1)) return e;
          break;
        case kMapFileChunk:
          if (Status e = ReadName(c.body, c, m.texture_file)) return e;
          break;
        default: break;
      }
    }
    return std::nullopt;
  }

  // The diffuse colour is the first colour chunk inside; exporters often add a gamma-corrected
  // second one, which is skipped.
  Status ReadDiffuse(Chunk& diffuse, ModelMaterial& m) {
    if (diffuse.body.at_end()) {
      // Nothing to read a colour from: the material keeps the colour it has.
      result_.warnings.push_back("material \"" + m.name + "\" at byte " + std::to_string(diffuse.offset) +
                                 ": its diffuse colour chunk is empty; the colour is left as it was");
      return std::nullopt;
    }
    Chunk colour;
    if (Status e = ReadChunk(diffuse, colour)) return e;
    std::span<const uint8_t> bytes = colour.body.rest();
    if ((colour.id == kColourFloatChunk || colour.id == kColourFloatGammaChunk) && bytes.size() >= 12) {
      // Copying these bytes as they stand, as the byte form is copied, would give the first
      // three bytes of a float; they are converted instead.
      for (int i = 0; i < 3; ++i) {
        float f;
        std::memcpy(&f, bytes.data() + 4 * i, 4);
        m.colour[i] = !(f > 0.0f) ? 0 : f >= 1.0f ? 255 : static_cast<uint8_t>(std::lround(f * 255.0f));
      }
    } else if (!bytes.empty()) {
      std::memcpy(m.colour, bytes.data(), std::min<size_t>(3, bytes.size()));
    }
    return std::nullopt;
  }

  Status ReadObject(Chunk& chunk, int depth) {
    if (objects_.size() >= kMaxModelObjects)
      return Error(chunk.offset, ChunkLabel(chunk.id),
                   "more than " + std::to_string(kMaxModelObjects) + " objects in one file");
    objects_.emplace_back();
    const size_t index = objects_.size() - 1;
    if (Status e = ReadName(chunk.body, chunk, objects_[index].name)) return e;
    face_chunk_offset_ = chunk.offset;
    if (Status e = ReadObjectChildren(chunk, index, depth)) return e;
    // Faces may come before their vertices, so indices are checked once the object is whole.
    const ModelObject& o = objects_[index];
    for (size_t i = 0; i < o.faces.size(); ++i) {
      const ModelFace& f = o.faces[i];
      const int32_t worst = std::max({f.a, f.b, f.c});
      if (worst >= o.vertex_count)
        return Error(face_chunk_offset_, ChunkLabel(kFaceListChunk),
                     "face " + std::to_string(i) + " of object \"" + o.name + "\" uses vertex " +
                         std::to_string(worst) + " but the object has " + std::to_string(o.vertex_count) + " vertices");
    }
    return std::nullopt;
  }

  // Reads a 16-bit count and checks that count records of record_size bytes follow.
  Status ReadCount(Chunk& c, size_t record_size, const char* what, uint16_t& count) {
    if (!c.body.Read(count))
      return Error(c.body.offset(), ChunkLabel(c.id), std::string("too short for its ") + what + " count");
    if (size_t{count} * record_size > c.body.remaining())
      return Error(c.body.offset() - 2, ChunkLabel(c.id),
                   std::to_string(count) + " " + what + " need " + std::to_string(size_t{count} * record_size) +
                       " bytes but the chunk has " + std::to_string(c.body.remaining()) + " left");
    return std::nullopt;
  }

  // Object rules: used for the object, its triangle mesh, and the sub-chunks of the face list.
  Status ReadObjectChildren(Chunk& parent, size_t object, int depth) {
    while (!parent.body.at_end()) {
      Chunk c;
      if (Status e = ReadChunk(parent, c)) return e;
      if (Status e = CheckDepth(depth, c)) return e;
      ModelObject& o = objects_[object];
      switch (c.id) {
        case kMeshChunk:
          if (Status e = ReadObjectChildren(c, object, depth + 1)) return e;
          break;
        case kVertexListChunk: {
          uint16_t count = 0;
          if (Status e = ReadCount(c, 12, "vertices", count)) return e;
          o.vertex_count = count;
          o.vertices.resize(size_t{count} * 3);
          for (size_t i = 0; i < count; ++i) {
            float x = 0, y = 0, z = 0;
            c.body.Read(x);
            c.body.Read(y);
            c.body.Read(z);
            // 3D Studio's z is up; the scene's y is.
            o.vertices[3 * i] = x;
            o.vertices[3 * i + 1] = z;
            o.vertices[3 * i + 2] = -y;
          }
          break;
        }
        case kFaceListChunk: {
          uint16_t count = 0;
          if (Status e = ReadCount(c, 8, "faces", count)) return e;
          o.face_count = count;
          o.faces.resize(count);
          for (ModelFace& f : o.faces) {
            uint16_t a = 0, b = 0, cc = 0, flags = 0;
            c.body.Read(a);
            c.body.Read(b);
            c.body.Read(cc);
            c.body.Read(flags);  // edge visibility, not used
            f = ModelFace{a, b, cc};
          }
          face_chunk_offset_ = c.offset;
          // The face material and smoothing groups are sub-chunks after the face records.
          if (Status e = ReadObjectChildren(c, object, depth + 1)) return e;
          break;
        }
        case kFaceMaterialChunk: {
          std::string name;
          if (Status e = ReadName(c.body, c, name)) return e;
          MatchMaterial(name, objects_[object]);
          break;  // the list of faces that use it follows, and is not used
        }
        case kUvListChunk: {
          uint16_t count = 0;
          if (Status e = ReadCount(c, 8, "texture coordinates", count)) return e;
          o.uv_count = count;
          o.uvs.resize(size_t{count} * 2);
          for (float& v : o.uvs) c.body.Read(v);
          break;
        }
        default: break;
      }
    }
    return std::nullopt;
  }

  // The first material of that exact name wins, searching earlier loads' materials first. No
  // match gives -1 but keeps a texture flag set by an earlier face material of the object; with
  // no materials at all the index stays 0. Names are looked up in a map that takes in the
  // materials read so far: a material is complete (its name final) before any face material
  // after it can be read, and emplace keeps the first position of a name.
  void MatchMaterial(const std::string& name, ModelObject& o) {
    const size_t total = older_.size() + materials_.size();
    for (; indexed_ < total; ++indexed_) {
      const ModelMaterial& m = indexed_ < older_.size() ? older_[indexed_] : materials_[indexed_ - older_.size()];
      by_name_.emplace(m.name, indexed_);
    }
    const auto it = by_name_.find(name);
    if (it != by_name_.end()) {
      const size_t i = it->second;
      const ModelMaterial& m = i < older_.size() ? older_[i] : materials_[i - older_.size()];
      o.material_index = static_cast<int32_t>(i);
      if (!m.texture_file.empty()) o.has_texture = true;
      return;
    }
    if (total > 0) o.material_index = -1;
  }

  const std::string& path_;
  const std::vector<ModelMaterial>& older_;
  std::vector<ModelMaterial> materials_;
  std::vector<ModelObject> objects_;
  ModelLoadResult result_;
  uint64_t face_chunk_offset_ = 0;
  std::unordered_map<std::string, size_t> by_name_;  // first position of each material name
  size_t indexed_ = 0;                               // materials taken into by_name_
};

struct Vec3 {
  float x, y, z;
};

inline Vec3 VertexAt(const ModelObject& o, int32_t i) {
  const float* p = &o.vertices[3 * static_cast<size_t>(i)];
  return {p[0], p[1], p[2]};
}

// (A - C) x (C - B), left unnormalised so that larger faces weigh more.
inline Vec3 FaceNormal(const ModelObject& o, const ModelFace& f) {
  const Vec3 a = VertexAt(o, f.a), b = VertexAt(o, f.b), c = VertexAt(o, f.c);
  const Vec3 u{a.x - c.x, a.y - c.y, a.z - c.z};
  const Vec3 v{c.x - b.x, c.y - b.y, c.z - b.z};
  return {u.y * v.z - u.z * v.y, u.z * v.x - u.x * v.z, u.x * v.y - u.y * v.x};
}

// normalize(sum / -shared); the fallback covers unused vertices and sums that cancel to zero.
inline void StoreNormal(float* out, Vec3 sum, int shared) {
  const float k = static_cast<float>(-shared);
  Vec3 n{sum.x / k, sum.y / k, sum.z / k};
  const float length = static_cast<float>(std::sqrt(n.x * n.x + n.y * n.y + n.z * n.z));
  if (shared == 0 || length == 0.0f) {
    out[0] = 0.0f;
    out[1] = 1.0f;
    out[2] = 0.0f;
    return;
  }
  out[0] = n.x / length;
  out[1] = n.y / length;
  out[2] = n.z / length;
}

}  // namespace

void ComputeVertexNormals(ModelObject& object) {
  const size_t vertex_count = static_cast<size_t>(object.vertex_count);
  std::vector<Vec3> sums(vertex_count, Vec3{0, 0, 0});
  std::vector<int> shared(vertex_count, 0);
  // Faces are visited in order, so every vertex sums the same terms in the same order as a scan
  // of all faces per vertex would: the results are identical, not merely close.
  for (const ModelFace& f : object.faces) {
    const Vec3 n = FaceNormal(object, f);
    const int32_t corners[3] = {f.a, f.b, f.c};
    for (int i = 0; i < 3; ++i) {
      const int32_t v = corners[i];
      if ((i >= 1 && v == corners[0]) || (i == 2 && v == corners[1])) continue;  // counted once per face
      Vec3& s = sums[static_cast<size_t>(v)];
      s = Vec3{s.x + n.x, s.y + n.y, s.z + n.z};
      ++shared[static_cast<size_t>(v)];
    }
  }
  object.normals.resize(vertex_count * 3);
  for (size_t v = 0; v < vertex_count; ++v) StoreNormal(&object.normals[3 * v], sums[v], shared[v]);
}

void ComputeVertexNormalsQuadratic(ModelObject& object) {
  const size_t vertex_count = static_cast<size_t>(object.vertex_count);
  std::vector<Vec3> face_normals;
  face_normals.reserve(object.faces.size());
  for (const ModelFace& f : object.faces) face_normals.push_back(FaceNormal(object, f));
  object.normals.resize(vertex_count * 3);
  for (size_t v = 0; v < vertex_count; ++v) {
    Vec3 sum{0, 0, 0};
    int shared = 0;
    const int32_t vi = static_cast<int32_t>(v);
    for (size_t j = 0; j < object.faces.size(); ++j) {
      const ModelFace& f = object.faces[j];
      if (f.a == vi || f.b == vi || f.c == vi) {
        sum = Vec3{sum.x + face_normals[j].x, sum.y + face_normals[j].y, sum.z + face_normals[j].z};
        ++shared;
      }
    }
    StoreNormal(&object.normals[3 * v], sum, shared);
  }
}

namespace {

// `warnings_of_failure` receives the warnings found before a failure.
Expected<ModelLoadResult> ImportBytes(std::span<const uint8_t> bytes, const std::string& path, Model& model,
                                      std::vector<std::string>* warnings_of_failure) {
  model.object_count = 0;
  Parser parser(path, model.materials);
  Status failed;
  try {
    failed = parser.ParseFile(bytes);
  } catch (const std::bad_alloc&) { failed = LoadError{path, "not enough memory to load this model", {}, {}}; }
  if (failed) {
    model.objects.clear();
    if (warnings_of_failure) *warnings_of_failure = parser.result().warnings;
    return *failed;
  }
  model.objects = std::move(parser.objects());
  model.object_count = static_cast<int32_t>(model.objects.size());
  for (ModelMaterial& m : parser.materials()) model.materials.push_back(std::move(m));
  model.material_count = static_cast<int32_t>(model.materials.size());
  return std::move(parser.result());
}

}  // namespace

Expected<ModelLoadResult> Import3dsBytes(std::span<const uint8_t> bytes, const std::string& path, Model& model) {
  return ImportBytes(bytes, path, model, nullptr);
}

LoadError ModelFileNotFound(const std::string& name, const LoadError& why) {
  std::string message = "Unable to find the file: " + name + "!";
  // A plain missing file says no more than that; anything else that stops the opening says what.
  if (why.message.rfind("no such file", 0) != 0 && why.message.find("No such file") == std::string::npos)
    message += " (" + why.message + ")";
  return LoadError{name, message, {}, {}};
}

Expected<ModelLoadResult> Import3ds(const std::filesystem::path& path, Model& model, ModelLoadProgress& progress) {
  const std::string name = path.string();
  model.object_count = 0;
  model.objects.clear();
  Expected<std::vector<uint8_t>> bytes = ReadFileBytes(path);
  if (!bytes) {
    // A file that is there but could not be read (too large, say) keeps its own reason.
    std::error_code ec;
    LoadError error =
        std::filesystem::is_regular_file(path, ec) ? bytes.error() : ModelFileNotFound(name, bytes.error());
    progress.Failed(error.ToString());
    return error;
  }
  progress.Show("Please Wait:");
  progress.Message(name);
  progress.Message("Is Now Loading");
  std::vector<std::string> warnings_of_failure;
  Expected<ModelLoadResult> result = ImportBytes(*bytes, name, model, &warnings_of_failure);
  for (const std::string& w : result ? result->warnings : warnings_of_failure) progress.Warning(w);
  progress.Hide();
  if (!result) progress.Failed(result.error().ToString());
  return result;
}

Expected<ModelLoadResult> Import3ds(const std::filesystem::path& path, Model& model) {
  ModelLoadProgress silent;
  return Import3ds(path, model, silent);
}

}  // namespace vl
