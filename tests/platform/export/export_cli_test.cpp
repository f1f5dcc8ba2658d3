// vantaloop-cli export as a user runs it: the preset's own format by default and the extension
// rule, --format, --loops, --no-preroll, progress on a terminal and in a log, exit codes, and no
// partial file when writing fails.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>

#include "engine/scene_state.h"
#include "engine/sequence_text.h"
#include "engine/sequence_writer.h"
#include "tests/platform/export/export_probe.h"

namespace {

namespace fs = std::filesystem;
using vl::test::Probe;
using vl::test::Quoted;
using vl::test::RunCommand;

struct CliRun {
  int code;
  std::string out, err;
};

class ExportCliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("vl_export_cli_" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    // A six-frame loop with the trail: a square-ish "VL" turning once round.
    auto scene = std::make_unique<vl::engine::SceneState>();
    const std::string text = R"(version 6
[settings]
text_string = "VL"
text_font_face = "Liberation Sans"
text_on = 2
trail_on = 2
trail_tint_r = 1
trail_tint_g = 0.7
trail_tint_b = 0.3
[initial]
text_pos_z = -250
text_scale_x = 70
text_scale_y = 70
background_b = 90
[key]
frame = 0
[key]
frame = 6
text_rot_z = 360
)";
    ASSERT_FALSE(vl::engine::CompileSequence(text, "loop", *scene));
    loop_ = (dir_ / "loop.lqf").string();
    ASSERT_FALSE(vl::engine::WriteSequenceFile(*scene, loop_));
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Runs `prefix vantaloop-cli --library BIN export ARGS`; `prefix` may set limits or a terminal.
  CliRun Export(const std::string& args, const std::string& prefix = "") {
    const std::string out = (dir_ / "stdout").string(), err = (dir_ / "stderr").string();
    const std::string cli = std::string(VL_BIN_DIR) + "/vantaloop-cli --library " + VL_BIN_DIR + " export " + args;
    const std::string cmd =
        prefix.empty() ? cli + " >" + out + " 2>" + err : prefix + " " + Quoted(cli) + " >" + out + " 2>" + err;
    const int status = std::system(("cd " + dir_.string() + " && " + cmd).c_str());
    auto slurp = [](const std::string& p) {
      std::ifstream in(p, std::ios::binary);
      return std::string(std::istreambuf_iterator<char>(in), {});
    };
    CliRun r{WEXITSTATUS(status), slurp(out), slurp(err)};
    fs::remove(out);
    fs::remove(err);
    return r;
  }

  std::vector<std::string> Files() {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir_)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  fs::path dir_;
  std::string loop_;
};

TEST_F(ExportCliTest, WritesThePresetsOwnFormatWithProgressLines) {
  CliRun r = Export("loop.lqf svcd.mpg --preset 5");
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "svcd.mpg: 6 frames (6 a cycle) of 480 x 480, 30000/1001 fps, mpeg2video with mp2 sound\n");
  // Not a terminal: plain lines, the preroll first, the last frame always reported.
  EXPECT_NE(r.err.find("export: playing the loop through before recording: 6 of 6\n"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("export: frame 6 of 6,"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find('\r'), std::string::npos);
  auto probe = Probe((dir_ / "svcd.mpg").string());
  EXPECT_EQ(probe["codec_name"], "mpeg2video");
  EXPECT_EQ(probe["r_frame_rate"], "30000/1001");
  EXPECT_EQ(probe["nb_read_frames"], "6");

  // Two cycles without the preroll: twice the frames, and no preroll line.
  r = Export("loop.lqf twice.gif --preset 13 --format gif --loops 2 --no-preroll --fast");
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.err.find("through once"), std::string::npos);
  probe = Probe((dir_ / "twice.gif").string());
  EXPECT_EQ(probe["nb_read_frames"], "12");
  EXPECT_EQ(probe["width"], "176");
  EXPECT_EQ(probe["height"], "28");

  // On a terminal: one bar redrawn in place.
  if (RunCommand("command -v script").empty()) GTEST_SKIP() << "no script(1) for a terminal";
  r = Export("loop.lqf bar.avi --preset 0", "script -qec");
  ASSERT_EQ(r.code, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("\r\033[Kexport: [##############################] frame 6 of 6"), std::string::npos) << r.out;
}

TEST_F(ExportCliTest, TheSameFramesAsAPngSequence) {
  // The lossless file and the PNG sequence of one export decode to the same pixels.
  ASSERT_EQ(Export("loop.lqf lossless.mkv --preset 3 --format mkv").code, 0);
  CliRun r = Export("loop.lqf frames --preset 3 --format png");
  ASSERT_EQ(r.code, 0) << r.err;
  ASSERT_TRUE(fs::is_regular_file(dir_ / "frames" / "frame_00005.png"));
  EXPECT_FALSE(fs::exists(dir_ / "frames" / "frame_00006.png"));
  const std::string sums = " -f framemd5 -pix_fmt rgb24 - 2>/dev/null | grep -v '^#' | awk -F, '{print $6}'";
  const std::string from_mkv = RunCommand("ffmpeg -v error -i " + (dir_ / "lossless.mkv").string() + sums);
  const std::string from_png = RunCommand("ffmpeg -v error -i " + (dir_ / "frames" / "frame_%05d.png").string() + sums);
  EXPECT_EQ(std::count(from_mkv.begin(), from_mkv.end(), '\n'), 6);
  EXPECT_EQ(from_mkv, from_png);
}

TEST_F(ExportCliTest, RefusalsAndFailuresSayWhyAndLeaveNothing) {
  struct Case {
    std::string args;
    int code;
    std::string message;
  };
  const Case cases[] = {
      {"loop.lqf x.mp4 --preset 0", 2, "x.mp4: a DV AVI PAL file (preset 0's own format) must end in .avi, not .mp4"},
      {"loop.lqf x --preset 15", 2, "must end in .mp4, the name has no extension"},
      {"loop.lqf x.avi --preset 15 --format avi", 2, "preset 15 (H.264 HD) is not written as avi"},
      {"loop.lqf x.mov --preset 15 --format mov", 2, "--format wants mp4, avi, mpg, 3gp, mkv, png, webp, gif or dvd"},
      {"loop.lqf x.avi", 2, "--preset is required"},
      {"loop.lqf x.avi --preset 17", 2, "preset 17 does not exist"},
      {"loop.lqf x.avi --preset 0 --loops 0", 1, "number of loops"},
      {"gone.lqf x.avi --preset 0", 1, "gone.lqf: no such file"},
      {"loop.lqf no/such/x.avi --preset 0", 1, "no/such/x.avi: the folder"},
  };
  for (const Case& c : cases) {
    const CliRun r = Export(c.args);
    EXPECT_EQ(r.code, c.code) << c.args << "\n" << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << c.args << "\n" << r.err;
    EXPECT_TRUE(r.out.empty()) << c.args;
  }
  EXPECT_EQ(Files(), std::vector<std::string>{"loop.lqf"});

  // The disk fills up half way (a 16 KB file-size limit): a failure naming the file, and neither
  // the file nor a partial one stays. An earlier file of that name is kept.
  { std::ofstream(dir_ / "big.mkv") << "earlier"; }
  const CliRun r = Export("loop.lqf big.mkv --preset 0 --format mkv", "bash -c 'ulimit -f 16; exec $0' ");
  EXPECT_EQ(r.code, 1) << r.err;
  EXPECT_NE(r.err.find("vantaloop-cli: export: big.mkv: "), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("File too large"), std::string::npos) << r.err;
  EXPECT_EQ(Files(), (std::vector<std::string>{"big.mkv", "loop.lqf"}));
  EXPECT_EQ(fs::file_size(dir_ / "big.mkv"), 7u);
}

}  // namespace
