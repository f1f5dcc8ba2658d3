#include "assets/model_3ds.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "engine/asset_paths.h"
#include "tests/assets/model_writer.h"

namespace fs = std::filesystem;
namespace mw = vl::model_writer;

namespace {

// Sample files unpacked from Debian packages by scripts/fetch-test-data. Missing data skips the
// test on a developer's machine but fails it in CI.
fs::path DebianModel(const std::string& package, const std::string& relative) {
  return fs::path(VL_EXTERNAL_TEST_DATA) / package / relative;
}
const fs::path kAssimp3ds = "usr/share/assimp/models/3DS";
const fs::path kGlmark = "usr/share/glmark2/models";

std::vector<uint8_t> Slurp(const fs::path& p) {
  auto bytes = vl::ReadFileBytes(p);
  return bytes ? *bytes : std::vector<uint8_t>{};
}

#define REQUIRE_FILE(path) \
  do { \
    if (!fs::exists(path)) { \
      if (const char* ci = std::getenv("CI"); ci && std::string(ci) == "true") \
        FAIL() << "missing test data " << (path) << " (run scripts/fetch-test-data)"; \
      GTEST_SKIP() << "missing test data " << (path) << " (run scripts/fetch-test-data)"; \
    } \
  } while (0)

vl::Expected<vl::ModelLoadResult> Load(const std::vector<uint8_t>& bytes, vl::Model& model) {
  return vl::Import3dsBytes(bytes, "test.3ds", model);
}

void PutU32(std::vector<uint8_t>& b, size_t at, uint32_t v) { std::memcpy(b.data() + at, &v, 4); }

// Expects the load to fail, leave the slot empty, and name the file and the given chunk.
void ExpectFailure(const std::vector<uint8_t>& bytes, const std::string& chunk, const std::string& words) {
  vl::Model model;
  auto r = Load(bytes, model);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().file, "test.3ds");
  EXPECT_NE(r.error().field.find(chunk), std::string::npos) << r.error().ToString();
  EXPECT_NE(r.error().message.find(words), std::string::npos) << r.error().ToString();
  EXPECT_EQ(model.object_count, 0);
  EXPECT_TRUE(model.objects.empty());
  EXPECT_EQ(model.material_count, 0);
}

const std::vector<mw::Vertex> kTriangle = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}};
const std::vector<mw::Face> kOneFace = {{0, 1, 2}};

class RecordingProgress : public vl::ModelLoadProgress {
 public:
  void Show(std::string_view s) override { calls.push_back("show:" + std::string(s)); }
  void Message(std::string_view s) override { calls.push_back("msg:" + std::string(s)); }
  void Hide() override { calls.push_back("hide"); }
  std::vector<std::string> calls;
};

fs::path TempFile(const std::string& name, const std::vector<uint8_t>& bytes) {
  fs::path p = fs::temp_directory_path() / ("vl_model_" + std::to_string(::getpid()) + "_" + name);
  std::ofstream(p, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return p;
}

// ---- Damaged and missing files ----

TEST(Model3dsFailures, MissingFileAndBadMainChunkUseTheMessagesUsersKnow) {
  vl::Model model;
  RecordingProgress progress;
  auto missing = vl::Import3ds("/nonexistent/x.3ds", model, progress);
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().message, "Unable to find the file: /nonexistent/x.3ds!");
  EXPECT_TRUE(progress.calls.empty());  // nothing is shown for a file that is not there

  for (const std::vector<uint8_t>& bytes :
       {std::vector<uint8_t>{}, std::vector<uint8_t>{0x4D, 0x4D, 1}, mw::Chunk(0x3D3D).Bytes()}) {
    fs::path p = TempFile("bad.3ds", bytes);
    RecordingProgress shown;
    auto r = vl::Import3ds(p, model, shown);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message, "Unable to load PRIMARY chuck from file: " + p.string() + "!");
    EXPECT_EQ(shown.calls,
              (std::vector<std::string>{"show:Please Wait:", "msg:" + p.string(), "msg:Is Now Loading", "hide"}));
    fs::remove(p);
  }
}

TEST(Model3dsFailures, EveryTruncationOfARealFileFailsCleanly) {
  const fs::path path = DebianModel("glmark2-data", (kGlmark / "cube.3ds").string());
  REQUIRE_FILE(path);
  const std::vector<uint8_t> whole = Slurp(path);
  for (size_t n = 0; n < whole.size(); ++n) {
    vl::Model model;
    std::vector<uint8_t> cut(whole.begin(), whole.begin() + static_cast<long>(n));
    auto r = Load(cut, model);
    ASSERT_FALSE(r.ok()) << "prefix of " << n << " bytes loaded";
    EXPECT_EQ(model.object_count, 0);
  }
  // With the main chunk's length patched to the cut, the damage shows up at the inner chunk.
  std::vector<uint8_t> cut(whole.begin(), whole.begin() + 300);
  PutU32(cut, 2, 300);
  ExpectFailure(cut, "0x3D3D", "runs past the end");

  std::vector<uint8_t> lying = whole;
  ASSERT_EQ(lying[134], 0x10);  // the vertex list of this file starts at byte 134
  PutU32(lying, 136, 100000);
  ExpectFailure(lying, "0x4110", "runs past the end of its parent chunk 0x4100");
  std::vector<uint8_t> bad_magic = whole;
  bad_magic[1] = 0x4C;
  ExpectFailure(bad_magic, "0x4D4D", "Unable to load PRIMARY chuck from file: test.3ds!");
}

TEST(Model3dsFailures, LyingLengthsAndCountsNameTheChunk) {
  // A vertex list longer than its mesh.
  {
    mw::Chunk vertices = mw::VertexList(kTriangle);
    vertices.ForceLength(5000);
    mw::Chunk object = std::move(mw::Chunk(0x4000).Str("o").Add(mw::Chunk(0x4100).Add(vertices)));
    ExpectFailure(mw::File(3, {object}), "0x4110 (vertex list)", "runs past the end of its parent chunk 0x4100");
  }
  // A chunk shorter than its own header.
  ExpectFailure(mw::File(3, {mw::Chunk(0xAFFF).Add(mw::Chunk(0xA000).ForceLength(3))}), "0xA000", "shorter than");
  // A main chunk longer than the file.
  {
    std::vector<uint8_t> bytes = mw::File(3, {});
    PutU32(bytes, 2, static_cast<uint32_t>(bytes.size() + 1));
    ExpectFailure(bytes, "0x4D4D", "runs past the end of the file");
  }
  // Counts larger than their chunk.
  mw::Chunk too_many = std::move(mw::Chunk(0x4110).U16(1000).F32(1).F32(2).F32(3));
  ExpectFailure(mw::File(3, {std::move(mw::Chunk(0x4000).Str("o").Add(mw::Chunk(0x4100).Add(too_many)))}), "0x4110",
                "1000 vertices need 12000 bytes");
  mw::Chunk faces = std::move(mw::Chunk(0x4120).U16(2).U16(0).U16(1).U16(2).U16(0));
  ExpectFailure(mw::File(3, {mw::MeshObject("o", kTriangle, {}).Add(faces)}), "0x4120", "2 faces");
  ExpectFailure(mw::File(3, {std::move(mw::Chunk(0x4000).Str("o").Add(mw::Chunk(0x4140).Byte(1)))}), "0x4140",
                "too short");
  // Three stray bytes after the last child of a material.
  ExpectFailure(mw::File(3, {mw::Material("m", "", 1, 2, 3).Byte(1).Byte(2).Byte(3)}), "0xAFFF", "stray bytes");
}

TEST(Model3dsFailures, FaceIndexBeyondVerticesAndUnterminatedNames) {
  ExpectFailure(mw::File(3, {mw::MeshObject("o", kTriangle, {{0, 1, 3}})}), "0x4120 (face list)",
                "uses vertex 3 but the object has 3 vertices");
  // Faces written before any vertex list are checked once the object is complete.
  mw::Chunk early = std::move(mw::Chunk(0x4000).Str("o").Add(mw::Chunk(0x4100).Add(mw::FaceList(kOneFace))));
  ExpectFailure(mw::File(3, {early}), "0x4120", "has 0 vertices");

  ExpectFailure(mw::File(3, {std::move(mw::Chunk(0x4000).Raw("name", 4))}), "0x4000", "no terminating zero");
  ExpectFailure(mw::File(3, {mw::Chunk(0xAFFF).Add(mw::Chunk(0xA000).Raw("m", 1))}), "0xA000", "no terminating zero");
  ExpectFailure(mw::File(3, {mw::MeshObject("o", kTriangle, kOneFace).Add(mw::Chunk(0x4130).Raw("m", 1))}), "0x4130",
                "no terminating zero");
}

TEST(Model3dsFailures, DeepNestingIsRefusedNotOverflowed) {
  mw::Chunk nested(0xA200);
  for (int i = 0; i < 5000; ++i) nested = std::move(mw::Chunk(0xA200).Add(nested));
  ExpectFailure(mw::File(3, {mw::Chunk(0xAFFF).Add(nested)}), "0xA200", "nested more than");
}

TEST(Model3dsFailures, AFailedReloadLeavesEarlierMaterialsAlone) {
  vl::Model model;
  ASSERT_TRUE(
      Load(mw::File(3, {mw::Material("keep", "k.jpg", 1, 2, 3), mw::MeshObject("o", kTriangle, kOneFace)}), model)
          .ok());
  ASSERT_FALSE(
      Load(mw::File(3, {mw::Material("new", "", 0, 0, 0), mw::MeshObject("o", kTriangle, {{0, 0, 9}})}), model).ok());
  EXPECT_EQ(model.object_count, 0);
  EXPECT_TRUE(model.objects.empty());
  ASSERT_EQ(model.material_count, 1);
  EXPECT_EQ(model.materials[0].name, "keep");
}

// ---- Versions, materials, axes, reloads ----

TEST(Model3dsLoad, VersionAboveThreeWarnsOnceAndLoads) {
  const fs::path path = DebianModel("assimp-testmodels", (kAssimp3ds / "test1.3ds").string());
  REQUIRE_FILE(path);
  std::vector<uint8_t> bytes = Slurp(path);
  ASSERT_EQ(bytes[6], 0x02);  // the version chunk comes first, its value at byte 12
  for (uint32_t version : {2u, 3u, 4u, 10u}) {
    PutU32(bytes, 12, version);
    vl::Model model;
    auto r = Load(bytes, model);
    ASSERT_TRUE(r.ok()) << r.error().ToString();
    EXPECT_EQ(r->version, version);
    EXPECT_EQ(model.object_count, 9);
    if (version > 3)
      EXPECT_EQ(r->warnings, std::vector<std::string>{"This 3DS file is over version 3 so it may load incorrectly"});
    else EXPECT_TRUE(r->warnings.empty());
  }
  mw::Chunk main(0x4D4D);
  main.Add(mw::Chunk(0x3D3D).Add(mw::MeshObject("o", kTriangle, kOneFace)));
  vl::Model model;
  auto r = Load(main.Bytes(), model);
  ASSERT_TRUE(r.ok());
  EXPECT_FALSE(r->version.has_value());
}

TEST(Model3dsLoad, MaterialsAreMatchedByExactName) {
  const auto bytes = mw::File(3, {
                                     mw::Material("plain", "", 10, 20, 30),
                                     mw::Material("wood", "WOOD.JPG", 200, 100, 50),
                                     mw::MeshObject("untextured", kTriangle, kOneFace, {}, "plain"),
                                     mw::MeshObject("textured", kTriangle, kOneFace, {}, "wood"),
                                     mw::MeshObject("unmatched", kTriangle, kOneFace, {}, "Wood"),
                                     mw::MeshObject("none given", kTriangle, kOneFace),
                                 });
  vl::Model model;
  ASSERT_TRUE(Load(bytes, model).ok());
  ASSERT_EQ(model.object_count, 4);
  ASSERT_EQ(model.material_count, 2);
  EXPECT_EQ(model.materials[1].texture_file, "WOOD.JPG");
  EXPECT_EQ(model.materials[1].colour[0], 200);
  EXPECT_EQ(model.materials[1].colour[2], 50);
  EXPECT_EQ(model.objects[0].material_index, 0);
  EXPECT_FALSE(model.objects[0].has_texture);
  EXPECT_EQ(model.objects[1].material_index, 1);
  EXPECT_TRUE(model.objects[1].has_texture);
  EXPECT_EQ(model.objects[2].material_index, -1);  // names are case-sensitive
  EXPECT_EQ(model.objects[3].material_index, 0);

  // With no materials at all the index keeps its cleared value.
  vl::Model bare;
  ASSERT_TRUE(Load(mw::File(3, {mw::MeshObject("o", kTriangle, kOneFace, {}, "ghost")}), bare).ok());
  EXPECT_EQ(bare.objects[0].material_index, 0);
}

TEST(Model3dsLoad, ColourChunksFloatFormAndGamma) {
  mw::Chunk float_colour(0xAFFF);
  float_colour.Add(mw::Chunk(0xA000).Str("f"));
  float_colour.Add(mw::Chunk(0xA020).Add(mw::Chunk(0x0010).F32(1.0f).F32(0.5f).F32(-2.0f)));
  mw::Chunk with_gamma(0xAFFF);
  with_gamma.Add(mw::Chunk(0xA000).Str("g"));
  with_gamma.Add(
      mw::Chunk(0xA020).Add(mw::Chunk(0x0011).Byte(9).Byte(8).Byte(7)).Add(mw::Chunk(0x0012).Byte(1).Byte(1).Byte(1)));
  vl::Model model;
  ASSERT_TRUE(Load(mw::File(3, {float_colour, with_gamma}), model).ok());
  ASSERT_EQ(model.material_count, 2);
  EXPECT_EQ(std::vector<int>(model.materials[0].colour, model.materials[0].colour + 3),
            (std::vector<int>{255, 128, 0}));
  EXPECT_EQ(std::vector<int>(model.materials[1].colour, model.materials[1].colour + 3), (std::vector<int>{9, 8, 7}));
}

TEST(Model3dsLoad, VerticesAreTurnedToTheScenesAxesAndLongNamesCut) {
  vl::Model model;
  const std::string long_name(300, 'n');
  ASSERT_TRUE(Load(mw::File(3, {mw::MeshObject(long_name, {{1, 2, 3}, {0, 0, 0}, {5, 0, 0}}, kOneFace)}), model).ok());
  const auto& v = model.objects[0].vertices;
  EXPECT_EQ(v[0], 1.0f);
  EXPECT_EQ(v[1], 3.0f);
  EXPECT_EQ(v[2], -2.0f);
  EXPECT_EQ(model.objects[0].name, std::string(vl::kModelNameMax, 'n'));
}

TEST(Model3dsLoad, ReloadOverwritesObjectsAndMaterialsAccumulate) {
  vl::Model model;
  ASSERT_TRUE(Load(mw::File(3, {mw::Material("shared", "first.jpg", 1, 1, 1), mw::MeshObject("a", kTriangle, kOneFace),
                                mw::MeshObject("b", kTriangle, kOneFace)}),
                   model)
                  .ok());
  ASSERT_TRUE(Load(mw::File(3, {mw::Material("shared", "", 2, 2, 2), mw::Material("own", "", 3, 3, 3),
                                mw::MeshObject("c", kTriangle, kOneFace, {}, "shared"),
                                mw::MeshObject("d", kTriangle, kOneFace, {}, "own")}),
                   model)
                  .ok());
  EXPECT_EQ(model.object_count, 2);
  EXPECT_EQ(model.objects[0].name, "c");
  EXPECT_EQ(model.material_count, 3);
  EXPECT_EQ(model.objects[0].material_index, 0);  // the older material of that name wins
  EXPECT_TRUE(model.objects[0].has_texture);
  EXPECT_EQ(model.objects[1].material_index, 2);
}

// ---- Real files from other exporters ----

TEST(Model3dsRealFiles, MultipleObjectsAndMaterialsWithTextures) {
  const fs::path path = DebianModel("assimp-testmodels", (kAssimp3ds / "test1.3ds").string());
  REQUIRE_FILE(path);
  vl::Model model;
  auto r = vl::Import3ds(path, model);
  ASSERT_TRUE(r.ok()) << r.error().ToString();
  EXPECT_EQ(r->version, 3u);
  ASSERT_EQ(model.object_count, 9);
  ASSERT_EQ(model.material_count, 3);
  EXPECT_EQ(model.materials[1].name, "1 - Default");
  EXPECT_EQ(model.materials[1].texture_file, "CWALL02.JPG");
  std::vector<int> indices;
  for (const auto& o : model.objects) {
    indices.push_back(o.material_index);
    EXPECT_TRUE(o.has_texture);
    EXPECT_EQ(o.vertex_count, 32);
    EXPECT_EQ(o.uv_count, 32);
    EXPECT_EQ(o.face_count, 12);
  }
  EXPECT_EQ(indices, (std::vector<int>{0, 1, 1, 2, 2, 2, 1, 1, 0}));
  EXPECT_EQ(model.objects[8].name, "Box10");
}

TEST(Model3dsRealFiles, EditorDataWithoutMeshVersionKeepsItsFirstChunk) {
  const fs::path cube = DebianModel("glmark2-data", (kGlmark / "cube.3ds").string());
  const fs::path asteroid = DebianModel("glmark2-data", (kGlmark / "asteroid-high.3ds").string());
  REQUIRE_FILE(cube);
  REQUIRE_FILE(asteroid);
  vl::Model model;
  ASSERT_TRUE(vl::Import3ds(cube, model).ok());
  ASSERT_EQ(model.material_count, 1);  // the material is the editor data's first chunk
  EXPECT_EQ(model.materials[0].texture_file, "crate-base.b");
  ASSERT_EQ(model.object_count, 1);
  EXPECT_TRUE(model.objects[0].has_texture);
  EXPECT_EQ(model.objects[0].uv_count, 20);  // texture coordinates come after the faces here

  vl::Model big;
  ASSERT_TRUE(vl::Import3ds(asteroid, big).ok());  // here the first chunk is the only object
  ASSERT_EQ(big.object_count, 1);
  const vl::ModelObject& o = big.objects[0];
  EXPECT_EQ(o.face_count, 48000);
  EXPECT_EQ(o.vertex_count, 24002);
  for (size_t v = 0; v < static_cast<size_t>(o.vertex_count); ++v) {
    const float* n = &o.normals[3 * v];
    ASSERT_NEAR(std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]), 1.0f, 1e-5f) << "vertex " << v;
  }
}

// ---- Normals ----

TEST(Model3dsNormals, CounterClockwiseFacesPointOutAndUnusedVerticesGetAUnitVector) {
  // A square in the file's ground plane, counter-clockwise seen from above, plus a loose vertex.
  vl::Model model;
  ASSERT_TRUE(Load(mw::File(3, {mw::MeshObject("floor", {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}, {7, 7, 7}},
                                               {{0, 1, 2}, {0, 2, 3}})}),
                   model)
                  .ok());
  const auto& n = model.objects[0].normals;
  for (int v = 0; v < 5; ++v) {
    EXPECT_NEAR(n[3 * v], 0.0f, 1e-6f) << v;
    EXPECT_NEAR(n[3 * v + 1], 1.0f, 1e-6f) << v;  // file z up is the scene's y up
    EXPECT_NEAR(n[3 * v + 2], 0.0f, 1e-6f) << v;
  }
}

TEST(Model3dsNormals, LinearAccumulationAgreesWithThePerVertexScan) {
  for (const char* name : {"horse.3ds", "cat.3ds", "asteroid-low.3ds"}) {
    const fs::path path = DebianModel("glmark2-data", (kGlmark / name).string());
    REQUIRE_FILE(path);
    vl::Model model;
    ASSERT_TRUE(vl::Import3ds(path, model).ok()) << name;
    for (vl::ModelObject& o : model.objects) {
      vl::ModelObject scanned = o;
      vl::ComputeVertexNormalsQuadratic(scanned);
      ASSERT_EQ(scanned.normals.size(), o.normals.size());
      for (size_t i = 0; i < o.normals.size(); ++i)
        ASSERT_NEAR(o.normals[i], scanned.normals[i], 1e-6f) << name << " " << i;
    }
  }
  // Degenerate faces repeating a corner count once for that vertex, in both.
  vl::ModelObject o;
  o.vertex_count = 4;
  o.vertices = {0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1};
  o.faces = {{0, 1, 2}, {0, 0, 3}, {1, 3, 2}};
  o.face_count = 3;
  vl::ModelObject scanned = o;
  vl::ComputeVertexNormals(o);
  vl::ComputeVertexNormalsQuadratic(scanned);
  for (size_t i = 0; i < o.normals.size(); ++i) EXPECT_EQ(o.normals[i], scanned.normals[i]) << i;
}

TEST(Model3dsDefaultAsset, TheBundledModelLoadsTextured) {
  const auto path = vl::ResolveAssetPath("model/Tardis.3ds", VL_BIN_DIR);
  ASSERT_TRUE(path.has_value()) << "build/bin/model/Tardis.3ds was not generated";
  EXPECT_TRUE(vl::ResolveAssetPath("Textures/TardisImages3.jpg", VL_BIN_DIR).has_value());
  vl::Model model;
  auto r = vl::Import3ds(*path, model);
  ASSERT_TRUE(r.ok()) << r.error().ToString();
  EXPECT_TRUE(r->warnings.empty());
  ASSERT_EQ(model.object_count, 3);
  EXPECT_TRUE(model.objects[0].has_texture);
  EXPECT_EQ(model.objects[0].uv_count, model.objects[0].vertex_count);
  EXPECT_EQ(model.objects[2].material_index, 1);
  EXPECT_FALSE(model.objects[2].has_texture);
}

}  // namespace
