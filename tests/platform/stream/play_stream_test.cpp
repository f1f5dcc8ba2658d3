// vantaloop-cli play --stream on the loopback: a viewer reading the stream with FFmpeg's libraries
// gets frames of the size and rate asked for, each one a frame that render draws of the same loop
// (within the coding's loss); a destination nobody listens on is said to fail and tried again
// while the loop plays on.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include <QImage>

#include "tests/platform/stream/stream_reader.h"

namespace {

namespace fs = std::filesystem;
using namespace vl::streamtest;
using namespace std::chrono_literals;

const std::string kCli = std::string(VL_BIN_DIR) + "/vantaloop-cli";

std::string Slurp(const fs::path& p) {
  std::ifstream in(p);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Runs the tool to its end (at most `seconds`), standard error into `err`; the exit code.
int RunCli(const std::vector<std::string>& args, const fs::path& err, double seconds) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int fd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(fd, 2);
    const int null = ::open("/dev/null", O_RDWR);
    ::dup2(null, 0);
    ::dup2(null, 1);
    std::vector<std::string> argv = {kCli};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> c;
    c.reserve(argv.size() + 1);
    for (auto& a : argv) c.push_back(a.data());
    c.push_back(nullptr);
    ::execv(c[0], c.data());
    ::_exit(127);
  }
  int status = 0;
  const auto until = Clock::now() + std::chrono::duration<double>(seconds);
  while (::waitpid(pid, &status, WNOHANG) == 0) {
    if (Clock::now() > until) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(20ms);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class PlayStreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("vl_play_stream_" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    // Blue turning red over two seconds, under a line of text: every frame differs from the others.
    std::ofstream(dir_ / "ramp.txt")
        << "version 6\n\n[settings]\ntext_string = \"Stream\"\ntext_on = 2\nfx_text = 0\n\n"
           "[initial]\nbackground_r = 0\nbackground_g = 40\nbackground_b = 250\n\n"
           "[key]\nframe = 0\n\n[key]\nframe = 50\nbackground_r = 250\nbackground_b = 0\n";
    loop_ = (dir_ / "ramp.lqf").string();
    ASSERT_EQ(RunCli({"compile", (dir_ / "ramp.txt").string(), loop_}, dir_ / "compile.err", 30), 0)
        << Slurp(dir_ / "compile.err");
  }
  void TearDown() override { fs::remove_all(dir_); }

  fs::path dir_;
  std::string loop_;
};

TEST_F(PlayStreamTest, AViewerGetsTheLoopsFramesAtTheSizeAndRateAsked) {
  const fs::path frames = dir_ / "render";
  ASSERT_EQ(
      RunCli({"render", loop_, "--out", frames.string(), "--size", "320x240", "--fps", "25"}, dir_ / "render.err", 60),
      0)
      << Slurp(dir_ / "render.err");
  std::vector<std::vector<uint8_t>> rendered;
  for (int i = 0;; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "frame_%05d.png", i);
    QImage img((frames / name).string().c_str());
    if (img.isNull()) break;
    img = img.convertToFormat(QImage::Format_RGBA8888);
    rendered.emplace_back(img.constBits(), img.constBits() + img.sizeInBytes());
  }
  ASSERT_GE(rendered.size(), 50u);

  const int port = FreeUdpPort();
  std::atomic<bool> listening{false};
  ReadEnd end;
  ReadBack got;
  std::thread reader([&] { got = ReadUdp(port, 1000, 25, &listening, &end); });
  while (!listening) std::this_thread::sleep_for(1ms);
  std::this_thread::sleep_for(200ms);
  const int rc = RunCli({"play", loop_, "--size", "320x240", "--fps", "25", "--seconds", "4", "--stream",
                         "udp://127.0.0.1:" + std::to_string(port)},
                        dir_ / "play.err", 30);
  end.sender_done = true;
  reader.join();
  const std::string err = Slurp(dir_ / "play.err");
  EXPECT_EQ(rc, 0) << err;
  EXPECT_NE(err.find("stream udp://127.0.0.1:" + std::to_string(port) + ": sending (320 x 240"), std::string::npos)
      << err;
  ASSERT_EQ(got.error, "");
  EXPECT_EQ(got.width, 320);
  EXPECT_EQ(got.height, 240);
  EXPECT_EQ(av_cmp_q(got.rate, AVRational{25, 1}), 0) << got.rate.num << "/" << got.rate.den;
  // Four seconds at 25 a second; a busy machine may skip a few frame times.
  EXPECT_GE(got.frames.size(), 70u) << err;
  // Each frame seen is one of the loop's frames; together they run through the loop.
  std::set<size_t> matched;
  double worst = 0;
  for (const DecodedFrame& d : got.frames) {
    double best = 1e9;
    size_t at = 0;
    for (size_t i = 0; i < rendered.size(); ++i)
      if (const double diff = MeanDifference(d.rgba, rendered[i]); diff < best) best = diff, at = i;
    EXPECT_LT(best, 4.0) << "stream frame " << d.index;
    worst = std::max(worst, best);
    matched.insert(at);
  }
  std::printf("%zu frames seen, %zu of the loop's %zu frames among them, each within %.2f\n", got.frames.size(),
              matched.size(), rendered.size(), worst);
  EXPECT_GE(matched.size(), 35u);
}

TEST_F(PlayStreamTest, ADestinationNobodyListensOnIsRetriedWhileTheLoopPlaysOn) {
  const std::string url = "udp://127.0.0.1:" + std::to_string(FreeUdpPort());
  const int rc = RunCli({"play", loop_, "--size", "160x120", "--seconds", "2", "--stream", url}, dir_ / "play.err", 30);
  const std::string err = Slurp(dir_ / "play.err");
  EXPECT_EQ(rc, 0) << err;
  EXPECT_NE(err.find("stream " + url + " failed: cannot send to " + url +
                     ": Connection refused; trying again every 3 s, playing on"),
            std::string::npos)
      << err;
  // The frames kept coming: nearly two seconds' worth are counted, sent or not.
  const size_t at = err.find("stream " + url + " ended: ");
  ASSERT_NE(at, std::string::npos) << err;
  int sent = 0, dropped = 0;
  ASSERT_EQ(std::sscanf(err.c_str() + at + url.size() + 14, "%d frames sent, %d dropped", &sent, &dropped), 2) << err;
  EXPECT_GE(sent + dropped, 40) << err;
  EXPECT_GT(dropped, 30) << err;

  // An address that cannot be used at all is a usage error before anything plays.
  EXPECT_EQ(RunCli({"play", loop_, "--seconds", "1", "--stream", "udp://127.0.0.1"}, dir_ / "bad.err", 30), 2);
  EXPECT_NE(Slurp(dir_ / "bad.err").find("--stream: the address udp://127.0.0.1 names no port"), std::string::npos)
      << Slurp(dir_ / "bad.err");
}

}  // namespace
