// Exported files as the people who receive them meet them: particle loops that repeat exactly,
// a first frame from a fresh start that shows the loop's picture, frames drawn for the shape the
// file declares, sound where the disc and editing formats need it, and DVD-ready program streams,
// each read back by the tool its users have (mediainfo, vcdimager, dvdauthor).
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>

#include "engine/asset_paths.h"
#include "engine/scene_state.h"
#include "engine/sequence_text.h"
#include "engine/sequence_writer.h"
#include "export/export_probe.h"
#include "platform/export/loop_export.h"
#include "render/gl_test_context.h"

namespace vl::exporting {
namespace {

namespace fs = std::filesystem;
using test::MeanDifference;
using test::MeanDifferenceRgba;
using test::Probe;
using test::Quoted;
using test::RunCommand;

class ExportConsumersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    if (!headless::HeadlessContext::Create(16, 16, &error)) {
      if (test::RunningInCi()) FAIL() << error;
      GTEST_SKIP() << "no headless OpenGL context (" << error << ")";
    }
    SetProgramFolder(VL_BIN_DIR);
    dir_ = fs::temp_directory_path() / ("vl_consumers_" + std::to_string(::getpid()) + "_" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string WriteLoop(const std::string& name, const std::string& text) {
    const std::string path = (dir_ / (name + ".lqf")).string();
    auto scene = std::make_unique<engine::SceneState>();
    auto status = engine::CompileSequence(text, name, *scene);
    EXPECT_FALSE(status) << status->ToString();
    auto written = engine::WriteSequenceFile(*scene, path);
    EXPECT_FALSE(written) << written->ToString();
    return path;
  }

  ExportResult Export(ExportRequest request, std::vector<std::vector<uint8_t>>* frames = nullptr) {
    ExportObserver observer;
    observer.frame_drawn = [frames](int, const headless::Image& image) {
      if (frames) frames->push_back(image.rgba);
    };
    observer.warning = [](const std::string& line) { ADD_FAILURE() << line; };
    return ExportLoop(request, observer);
  }

  fs::path dir_;
};

// Embers living longer than the 40-frame cycle, turning with the loop, in a pool large enough for
// every ember the emitter asks for (about 150 a frame).
std::string ParticleLoop() {
  return R"(version 6
[settings]
text_string = ""
text_on = 0
particle_count = 16000
particles_on = 2
particle_texture_mode = 2
particle_texture_name = "Particles/particle.tga"
[initial]
particle_emitter_x = 40
particle_emitter_y = 10
particle_emitter_z = 10
particle_velocity_y = 50
particle_velocity_spread_x = 30
particle_velocity_spread_y = 30
particle_velocity_spread_z = 20
particle_time_scale = 25
particle_life_min = 25
particle_life_max = 45
particle_colour_a_r = 240
particle_colour_a_g = 185
particle_colour_a_b = 158
[key]
frame = 0
[key]
frame = 20
particle_rot_z = 20
[key]
frame = 40
particle_rot_z = 0
)";
}

// Each recorded cycle replays the same random sequence from the same particles: two recorded
// cycles are the same pictures, so the file played round flows from its last frame into its
// first as from one frame to the next.
TEST_F(ExportConsumersTest, ParticleLoopsRepeatExactly) {
  const std::string loop = WriteLoop("embers", ParticleLoop());
  std::vector<std::vector<uint8_t>> frames;
  const ExportResult r = Export(ExportRequest{loop, (dir_ / "embers.mkv").string(), 14, ExportFormat::kMkv, 2, true}, &frames);
  ASSERT_TRUE(r.ok) << r.error;
  ASSERT_EQ(frames.size(), 80u);
  int differing = 0;
  for (size_t k = 0; k < 40; ++k) differing += frames[k] != frames[k + 40];
  EXPECT_EQ(differing, 0) << "frames of the second cycle unlike the first's";
  double largest_step = 0;
  for (size_t k = 0; k + 1 < 40; ++k) largest_step = std::max(largest_step, MeanDifferenceRgba(frames[k], frames[k + 1]));
  EXPECT_GT(largest_step, 0.05) << "the particles should move, or the test proves nothing";
  EXPECT_LE(MeanDifferenceRgba(frames[39], frames[0]), largest_step * 1.1);
}

std::string PhotoLoop() {
  return R"(version 6
[settings]
text_string = ""
photo_on = 2
photo_lit = 0
photo_a_name = "Images/video-girl.jpg"
photo_b_name = "Images/sleeping-dog.jpg"
[initial]
photo_mix = 255
background_b = 30
[key]
frame = 0
[key]
frame = 12
photo_mix = 0
wave_phase = 360
[key]
frame = 24
photo_mix = 255
wave_phase = 0
)";
}

// From a fresh start nothing was drawn before frame 0, so what follows the loop a frame late (the
// photos' fade) must start as the loop's own: frame 0 shows the photo as frame 1 does.
TEST_F(ExportConsumersTest, AFreshStartShowsThePhotoOnItsFirstFrame) {
  const std::string loop = WriteLoop("photos", PhotoLoop());
  std::vector<std::vector<uint8_t>> cold, warm;
  ASSERT_TRUE(Export(ExportRequest{loop, (dir_ / "cold.mkv").string(), 14, ExportFormat::kMkv, 1, false}, &cold).ok);
  ASSERT_TRUE(Export(ExportRequest{loop, (dir_ / "warm.mkv").string(), 14, ExportFormat::kMkv, 1, true}, &warm).ok);
  ASSERT_EQ(cold.size(), 24u);
  ASSERT_EQ(warm.size(), 24u);
  const double step = MeanDifferenceRgba(cold[1], cold[2]);
  EXPECT_LT(MeanDifferenceRgba(cold[0], cold[1]), step + 2) << "frame 0 unlike frame 1";
  EXPECT_EQ(cold[5], warm[5]) << "after the first frames the fresh start and the preroll agree";
}

}  // namespace
}  // namespace vl::exporting
