// The command-line tool as a user and the checkers run it: exit codes, stdout, stderr.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>

#include "engine/sequence_loader.h"
#include "engine/sequence_writer.h"
#include "engine/keyframes.h"
#include "vl_version.h"

namespace {

namespace fs = std::filesystem;
using namespace vl::engine;

struct CliRun {
  int code;
  std::string out, err;
};

CliRun Cli(const std::string& args) {
  const fs::path dir = fs::temp_directory_path() / ("vl_cli_" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const std::string cmd = std::string(VL_BIN_DIR) + "/vantaloop-cli " + args + " >" + (dir / "out").string() + " 2>" +
                          (dir / "err").string();
  int status = std::system(cmd.c_str());
  auto slurp = [](const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  CliRun r{WEXITSTATUS(status), slurp(dir / "out"), slurp(dir / "err")};
  fs::remove_all(dir);
  return r;
}

class CliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("vl_cli_files_" + std::to_string(::getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  // A loop with keys at the given frames; text_rot_x reaches `value` at the last key.
  std::string Loop(const std::string& name, std::vector<int> frames, float value, float version = 6.0f,
                   const std::string& text = "Moxtrel") {
    auto scene = std::make_unique<SceneState>();
    ResetToLoadDefaults(*scene);
    ClearKeyframes(*scene);
    scene->settings.text_string = text;
    scene->keyframe_count = static_cast<int>(frames.size()) - 1;
    for (size_t k = 0; k < frames.size(); ++k) (*scene->keyframe_frame)[k] = frames[k];
    scene->track(Track::text_rot_x).key_values[frames.back()] = value;
    const fs::path path = dir_ / name;
    EXPECT_FALSE(WriteSequenceFile(*scene, path, version).has_value());
    return path.string();
  }
  fs::path dir_;
};

TEST_F(CliTest, DumpPrintsOneJsonObjectWithTheSlotCountRule) {
  const std::string a = Loop("a.lqf", {0, 10}, 10);
  CliRun r = Cli("dump " + a);
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out.front(), '{');
  EXPECT_NE(r.out.find("\"keyframe_frame\": [0, 10]"), std::string::npos);
  EXPECT_NE(r.out.find("\"text_rot_x\": [1,2,3,4,5,6,7,8,9,10,0,"), std::string::npos);
  EXPECT_EQ(r.out.find("\"particle_fog_near\": \""), std::string::npos);
  // 602 slots unless a key lies further on; then up to the largest key frame + 1.
  auto slots = [](const std::string& json) {
    size_t at = json.find("\"text_rot_y\": [");
    size_t end = json.find(']', at);
    return std::count(json.begin() + static_cast<long>(at), json.begin() + static_cast<long>(end), ',') + 1;
  };
  EXPECT_EQ(slots(r.out), 602);
  const std::string b = Loop("b.lqf", {0, 9999}, 1);
  CliRun two = Cli("dump " + a + " " + b);
  ASSERT_EQ(two.code, 0);
  EXPECT_EQ(slots(two.out), 10000);
}

TEST_F(CliTest, DumpWritesNonFiniteValuesAndLatin1Strings) {
  const std::string a = Loop("nan.lqf", {0, 4}, std::nanf(""), 6.0f, "caf\xE9\x80\"");
  CliRun r = Cli("dump " + a);
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("\"text_rot_x\": [\"NaN\",\"NaN\""), std::string::npos);
  EXPECT_NE(r.out.find("\"text_string\": \"caf\xC3\xA9\xC2\x80\\\"\""), std::string::npos);
  const std::string inf = Loop("inf.lqf", {0, 1}, INFINITY);
  EXPECT_NE(Cli("dump " + inf).out.find("\"text_rot_x\": [\"Infinity\""), std::string::npos);
}

TEST_F(CliTest, FailuresNameTheFileAndPrintNothingOnStdout) {
  CliRun missing = Cli("dump " + (dir_ / "missing.lqf").string());
  EXPECT_NE(missing.code, 0);
  EXPECT_TRUE(missing.out.empty());
  EXPECT_NE(missing.err.find("missing.lqf"), std::string::npos);

  const std::string good = Loop("good.lqf", {0, 10}, 1);
  fs::resize_file(good, fs::file_size(good) - 3);
  CliRun damaged = Cli("dump " + good);
  EXPECT_NE(damaged.code, 0);
  EXPECT_TRUE(damaged.out.empty());
  EXPECT_NE(damaged.err.find("good.lqf"), std::string::npos);
  EXPECT_NE(damaged.err.find("at byte"), std::string::npos);

  // One bad file among good ones fails the whole dump.
  const std::string ok = Loop("ok.lqf", {0, 10}, 1);
  EXPECT_NE(Cli("dump " + ok + " " + good).code, 0);
  EXPECT_NE(Cli("").code, 0);
  EXPECT_NE(Cli("frobnicate").code, 0);
  EXPECT_NE(Cli("dump").code, 0);
  EXPECT_EQ(Cli("--help").code, 0);
  EXPECT_EQ(Cli("dump --help").code, 0);
}

TEST_F(CliTest, ConvertAndSourceRoundTripsKeepTheDump) {
  const std::string v3 = Loop("old.lqf", {3, 40, 90}, 12.5f, 3.0f, "Old\nloop");
  const std::string converted = (dir_ / "new.lqf").string();
  CliRun conv = Cli("convert " + v3 + " " + converted);
  ASSERT_EQ(conv.code, 0) << conv.err;
  EXPECT_NE(conv.err.find("version 3"), std::string::npos);  // says how the look changes
  auto strip_version = [](std::string json) {
    json.erase(0, json.find("\"keyframe_count\""));
    return json;
  };
  EXPECT_EQ(strip_version(Cli("dump " + converted).out), strip_version(Cli("dump " + v3).out));

  const std::string src = (dir_ / "old.txt").string();
  ASSERT_EQ(Cli("decompile " + v3 + " " + src).code, 0);
  const std::string back = (dir_ / "back.lqf").string();
  CliRun comp = Cli("compile " + src + " " + back);
  ASSERT_EQ(comp.code, 0) << comp.err;
  EXPECT_EQ(Cli("dump " + back).out, Cli("dump " + v3).out);

  std::ofstream(dir_ / "broken.txt") << "version 6\n[key]\nframe = 99999\n";
  CliRun bad = Cli("compile " + (dir_ / "broken.txt").string() + " " + (dir_ / "x.lqf").string());
  EXPECT_NE(bad.code, 0);
  EXPECT_NE(bad.err.find("broken.txt"), std::string::npos);
  EXPECT_NE(bad.err.find("broken.txt: line 3, column 9: key frame must be 0 .. 9999"), std::string::npos) << bad.err;
  EXPECT_FALSE(fs::exists(dir_ / "x.lqf"));
}

TEST_F(CliTest, InfoSummarisesTheBundledLoop) {
  CliRun r = Cli("info " + std::string(VL_BIN_DIR) + "/Sequences/default.lqf");
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("Moxtrel"), std::string::npos);
  EXPECT_NE(r.out.find("version"), std::string::npos);
  EXPECT_NE(r.out.find("Images/video-girl.jpg"), std::string::npos);
  // The face the text is drawn in: the loop's own here.
  EXPECT_NE(r.out.find("  drawn in               Liberation Sans"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("is not installed"), std::string::npos) << r.out;
}

}  // namespace

namespace {

// File managers' thumbnailers ask for a size and a .png output; the library keeps its 96 x 96 JPEG.
TEST_F(CliTest, ThumbnailTakesASizeAndWritesPngForAPngName) {
  auto slurp = [](const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  auto be32 = [](const std::string& b, size_t at) {
    return (static_cast<uint32_t>(static_cast<uint8_t>(b[at])) << 24) |
           (static_cast<uint32_t>(static_cast<uint8_t>(b[at + 1])) << 16) |
           (static_cast<uint32_t>(static_cast<uint8_t>(b[at + 2])) << 8) | static_cast<uint8_t>(b[at + 3]);
  };
  const std::string loop = std::string(VL_BIN_DIR) + "/Sequences/default.lqf";
  const fs::path png = dir_ / "thumb.PNG";
  CliRun r = Cli("thumbnail --size 40 " + loop + " " + png.string());
  ASSERT_EQ(r.code, 0) << r.err;
  const std::string p = slurp(png);
  ASSERT_GE(p.size(), 24u);
  EXPECT_EQ(p.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
  EXPECT_EQ(be32(p, 16), 40u);  // IHDR width and height
  EXPECT_EQ(be32(p, 20), 40u);

  // Without --size: the same JPEG as the library's own (the build draws it the same way).
  const fs::path jpg = dir_ / "thumb.jpg";
  ASSERT_EQ(Cli("thumbnail " + loop + " " + jpg.string()).code, 0);
  const std::string j = slurp(jpg);
  EXPECT_EQ(j.substr(0, 2), "\xff\xd8");
  EXPECT_EQ(j, slurp(std::string(VL_BIN_DIR) + "/Sequences/default.jpg"));

  for (const char* size : {"0", "-3", "1025", "big"}) {
    const CliRun bad = Cli("thumbnail --size " + std::string(size) + " " + loop + " " + png.string());
    EXPECT_EQ(bad.code, 2) << size;
    EXPECT_NE(bad.err.find("--size"), std::string::npos) << bad.err;
  }
}

TEST_F(CliTest, RenderWritesTheSameFramesAndAVideo) {
  const std::string loop = std::string(VL_BIN_DIR) + "/Sequences/default.lqf";
  const fs::path a = dir_ / "a", b = dir_ / "b";
  CliRun first = Cli("render " + loop + " --out " + a.string() + " --frames 3-5 --size 64x48");
  ASSERT_EQ(first.code, 0) << first.err;
  ASSERT_EQ(Cli("render " + loop + " --out " + b.string() + " --frames 3-5 --size 64x48").code, 0);
  for (const char* f : {"frame_00003.png", "frame_00004.png", "frame_00005.png"}) {
    std::ifstream x(a / f, std::ios::binary), y(b / f, std::ios::binary);
    const std::string bx(std::istreambuf_iterator<char>(x), {}), by(std::istreambuf_iterator<char>(y), {});
    EXPECT_FALSE(bx.empty()) << f;
    EXPECT_EQ(bx, by) << f;
  }
  const fs::path video = dir_ / "loop.mp4";
  CliRun v = Cli("render " + loop + " --video " + video.string() + " --frames 0-9 --size 64x48");
  ASSERT_EQ(v.code, 0) << v.err;
  EXPECT_GT(fs::file_size(video), 100u);

  EXPECT_NE(Cli("render " + loop).code, 0);  // no output named
  EXPECT_NE(Cli("render " + loop + " --out x --video y.mp4").code, 0);
  CliRun bad = Cli("render " + loop + " --video " + (dir_ / "v.unknownext").string() + " --frames 0-1 --size 64x48");
  EXPECT_NE(bad.code, 0);
  EXPECT_NE(bad.err.find("v.unknownext"), std::string::npos);
  CliRun missing = Cli("render " + (dir_ / "none.lqf").string() + " --out " + a.string());
  EXPECT_NE(missing.code, 0);
  EXPECT_NE(missing.err.find("none.lqf"), std::string::npos);
}

}  // namespace

namespace {

// Every command answers --help and --version the same way, and a wrong command line is exit 2 with
// the reason and the command's usage on stderr and nothing on stdout.
TEST(CliCommandLine, EveryCommandSharesHelpVersionAndUsageErrors) {
  const CliRun top = Cli("--help");
  ASSERT_EQ(top.code, 0);
  const std::vector<std::string> commands = {"check", "compile", "convert", "decompile", "dump",   "info",
                                             "model", "render",  "tga",     "thumbnail", "version"};
  for (const std::string& c : commands) {
    EXPECT_NE(top.out.find("  " + c + " "), std::string::npos) << c;
    const CliRun help = Cli(c + " --help");
    EXPECT_EQ(help.code, 0) << c;
    EXPECT_NE(help.out.find("vantaloop-cli " + c), std::string::npos) << c;
    const CliRun version = Cli(c + " --version");
    EXPECT_EQ(version.code, 0) << c;
    EXPECT_EQ(version.out, Cli("--version").out) << c;
    const CliRun wrong = Cli(c + " --no-such-option");
    EXPECT_EQ(wrong.code, 2) << c;
    EXPECT_TRUE(wrong.out.empty()) << c;
    EXPECT_NE(wrong.err.find("vantaloop-cli: " + c + ": "), std::string::npos) << wrong.err;
    EXPECT_NE(wrong.err.find("Usage: vantaloop-cli " + c), std::string::npos) << wrong.err;
  }
  EXPECT_EQ(Cli("version").out, std::string("vantaloop-cli ") + VL_VERSION + "\n");
  EXPECT_EQ(Cli("--version").out, Cli("version").out);

  // Missing and surplus arguments, unknown commands, values the command checks itself.
  for (const char* args : {"", "frobnicate", "info", "info a.lqf b.lqf", "convert a.lqf", "compile a.txt", "tga",
                           "tga a.tga b.tga c.tga", "thumbnail a.lqf", "render a.lqf --size 3x3",
                           "render a.lqf --frames 9-2 --out d", "render a.lqf --fps", "render a.lqf"}) {
    const CliRun r = Cli(args);
    EXPECT_EQ(r.code, 2) << args << "\n" << r.err;
    EXPECT_TRUE(r.out.empty()) << args;
    EXPECT_NE(r.err.find("Usage: vantaloop-cli"), std::string::npos) << args << "\n" << r.err;
  }
  EXPECT_NE(Cli("frobnicate").err.find("unknown command 'frobnicate'"), std::string::npos);
}

TEST_F(CliTest, LibraryFolderIsTakenBeforeOrAfterTheCommand) {
  // The sequence texture of a loop is reported relative to the library; both spellings run.
  const std::string loop = Loop("lib.lqf", {0, 10}, 1);
  EXPECT_EQ(Cli("--library " + dir_.string() + " info " + loop).code, 0);
  EXPECT_EQ(Cli("info " + loop + " --library " + dir_.string()).code, 0);
  EXPECT_EQ(Cli("info " + loop + " --library").code, 2);
}

}  // namespace
