// vantaloop-cli against hostile input and failing output: full disks, unwritable standard output,
// files that are not files, a gigabyte given as loop source, names that carry control characters.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "engine/keyframes.h"
#include "engine/sequence_loader.h"
#include "engine/sequence_writer.h"
#include "tests/hostile_files.h"
#include "tests/measured_child.h"

namespace {

namespace fs = std::filesystem;
using namespace vl::engine;

struct CliRun {
  int code = -1;
  std::string out, err;
  vl::testing::ChildUsage usage;
};

std::string Slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class CliHostileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("vl_cli_hostile_" + std::to_string(::getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Runs the tool in a measured child; standard output goes to `out` (a file of ours by default).
  CliRun Cli(const std::string& args, const std::string& out = "", int timeout_seconds = 60) {
    const fs::path out_file = dir_ / "stdout", err_file = dir_ / "stderr";
    const std::string cmd = "'" + std::string(VL_BIN_DIR) + "/vantaloop-cli' " + args + " >" +
                            (out.empty() ? out_file.string() : out) + " 2>" + err_file.string();
    CliRun r;
    r.usage = vl::testing::RunMeasured(
        [&](std::string& report) {
          const int status = std::system(cmd.c_str());
          report = WIFEXITED(status) ? "" : "signal " + std::to_string(WTERMSIG(status));
          return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
        },
        /*extra_address_space=*/uint64_t{2} << 30, timeout_seconds);
    r.code = r.usage.exited ? r.usage.exit_code : -1;
    r.out = out.empty() ? Slurp(out_file) : "";
    r.err = Slurp(err_file);
    return r;
  }

  std::string Loop(const std::string& name, const std::string& sprite = "Particles/Envroll.bmp",
                   const std::string& text = "Moxtrel") {
    auto scene = std::make_unique<SceneState>();
    ResetToLoadDefaults(*scene);
    ClearKeyframes(*scene);
    scene->settings.text_string = text;
    scene->settings.sprite_texture_name = sprite;
    scene->settings.sprite_texture_name_length = static_cast<float>(sprite.size());
    scene->keyframe_count = 1;
    (*scene->keyframe_frame)[0] = 0;
    (*scene->keyframe_frame)[1] = 4;
    const fs::path path = dir_ / name;
    EXPECT_FALSE(WriteSequenceFile(*scene, path, 6.0f).has_value());
    return path.string();
  }

  fs::path dir_;
};

bool FullIsStillADevice() {
  struct stat st {};
  return ::stat("/dev/full", &st) == 0 && S_ISCHR(st.st_mode);
}

TEST_F(CliHostileTest, WritesToAFullDiskFailWithTheReason) {
  const std::string loop = Loop("a.lqf");
  ASSERT_EQ(Cli("decompile " + loop + " " + (dir_ / "a.txt").string()).code, 0);
  const std::string source = (dir_ / "a.txt").string();
  for (const std::string& args :
       {"convert " + loop + " /dev/full", "decompile " + loop + " /dev/full", "compile " + source + " /dev/full",
        "render " + loop + " --sheet /dev/full --frames 0-1 --size 32x32"}) {
    SCOPED_TRACE(args);
    const CliRun r = Cli(args);
    EXPECT_EQ(r.code, 1) << r.err << r.usage.Describe();
    EXPECT_NE(r.err.find("/dev/full: write failed: No space left on device"), std::string::npos) << r.err;
    // A device named as output is written to, never replaced by a file.
    EXPECT_TRUE(FullIsStillADevice());
  }
  // A failed write leaves neither a partial file nor the old one damaged.
  const fs::path kept = dir_ / "kept.lqf";
  std::ofstream(kept) << "old";
  fs::permissions(dir_, fs::perms::owner_read | fs::perms::owner_exec);
  const CliRun denied = Cli("convert " + loop + " " + kept.string());
  fs::permissions(dir_, fs::perms::owner_all);
  if (::geteuid() != 0) {  // root writes anywhere
    EXPECT_EQ(denied.code, 1);
    EXPECT_EQ(Slurp(kept), "old");
  }
}

TEST_F(CliHostileTest, UnwritableStandardOutputIsAFailure) {
  const std::string loop = Loop("a.lqf");
  const fs::path model = dir_ / "m.3ds";
  ASSERT_TRUE(vl::hostile::WriteBytes(model, vl::hostile::ManyMaterials3ds(3)));
  for (const std::string& args : {"info " + loop, "dump " + loop, "decompile " + loop, "model " + model.string()}) {
    SCOPED_TRACE(args);
    const CliRun r = Cli(args, "/dev/full");
    EXPECT_EQ(r.code, 1) << r.err;
    EXPECT_NE(r.err.find(": cannot write the output: "), std::string::npos) << r.err;
  }
  EXPECT_TRUE(FullIsStillADevice());
}

TEST_F(CliHostileTest, CompileRefusesHugeAndNonRegularSourcesBeforeReadingThem) {
  const fs::path huge = dir_ / "huge.txt";  // sparse: a gigabyte of zero bytes that costs no disk
  std::ofstream(huge).close();
  fs::resize_file(huge, uint64_t{1} << 30);
  struct Case {
    std::string source;
    std::string message;
  };
  const Case cases[] = {
      {"/dev/zero", "/dev/zero: not a regular file but a device"},
      {huge.string(), huge.string() + ": file is larger than 67108864 bytes"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.source);
    const CliRun r = Cli("compile " + c.source + " " + (dir_ / "out.lqf").string(), "", /*timeout_seconds=*/20);
    EXPECT_EQ(r.code, 1) << r.usage.Describe();
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_LE(r.usage.peak_rss, uint64_t{256} << 20) << r.usage.Describe();
    EXPECT_FALSE(fs::exists(dir_ / "out.lqf"));
  }
  // Bytes that stop a C string are printed escaped, and what follows them still shows.
  const fs::path nul = dir_ / "nul.txt";
  std::ofstream(nul, std::ios::binary) << std::string("version 6\n[settings]\nbad\0line here\n", 34);
  const CliRun r = Cli("compile " + nul.string() + " " + (dir_ / "out.lqf").string());
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("nul.txt: line 3, column 4: NUL byte in the source"), std::string::npos) << r.err;
}

TEST_F(CliHostileTest, LoopNamesCannotForgeLinesOrDriveTheTerminal) {
  const std::string loop = Loop("forged.lqf", "x.bmp\nall assets loaded\x1b[2J", "hi\x1b]0;owned\x07");
  const CliRun r = Cli("info " + loop);
  ASSERT_EQ(r.code, 0) << r.err;
  for (char c : r.out) EXPECT_TRUE(c == '\n' || static_cast<unsigned char>(c) >= 0x20) << int(c);
  EXPECT_NE(r.out.find("x.bmp\\x0aall assets loaded\\x1b[2J"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"hi\\x1b]0;owned\\x07\""), std::string::npos) << r.out;
}

TEST_F(CliHostileTest, ModelAndTgaNamesThatAreNotRegularFilesFailAtOnce) {
  const fs::path fifo = dir_ / "pipe";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& args : {"model " + fifo.string(), std::string("model /dev/zero"),
                                  "tga --detail " + fifo.string(), std::string("tga --detail /dev/zero")}) {
    SCOPED_TRACE(args);
    const CliRun r = Cli(args, "", /*timeout_seconds=*/10);
    ASSERT_TRUE(r.usage.exited) << r.usage.Describe();
    EXPECT_EQ(r.code, 1) << r.err;
    EXPECT_NE(r.err.find("not a regular file but a "), std::string::npos) << r.err;
    EXPECT_LE(r.usage.peak_rss, uint64_t{256} << 20) << r.usage.Describe();
  }
  // Millions of empty objects: a message and exit 1, not an abort.
  const fs::path bomb = dir_ / "objects.3ds";
  ASSERT_TRUE(vl::hostile::WriteBytes(bomb, vl::hostile::EmptyObjects3ds(3'000'000)));
  const CliRun r = Cli("model " + bomb.string());
  EXPECT_EQ(r.code, 1) << r.usage.Describe();
  EXPECT_NE(r.err.find("more than 65535 objects in one file"), std::string::npos) << r.err;
}

// Files left in the test folder by a write that did not finish.
std::vector<std::string> Leftovers(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir))
    if (e.path().filename().string().rfind(".vl-", 0) == 0) names.push_back(e.path().filename().string());
  return names;
}

TEST_F(CliHostileTest, AnOutputThatIsTheInputIsRefusedAndTheInputKept) {
  const std::string loop = Loop("a.lqf");
  const fs::path source = dir_ / "a.txt";
  ASSERT_EQ(Cli("decompile " + loop + " " + source.string()).code, 0);
  fs::create_symlink(loop, dir_ / "link.lqf");
  fs::create_hard_link(source, dir_ / "hard.txt");
  const std::string mkv = Loop("loop.mkv");  // a loop file under a video's name
  const std::string loop_bytes = Slurp(loop), source_bytes = Slurp(source);
  for (const std::string& args :
       {"compile " + source.string() + " " + source.string(),
        "compile " + source.string() + " " + (dir_ / "hard.txt").string(), "decompile " + loop + " " + loop,
        "convert " + loop + " " + (dir_ / "link.lqf").string(), "thumbnail " + loop + " " + loop,
        "render " + loop + " --video " + (dir_ / "link.lqf").string(),
        "export " + mkv + " " + mkv + " --preset 15 --format mkv"}) {
    SCOPED_TRACE(args);
    const CliRun r = Cli(args);
    EXPECT_EQ(r.code, 2) << r.err;
    EXPECT_NE(r.err.find("is the input file"), std::string::npos) << r.err;
    EXPECT_EQ(Slurp(loop), loop_bytes);
    EXPECT_EQ(Slurp(source), source_bytes);
  }
}

TEST_F(CliHostileTest, VideosAndThumbnailsReplaceTheOldFileOnlyWhenComplete) {
  const std::string loop = Loop("a.lqf");
  const fs::path video = dir_ / "old.mp4", thumb = dir_ / "old.jpg";
  std::ofstream(video) << "the old video";
  std::ofstream(thumb) << "the old picture";
  // A file-size limit stands in for a full disk: the write fails part way.
  for (const std::string& args : {"render " + loop + " --video " + video.string() + " --size 320x240 --frames 0-3",
                                  "thumbnail " + loop + " " + thumb.string()}) {
    SCOPED_TRACE(args);
    const std::string limited =
        "sh -c 'ulimit -f 1; exec \"" + std::string(VL_BIN_DIR) + "/vantaloop-cli\" " + args + "'";
    const int status = std::system((limited + " >/dev/null 2>" + (dir_ / "err").string()).c_str());
    EXPECT_EQ(WEXITSTATUS(status), 1) << Slurp(dir_ / "err");
    EXPECT_NE(Slurp(dir_ / "err").find("File too large"), std::string::npos) << Slurp(dir_ / "err");
  }
  EXPECT_EQ(Slurp(video), "the old video");
  EXPECT_EQ(Slurp(thumb), "the old picture");
  EXPECT_TRUE(Leftovers(dir_).empty());
  // Complete, they replace it.
  ASSERT_EQ(Cli("thumbnail " + loop + " " + thumb.string()).code, 0);
  EXPECT_EQ(Slurp(thumb).substr(0, 3), "\xFF\xD8\xFF");
}

TEST_F(CliHostileTest, InterruptedVideoLeavesTheOldFile) {
  const fs::path loop = dir_ / "long.txt";
  std::ofstream(loop) << "version 6\n[key]\nframe = 0\n[key]\nframe = 5000\n";
  const fs::path video = dir_ / "old.mp4";
  std::ofstream(video) << "the old video";
  // Many frames of a large picture: still drawing when the signal comes. The signal waits for the
  // first progress line: a job started with & in a script ignores SIGINT until the command installs
  // its own handler, and on a busy machine setting up can take longer than any fixed sleep.
  const fs::path err_file = dir_ / "err";
  const std::string cmd = "'" + std::string(VL_BIN_DIR) + "/vantaloop-cli' render " + loop.string() + " --video " +
                          video.string() + " --size 640x480 2>" + err_file.string() +
                          " & pid=$!; for i in $(seq 1200); do grep -q 'render: frame' " + err_file.string() +
                          " && break; sleep 0.1; done; kill -INT $pid; wait $pid";
  const int rc = std::system(cmd.c_str());
  const std::string err = Slurp(err_file);
  ASSERT_NE(err.find("render: frame"), std::string::npos) << "never started drawing: " << err;
  EXPECT_TRUE(WIFEXITED(rc) && WEXITSTATUS(rc) == 1) << err;
  EXPECT_NE(err.find("interrupted; nothing was written"), std::string::npos) << err;
  const std::string kept = Slurp(video);
  EXPECT_TRUE(kept == "the old video") << "the old file was replaced by " << kept.size() << " bytes";
  EXPECT_TRUE(Leftovers(dir_).empty());
}

TEST_F(CliHostileTest, RealConditionsAreNamedAndLongNamesFit) {
  for (const std::string& args :
       {std::string("export /dev/zero ") + (dir_ / "x.mkv").string() + " --preset 15 --format mkv",
        std::string("render /dev/zero --sheet ") + (dir_ / "x.png").string(),
        "render " + dir_.string() + " --sheet " + (dir_ / "x.png").string()}) {
    SCOPED_TRACE(args);
    const CliRun r = Cli(args);
    EXPECT_EQ(r.code, 1) << r.err;
    EXPECT_NE(r.err.find("not a regular file but a "), std::string::npos) << r.err;
  }
  // 255 bytes is as long as a file name may be; the temporary name beside it is short.
  const std::string loop = Loop("a.lqf");
  const fs::path longest = dir_ / (std::string(251, 'n') + ".lqf");
  const CliRun r = Cli("convert " + loop + " " + longest.string());
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(Slurp(longest), Slurp(loop));
  const CliRun every = Cli("render " + loop + " --sheet x.png --every 1000000");
  EXPECT_EQ(every.code, 2);
  EXPECT_NE(every.err.find("--every wants a whole number from 1 to 10000"), std::string::npos) << every.err;
}

}  // namespace
