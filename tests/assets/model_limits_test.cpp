// 3DS files built to cost the loader: millions of empty chunks, tens of thousands of materials,
// files that are not files. Each load runs in a measured child process.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "assets/model_3ds.h"
#include "tests/assets/model_writer.h"
#include "tests/hostile_files.h"
#include "tests/measured_child.h"

namespace {

namespace fs = std::filesystem;
namespace mw = vl::model_writer;
using vl::testing::ChildUsage;
using vl::testing::RunMeasured;

constexpr uint64_t kMegabyte = uint64_t{1} << 20;

fs::path TempPath(const std::string& name) {
  return fs::temp_directory_path() / ("vl_model_limits_" + std::to_string(::getpid()) + "_" + name);
}

// Loads the file in a child with 1 GB of address space to spare; the report is the error, or
// "loaded" with the object count.
ChildUsage ImportInChild(const fs::path& path, int timeout_seconds = 60) {
  return RunMeasured(
      [&](std::string& report) {
        vl::Model model;
        auto r = vl::Import3ds(path, model);
        report = r ? "loaded " + std::to_string(model.object_count) : r.error().ToString();
        return r ? 0 : 1;
      },
      /*extra_address_space=*/uint64_t{1} << 30, timeout_seconds);
}

TEST(Model3dsLimits, MillionsOfEmptyChunksAreRefusedWithAMessageNotAnAbort) {
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
    const char* message;
  };
  // 35 MB of empty objects and 60 MB of empty materials; each used to cost 20-25 times its size
  // and end in an uncaught allocation failure.
  const Case cases[] = {
      {"objects.3ds", vl::hostile::EmptyObjects3ds(5'000'000), "more than 65535 objects in one file"},
      {"materials.3ds", vl::hostile::EmptyMaterials3ds(10'000'000), "more than 65535 materials in one file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path path = TempPath(c.name);
    ASSERT_TRUE(vl::hostile::WriteBytes(path, c.bytes));
    const ChildUsage run = ImportInChild(path);
    fs::remove(path);
    ASSERT_TRUE(run.exited) << run.Describe();
    EXPECT_EQ(run.exit_code, 1) << run.Describe();
    EXPECT_NE(run.report.find(c.message), std::string::npos) << run.Describe();
    // The file itself is read whole; beyond that, little.
    EXPECT_LE(run.growth(), c.bytes.size() + 64 * kMegabyte) << run.Describe();
  }
}

TEST(Model3dsLimits, RunningOutOfMemoryFailsTheLoad) {
  if (!vl::testing::kAddressSpaceLimits) GTEST_SKIP() << "no address-space limits under a sanitizer";
  const auto bytes = vl::hostile::ManyMaterials3ds(20'000);
  vl::Model model;
  model.materials.resize(3);  // loaded before: must survive the failure
  model.material_count = 3;
  const ChildUsage run = RunMeasured(
      [&](std::string& report) {
        // Memory runs out part way: the loader needs about 2 MB for these materials.
        vl::testing::ExhaustMemory(/*spare=*/64 * 1024);
        auto r = vl::Import3dsBytes(bytes, "tight.3ds", model);
        report = r ? "loaded" : r.error().ToString();
        return r ? 0 : (model.material_count == 3 && model.materials.size() == 3 ? 1 : 2);
      },
      /*extra_address_space=*/16 * kMegabyte);
  ASSERT_TRUE(run.exited) << run.Describe();
  EXPECT_EQ(run.exit_code, 1) << run.Describe();
  EXPECT_EQ(run.report, "tight.3ds: not enough memory to load this model") << run.Describe();
}

TEST(Model3dsLimits, FaceMaterialsAreMatchedWithoutScanningEveryMaterial) {
  // 65,535 materials and as many face-material chunks naming them from the last to the first.
  const auto bytes = vl::hostile::ManyMaterials3ds(65'535);
  vl::Model model;
  const ChildUsage run = RunMeasured(
      [&](std::string& report) {
        auto r = vl::Import3dsBytes(bytes, "materials.3ds", model);
        if (!r) {
          report = r.error().ToString();
          return 1;
        }
        const vl::ModelObject& o = model.objects.at(0);
        report = std::to_string(model.material_count) + " " + std::to_string(o.material_index) + " " +
                 (o.has_texture ? "textured" : "plain");
        return 0;
      },
      /*extra_address_space=*/uint64_t{1} << 30);
  ASSERT_TRUE(run.exited) << run.Describe();
  // The last face material names m0; the first named the textured last material.
  EXPECT_EQ(run.report, "65535 0 textured") << run.Describe();
  // A scan of every material per face material takes over ten seconds here.
  EXPECT_LE(run.cpu_seconds, 2.0) << run.Describe();
}

TEST(Model3dsLimits, FirstMaterialOfANameWinsAndEarlierLoadsComeFirst) {
  const std::vector<mw::Vertex> triangle = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}};
  const std::vector<mw::Face> face = {{0, 1, 2}};
  const auto bytes = vl::model_writer::File(3, {
                                                   mw::Material("twin", "", 1, 1, 1),
                                                   mw::Material("twin", "TWIN.JPG", 2, 2, 2),
                                                   mw::MeshObject("o", triangle, face, {}, "twin"),
                                                   mw::Material("late", "LATE.JPG", 3, 3, 3),
                                                   mw::MeshObject("p", triangle, face, {}, "late"),
                                               });
  vl::Model model;
  ASSERT_TRUE(vl::Import3dsBytes(bytes, "twins.3ds", model).ok());
  EXPECT_EQ(model.objects[0].material_index, 0);
  EXPECT_FALSE(model.objects[0].has_texture);
  EXPECT_EQ(model.objects[1].material_index, 2);
  EXPECT_TRUE(model.objects[1].has_texture);
  // Loaded again into the same slot: the first load's materials are found first.
  ASSERT_TRUE(vl::Import3dsBytes(bytes, "twins.3ds", model).ok());
  EXPECT_EQ(model.material_count, 6);
  EXPECT_EQ(model.objects[1].material_index, 2);
}

TEST(Model3dsLimits, AnEmptyDiffuseChunkIsAWarningNotStrayBytes) {
  mw::Chunk main(0x4D4D);
  main.Add(mw::Chunk(0x3D3D)
               .Add(mw::Chunk(0xAFFF).Add(mw::Chunk(0xA000).Str("hollow")).Add(mw::Chunk(0xA020)))
               .Add(mw::MeshObject("o", {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, {{0, 1, 2}}, {}, "hollow")));
  vl::Model model;
  auto r = vl::Import3dsBytes(main.Bytes(), "hollow.3ds", model);
  ASSERT_TRUE(r.ok()) << r.error().ToString();
  ASSERT_EQ(r->warnings.size(), 1u);
  EXPECT_NE(r->warnings[0].find("material \"hollow\""), std::string::npos) << r->warnings[0];
  EXPECT_NE(r->warnings[0].find("diffuse colour chunk is empty"), std::string::npos) << r->warnings[0];
  EXPECT_EQ(model.materials[0].colour[0], 0);
  EXPECT_EQ(model.objects[0].material_index, 0);
}

TEST(Model3dsLimits, OnlyRegularFilesAreOpened) {
  const fs::path fifo = TempPath("fifo.3ds");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const fs::path folder = TempPath("folder.3ds");
  fs::create_directories(folder);
  struct Case {
    fs::path path;
    const char* kind;
  };
  const Case cases[] = {{fifo, "FIFO"}, {"/dev/zero", "device"}, {folder, "folder"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path.string());
    // A FIFO used to block the load for ever and /dev/zero to be read to a gigabyte.
    const ChildUsage run = ImportInChild(c.path, /*timeout_seconds=*/10);
    ASSERT_TRUE(run.exited) << run.Describe();
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_NE(
        run.report.find("Unable to find the file: " + c.path.string() + "! (not a regular file but a " + c.kind + ")"),
        std::string::npos)
        << run.Describe();
    EXPECT_LE(run.growth(), 64 * kMegabyte) << run.Describe();
  }
  fs::remove(fifo);
  fs::remove(folder);
}

}  // namespace
