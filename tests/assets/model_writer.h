// A small 3DS writer: builds chunk trees byte by byte so tests can make exact (and exactly
// broken) files, and the default-model tool can write the bundled model. Header-only, no Qt.
#pragma once
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vl::model_writer {

// One chunk: an id, its own payload, then its children. The length is computed unless forced.
class Chunk {
 public:
  explicit Chunk(uint16_t id) : id_(id) {}

  Chunk& U16(uint16_t v) { return Raw(&v, 2); }
  Chunk& U32(uint32_t v) { return Raw(&v, 4); }
  Chunk& F32(float v) { return Raw(&v, 4); }
  Chunk& Byte(uint8_t v) { return Raw(&v, 1); }
  // A zero-terminated string.
  Chunk& Str(const std::string& s) {
    Raw(s.data(), s.size());
    return Byte(0);
  }
  Chunk& Raw(const void* p, size_t n) {
    const uint8_t* b = static_cast<const uint8_t*>(p);
    payload_.insert(payload_.end(), b, b + n);
    return *this;
  }
  Chunk& Add(const Chunk& child) {
    std::vector<uint8_t> b = child.Bytes();
    payload_.insert(payload_.end(), b.begin(), b.end());
    return *this;
  }
  // Writes this value in the length field instead of the true length.
  Chunk& ForceLength(uint32_t length) {
    forced_length_ = length;
    return *this;
  }

  std::vector<uint8_t> Bytes() const {
    std::vector<uint8_t> out(6);
    const uint32_t length = forced_length_ ? *forced_length_ : static_cast<uint32_t>(payload_.size() + 6);
    std::memcpy(out.data(), &id_, 2);
    std::memcpy(out.data() + 2, &length, 4);
    out.insert(out.end(), payload_.begin(), payload_.end());
    return out;
  }

 private:
  uint16_t id_;
  std::vector<uint8_t> payload_;
  std::optional<uint32_t> forced_length_;
};

struct Vertex {
  float x, y, z;  // file axes: z up
};
struct Uv {
  float u, v;
};
struct Face {
  uint16_t a, b, c;
};

inline Chunk Version(uint32_t v) { return std::move(Chunk(0x0002).U32(v)); }

// A material with a byte diffuse colour and, when texture is not empty, a texture map.
inline Chunk Material(const std::string& name, const std::string& texture, uint8_t r, uint8_t g, uint8_t b) {
  Chunk m(0xAFFF);
  m.Add(Chunk(0xA000).Str(name));
  m.Add(Chunk(0xA020).Add(Chunk(0x0011).Byte(r).Byte(g).Byte(b)));
  if (!texture.empty()) m.Add(Chunk(0xA200).Add(Chunk(0x0030).U16(100)).Add(Chunk(0xA300).Str(texture)));
  return m;
}

inline Chunk VertexList(const std::vector<Vertex>& vs) {
  Chunk c(0x4110);
  c.U16(static_cast<uint16_t>(vs.size()));
  for (const Vertex& v : vs) c.F32(v.x).F32(v.y).F32(v.z);
  return c;
}

// The face list; a face material naming every face follows as a sub-chunk when material is set.
inline Chunk FaceList(const std::vector<Face>& fs, const std::string& material = "") {
  Chunk c(0x4120);
  c.U16(static_cast<uint16_t>(fs.size()));
  for (const Face& f : fs) c.U16(f.a).U16(f.b).U16(f.c).U16(7);
  if (!material.empty()) {
    Chunk m(0x4130);
    m.Str(material).U16(static_cast<uint16_t>(fs.size()));
    for (size_t i = 0; i < fs.size(); ++i) m.U16(static_cast<uint16_t>(i));
    c.Add(m);
  }
  return c;
}

inline Chunk UvList(const std::vector<Uv>& uvs) {
  Chunk c(0x4140);
  c.U16(static_cast<uint16_t>(uvs.size()));
  for (const Uv& t : uvs) c.F32(t.u).F32(t.v);
  return c;
}

// A named object holding one triangle mesh, in the usual order: vertices, faces, uvs.
inline Chunk MeshObject(const std::string& name, const std::vector<Vertex>& vs, const std::vector<Face>& fs,
                        const std::vector<Uv>& uvs = {}, const std::string& material = "") {
  Chunk mesh(0x4100);
  mesh.Add(VertexList(vs)).Add(FaceList(fs, material));
  if (!uvs.empty()) mesh.Add(UvList(uvs));
  return std::move(Chunk(0x4000).Str(name).Add(mesh));
}

// The editor data (with a mesh-version chunk first, as most exporters write it) inside a main
// chunk that starts with a version chunk.
inline std::vector<uint8_t> File(uint32_t version, const std::vector<Chunk>& editor_children) {
  Chunk editor(0x3D3D);
  editor.Add(Chunk(0x3D3E).U32(3));
  for (const Chunk& c : editor_children) editor.Add(c);
  Chunk main(0x4D4D);
  main.Add(Version(version)).Add(editor);
  return main.Bytes();
}

}  // namespace vl::model_writer
