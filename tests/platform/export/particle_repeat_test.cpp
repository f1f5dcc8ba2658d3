// Bundled particle loops exported with preroll repeat exactly: played round, the file's first
// frame is the one that follows its last, byte for byte in a lossless PNG sequence, full particle
// pools included, after a preroll of a few cycles.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>

#include "engine/asset_paths.h"
#include "engine/scene_state.h"
#include "engine/sequence_text.h"
#include "engine/sequence_writer.h"
#include "platform/export/loop_export.h"
#include "tests/platform/export/export_fixture.h"
#include "tests/render/gl_test_context.h"

namespace vl::exporting {
namespace {

namespace fs = std::filesystem;

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Whether a loop source switches on the particles or the vortex fountain.
bool HasParticles(const std::string& text) {
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line))
    for (const char* key : {"particles_on = ", "vortex_on = "})
      if (line.rfind(key, 0) == 0 && line.substr(std::string(key).size()) != "0") return true;
  return false;
}

class ParticleRepeatTest : public test::ExportFixture {
 protected:
  ParticleRepeatTest() : ExportFixture("vl_particle_repeat_") {}
};

// Two recorded cycles: the second is what the file shows when it plays round, so its first frame
// must equal the file's first (the embers' seam was 5.75 levels against steps of 0.28, and their
// preroll ran to its cap of 10 cycles without settling).
TEST_F(ParticleRepeatTest, BundledParticleLoopsRepeatExactlyAfterAFewCycles) {
  int tested = 0;
  for (const auto& entry : fs::directory_iterator(fs::path(VL_TEST_DATA) / ".." / ".." / "res" / "loops")) {
    const std::string text = ReadAll(entry.path());
    if (entry.path().extension() != ".txt" || !HasParticles(text)) continue;
    const std::string name = entry.path().stem().string();
    SCOPED_TRACE(name);
    ++tested;
    std::vector<std::vector<uint8_t>> frames;
    ExportObserver observer;
    observer.frame_drawn = [&frames](int, const headless::Image& image) { frames.push_back(image.rgba); };
    observer.warning = [](const std::string& line) { ADD_FAILURE() << line; };
    const fs::path out = dir_ / (name + "_frames");
    ExportRequest request;
    request.loop_path = WriteLoop(name, text);
    request.out_path = out.string();
    request.preset = 14;
    request.format = ExportFormat::kPng;
    request.loops = 2;
    const ExportResult r = ExportLoop(request, observer);
    ASSERT_TRUE(r.ok) << r.error;
    const size_t end = static_cast<size_t>(r.loop_frames);
    ASSERT_EQ(frames.size(), 2 * end);
    std::printf("[ figures  ] %s: %zu frames a cycle, preroll of %d cycles in %.1f s\n", name.c_str(), end,
                r.preroll_cycles, r.preroll_s);

    char next[32];
    std::snprintf(next, sizeof next, "frame_%05zu.png", end);
    const std::string first = ReadAll(out / "frame_00000.png");
    ASSERT_FALSE(first.empty());
    EXPECT_EQ(first, ReadAll(out / next)) << "the frame after the last is not the first";
    int differing = 0;
    for (size_t k = 0; k < end; ++k) differing += frames[k] != frames[k + end];
    EXPECT_EQ(differing, 0) << "frames of the second cycle unlike the first's";
    int moving = 0;
    for (size_t k = 0; k + 1 < end; ++k) moving += frames[k] != frames[k + 1];
    EXPECT_GT(moving, static_cast<int>(end) / 2) << "the loop should move, or the test proves nothing";
    // Enough cycles for every particle to die and for the pool's births to settle; no more than
    // a handful for these loops, whose particles live shorter than a cycle.
    EXPECT_GE(r.preroll_cycles, 2);
    EXPECT_LE(r.preroll_cycles, 6);
    fs::remove_all(out);
  }
  EXPECT_GE(tested, 3) << "embers, fountain and gilded have particles";
}

// A small pool on a 40-frame loop at a given particle clock and life.
std::string SlowLoop(int time_scale, int life) {
  return "version 6\n[settings]\ntext_string = \"\"\ntext_on = 0\nparticle_count = 60\nparticles_on = 2\n"
         "particle_texture_mode = 2\nparticle_texture_name = \"Particles/particle.tga\"\n[initial]\n"
         "particle_emitter_x = 40\nparticle_velocity_y = 50\nparticle_velocity_spread_x = 30\n"
         "particle_time_scale = " +
         std::to_string(time_scale) + "\nparticle_life_min = " + std::to_string(life) +
         "\nparticle_life_max = " + std::to_string(life) + "\n[key]\nframe = 0\n[key]\nframe = 40\n";
}

// Particles held still repeat at once; particles outliving the preroll's 4000 frames stop it
// there with a warning instead of playing on without end.
TEST_F(ParticleRepeatTest, ThePrerollEndsWhereParticlesStandStillOrOutliveIt) {
  std::vector<std::string> warnings;
  ExportObserver observer;
  observer.warning = [&warnings](const std::string& line) { warnings.push_back(line); };
  ExportRequest request;
  request.preset = 14;
  request.format = ExportFormat::kMkv;
  request.loop_path = WriteLoop("still", SlowLoop(0, 20));
  request.out_path = (dir_ / "still.mkv").string();
  ExportResult r = ExportLoop(request, observer);
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_LE(r.preroll_cycles, 3);
  EXPECT_TRUE(warnings.empty()) << warnings.front();

  warnings.clear();
  request.loop_path = WriteLoop("slow", SlowLoop(1, 200));  // 10000 frames of life
  request.out_path = (dir_ / "slow.mkv").string();
  r = ExportLoop(request, observer);
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.preroll_cycles, 100);
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_NE(warnings[0].find("may not repeat exactly"), std::string::npos) << warnings[0];
}

}  // namespace
}  // namespace vl::exporting
