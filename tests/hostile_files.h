// Files made to cost a loader as much as possible: metafiles that claim a huge drawing, TGA files
// of real size, 3DS files of countless empty chunks or materials. Written by the tests and the
// asset-load benchmark, never committed. Header-only; no Qt, no GoogleTest.
#pragma once
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace vl::hostile {

inline void Put16(std::vector<uint8_t>& b, uint32_t v) {
  b.push_back(uint8_t(v));
  b.push_back(uint8_t(v >> 8));
}
inline void Put32(std::vector<uint8_t>& b, uint32_t v) {
  Put16(b, v & 0xFFFF);
  Put16(b, v >> 16);
}

// A 102-byte placeable WMF whose header claims bounds of -32767 .. 32767 at 1 unit per inch: a
// drawing 65534 inches across, with one red rectangle in it.
inline std::vector<uint8_t> WmfBomb() {
  std::vector<uint8_t> b;
  Put32(b, 0x9AC6CDD7);
  Put16(b, 0);
  const uint16_t header[] = {uint16_t(-32767), uint16_t(-32767), 32767, 32767, 1};
  for (uint16_t v : header) Put16(b, v);
  Put32(b, 0);
  uint16_t checksum = 0xCDD7 ^ 0x9AC6;
  for (uint16_t v : header) checksum ^= v;
  Put16(b, checksum);
  const std::vector<std::vector<uint16_t>> records = {
      {0x020B, uint16_t(-32767), uint16_t(-32767)},        // SETWINDOWORG y, x
      {0x020C, 32767, 32767},                              // SETWINDOWEXT height, width
      {0x02FC, 0, 0x00FF, 0x0000, 0},                      // CREATEBRUSHINDIRECT solid red
      {0x012D, 0},                                         // SELECTOBJECT 0
      {0x041B, 0, 0, uint16_t(-32767), uint16_t(-32767)},  // RECTANGLE bottom, right, top, left
      {0x0000},                                            // EOF
  };
  uint32_t words = 9, max_record = 0;
  for (const auto& r : records) {
    words += 2 + uint32_t(r.size());
    max_record = std::max<uint32_t>(max_record, 2 + uint32_t(r.size()));
  }
  Put16(b, 1);
  Put16(b, 9);
  Put16(b, 0x300);
  Put32(b, words);
  Put16(b, 1);
  Put32(b, max_record);
  Put16(b, 0);
  for (const auto& r : records) {
    Put32(b, 2 + uint32_t(r.size()));
    for (uint16_t v : r) Put16(b, v);
  }
  return b;
}

// An EMF whose frame is frame_px pixels square (at 96 dpi), filled with a green brush by
// `rectangles` rectangles that each cover the whole frame: 200 bytes with none, 24 KB with 1,000.
inline std::vector<uint8_t> EmfBomb(uint32_t frame_px = 60000, int rectangles = 1) {
  std::vector<uint8_t> records;
  auto rec = [&](uint32_t type, const std::vector<uint32_t>& params) {
    Put32(records, type);
    Put32(records, 8 + 4 * uint32_t(params.size()));
    for (uint32_t v : params) Put32(records, v);
  };
  rec(39, {1, 0, 0x0000FF00, 0});  // CREATEBRUSHINDIRECT handle 1: solid green
  rec(37, {1});                    // SELECTOBJECT
  for (int i = 0; i < rectangles; ++i) rec(43, {0, 0, frame_px, frame_px});  // RECTANGLE
  rec(14, {0, 16, 20});                                                      // EOF
  const uint32_t himetric = uint32_t(uint64_t(frame_px) * 2540 / 96);
  std::vector<uint8_t> b;
  Put32(b, 1);
  Put32(b, 88);
  for (uint32_t v : {0u, 0u, frame_px - 1, frame_px - 1}) Put32(b, v);  // bounds, device pixels
  for (uint32_t v : {0u, 0u, himetric, himetric}) Put32(b, v);          // frame, HIMETRIC
  Put32(b, 0x464D4520);
  Put32(b, 0x10000);
  Put32(b, 88 + uint32_t(records.size()));
  Put32(b, uint32_t(3 + rectangles));
  Put16(b, 2);
  Put16(b, 0);
  Put32(b, 0);
  Put32(b, 0);
  Put32(b, 0);
  for (uint32_t v : {1024u, 768u, 270u, 203u}) Put32(b, v);  // device in pixels and millimetres
  b.insert(b.end(), records.begin(), records.end());
  return b;
}

inline bool WriteBytes(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

// An uncompressed true-colour TGA (24 or 32 bits), or an 8-bit colour-mapped one, written in
// pieces so that a gigabyte file never sits in this process's memory.
inline bool WriteTga(const std::filesystem::path& path, int width, int height, int bits) {
  std::vector<uint8_t> header = bits == 8 ? std::vector<uint8_t>{0, 1, 1, 0, 0, 0, 1, 0x18, 0, 0, 0, 0}
                                          : std::vector<uint8_t>{0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  Put16(header, uint32_t(width));
  Put16(header, uint32_t(height));
  header.push_back(uint8_t(bits));
  header.push_back(0);
  if (bits == 8) header.resize(header.size() + 768, 0);
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = std::fwrite(header.data(), 1, header.size(), f) == header.size();
  std::vector<uint8_t> row(size_t(width) * size_t(bits / 8));
  for (int y = 0; y < height && ok; ++y) {
    for (size_t i = 0; i < row.size(); ++i) row[i] = uint8_t(i * 7 + size_t(y) * 13);
    ok = std::fwrite(row.data(), 1, row.size(), f) == row.size();
  }
  return std::fclose(f) == 0 && ok;
}

// 3DS pieces written straight as bytes: millions of chunks are too many to build as a tree.
inline void Chunk3ds(std::vector<uint8_t>& b, uint16_t id, uint32_t length) {
  Put16(b, id);
  Put32(b, length);
}
inline void PatchLength(std::vector<uint8_t>& b, size_t at) {
  const uint32_t length = uint32_t(b.size() - at);
  std::memcpy(b.data() + at + 2, &length, 4);
}

// A main chunk whose editor data holds `count` empty named objects (7 bytes each: a header and
// an empty name).
inline std::vector<uint8_t> EmptyObjects3ds(size_t count) {
  std::vector<uint8_t> b;
  b.reserve(12 + count * 7);
  Chunk3ds(b, 0x4D4D, 0);
  Chunk3ds(b, 0x3D3D, 0);
  for (size_t i = 0; i < count; ++i) {
    Chunk3ds(b, 0x4000, 7);
    b.push_back(0);
  }
  PatchLength(b, 6);
  PatchLength(b, 0);
  return b;
}

// The same with `count` empty material chunks (6 bytes each).
inline std::vector<uint8_t> EmptyMaterials3ds(size_t count) {
  std::vector<uint8_t> b;
  b.reserve(12 + count * 6);
  Chunk3ds(b, 0x4D4D, 0);
  Chunk3ds(b, 0x3D3D, 0);
  for (size_t i = 0; i < count; ++i) Chunk3ds(b, 0xAFFF, 6);
  PatchLength(b, 6);
  PatchLength(b, 0);
  return b;
}

// `count` materials named m0, m1, ... (the last one with a texture map), then one object with a
// triangle whose face list carries `count` face-material chunks naming them from the last to the
// first, so that a search from the front walks nearly the whole list every time.
inline std::vector<uint8_t> ManyMaterials3ds(size_t count) {
  std::vector<uint8_t> b;
  Chunk3ds(b, 0x4D4D, 0);
  Chunk3ds(b, 0x3D3D, 0);
  for (size_t i = 0; i < count; ++i) {
    const std::string name = "m" + std::to_string(i);
    const size_t material = b.size();
    Chunk3ds(b, 0xAFFF, 0);
    Chunk3ds(b, 0xA000, uint32_t(6 + name.size() + 1));
    b.insert(b.end(), name.begin(), name.end());
    b.push_back(0);
    if (i + 1 == count) {
      const size_t map = b.size();
      Chunk3ds(b, 0xA200, 0);
      Chunk3ds(b, 0xA300, 6 + 6);
      for (char c : std::string("m.jpg")) b.push_back(uint8_t(c));
      b.push_back(0);
      PatchLength(b, map);
    }
    PatchLength(b, material);
  }
  const size_t object = b.size();
  Chunk3ds(b, 0x4000, 0);
  b.push_back('o');
  b.push_back(0);
  const size_t mesh = b.size();
  Chunk3ds(b, 0x4100, 0);
  Chunk3ds(b, 0x4110, 6 + 2 + 3 * 12);
  Put16(b, 3);
  const float vertices[9] = {0, 0, 0, 1, 0, 0, 0, 1, 0};
  for (float v : vertices) {
    uint32_t bits;
    std::memcpy(&bits, &v, 4);
    Put32(b, bits);
  }
  const size_t faces = b.size();
  Chunk3ds(b, 0x4120, 0);
  Put16(b, 1);
  for (uint16_t v : {0, 1, 2, 0}) Put16(b, v);
  for (size_t i = count; i-- > 0;) {
    const std::string name = "m" + std::to_string(i);
    Chunk3ds(b, 0x4130, uint32_t(6 + name.size() + 1 + 2));
    b.insert(b.end(), name.begin(), name.end());
    b.push_back(0);
    Put16(b, 0);  // the faces that use it: none listed
  }
  PatchLength(b, faces);
  PatchLength(b, mesh);
  PatchLength(b, object);
  PatchLength(b, 6);
  PatchLength(b, 0);
  return b;
}

// A loop source that names `file` in every picture slot.
inline std::string EveryPictureSlot(const std::string& file) {
  std::string s = "version 6\n\n[settings]\nsequence_texture_mode = 0\nphoto_on = 2\n";
  for (const char* field : {"sequence_texture_name", "sprite_texture_name", "fountain_texture_name",
                            "tunnel_texture_name", "backdrop_1_texture_name", "backdrop_2_texture_name", "photo_a_name",
                            "photo_b_name", "model_1_texture_name", "model_2_texture_name", "model_3_texture_name"})
    s += std::string(field) + " = \"" + file + "\"\n";
  return s + "\n[key]\nframe = 0\n\n[key]\nframe = 10\n";
}

}  // namespace vl::hostile
