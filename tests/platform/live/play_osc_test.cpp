// vantaloop-cli play driven over OSC on the loopback, as a lighting desk or a sequencer would:
// the picture follows /track, /state answers, the beat sets the pace, hostile traffic and a port
// in use leave it playing, Ctrl+C ends it cleanly.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <lo/lo.h>
#include <netinet/in.h>
#include <png.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdarg>
#include <cstring>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/platform/live/osc_client.h"

namespace {

namespace fs = std::filesystem;
using vl::testing::Clock;
using vl::testing::Controller;
using vl::testing::FreeUdpPort;

const std::string kLoop = std::string(VL_BIN_DIR) + "/Sequences/default.lqf";

std::string Slurp(const fs::path& p) {
  std::ifstream in(p);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// The player in a child process, its standard error kept in a file.
class PlayProcess {
 public:
  explicit PlayProcess(const std::vector<std::string>& args) {
    dir_ = fs::temp_directory_path() / ("play_osc_" + std::to_string(::getpid()) + "_" + std::to_string(++count_));
    fs::create_directories(dir_);
    std::vector<std::string> argv = {std::string(VL_BIN_DIR) + "/vantaloop-cli", "play"};
    argv.insert(argv.end(), args.begin(), args.end());
    pid_ = ::fork();
    if (pid_ == 0) {
      const int err = ::open((dir_ / "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      ::dup2(err, 2);
      const int null = ::open("/dev/null", O_RDWR);
      ::dup2(null, 0);
      ::dup2(null, 1);
      std::vector<char*> c;
      c.reserve(argv.size() + 1);
      for (auto& a : argv) c.push_back(a.data());
      c.push_back(nullptr);
      ::execv(c[0], c.data());
      ::_exit(127);
    }
  }
  ~PlayProcess() {
    if (pid_ > 0 && !exited_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  const fs::path& dir() const { return dir_; }
  std::string Stderr() const { return Slurp(dir_ / "stderr"); }
  bool Running() {
    if (exited_) return false;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) Collect(status);
    return !exited_;
  }
  // Waits up to `seconds` for the end; the exit code, or -1 (killed, or still running).
  int Wait(double seconds) {
    const auto until = Clock::now() + std::chrono::duration<double>(seconds);
    while (Running() && Clock::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return exited_ ? exit_code_ : -1;
  }
  void Signal(int sig) { ::kill(pid_, sig); }

 private:
  void Collect(int status) {
    exited_ = true;
    exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  static inline int count_ = 0;
  fs::path dir_;
  pid_t pid_ = -1;
  bool exited_ = false;
  int exit_code_ = -1;
};

struct Rgba {
  int width = 0, height = 0;
  std::vector<uint8_t> px;
  const uint8_t* At(int x, int y) const { return &px[(static_cast<size_t>(y) * width + x) * 4]; }
};

std::optional<Rgba> ReadPng(const fs::path& path) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&image, path.c_str())) return std::nullopt;
  image.format = PNG_FORMAT_RGBA;
  Rgba out;
  out.width = static_cast<int>(image.width);
  out.height = static_cast<int>(image.height);
  out.px.resize(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, out.px.data(), 0, nullptr)) return std::nullopt;
  return out;
}

// Share of the picture that is plainly red.
double RedShare(const Rgba& img) {
  int red = 0;
  for (int y = 0; y < img.height; ++y)
    for (int x = 0; x < img.width; ++x) {
      const uint8_t* p = img.At(x, y);
      if (p[0] > 200 && p[1] < 80 && p[2] < 80) ++red;
    }
  return static_cast<double>(red) / (img.width * img.height);
}

// Waits for the snapshot asked for to be newer than `after` and reads it.
std::optional<Rgba> Snapshot(Controller& c, const fs::path& file) {
  std::error_code ec;
  fs::remove(file, ec);
  c.Send("/vantaloop/snapshot");
  const auto until = Clock::now() + std::chrono::seconds(5);
  while (Clock::now() < until) {
    if (fs::exists(file)) return ReadPng(file);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return std::nullopt;
}

class PlayOsc : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!fs::exists(kLoop)) GTEST_SKIP() << kLoop << " is not built";
  }
};

TEST_F(PlayOsc, TrackHoldsTurnThePictureRedUntilReleasedAndStateAnswers) {
  const int port = FreeUdpPort();
  const fs::path shot = fs::temp_directory_path() / ("play_shot_" + std::to_string(::getpid()) + ".png");
  // Nothing but the background, which this loop keeps dark blue.
  const fs::path loop = fs::temp_directory_path() / ("play_plain_" + std::to_string(::getpid()) + ".txt");
  std::ofstream(loop) << "version 6\n[initial]\nbackground_b = 120\n[key]\nframe = 0\n[key]\nframe = 100\n";
  PlayProcess play({loop.string(), "--size", "160x120", "--seconds", "60", "--osc", std::to_string(port), "--snapshot",
                    shot.string()});
  Controller c(port);
  auto state = c.AwaitPlayer(20);
  ASSERT_TRUE(state) << play.Stderr();
  EXPECT_EQ(state->loop, loop.filename().string());
  EXPECT_GT(state->frame_count, 1);
  EXPECT_EQ(state->playing, 1);
  EXPECT_EQ(state->speed, 1.0f);
  EXPECT_EQ(state->tempo, 0.0f);
  EXPECT_EQ(state->beats, 0);

  auto before = Snapshot(c, shot);
  ASSERT_TRUE(before) << play.Stderr();
  EXPECT_LT(RedShare(*before), 0.2);
  c.Send("/vantaloop/track", "si", "background_r", 255);
  c.Send("/vantaloop/track", "sf", "background_g", 0.0);
  c.Send("/vantaloop/track", "sf", "background_b", 0.0);
  ASSERT_TRUE(c.AskState());  // answered after the messages before it were acted on
  auto red = Snapshot(c, shot);
  ASSERT_TRUE(red);
  EXPECT_GT(RedShare(*red), 0.5) << play.Stderr();
  c.Send("/vantaloop/release");
  ASSERT_TRUE(c.AskState());
  auto after = Snapshot(c, shot);
  ASSERT_TRUE(after);
  EXPECT_LT(RedShare(*after), 0.2);

  // Settings are edits of the playing loop: the text layer switched on, with a text of our own
  // (its glyphs built again), shows light pixels where there were none.
  auto light = [](const Rgba& img) {
    int n = 0;
    for (int y = 0; y < img.height; ++y)
      for (int x = 0; x < img.width; ++x) n += img.At(x, y)[1] > 150;
    return n;
  };
  EXPECT_EQ(light(*after), 0);
  c.Send("/vantaloop/set", "si", "text_on", 2);
  c.Send("/vantaloop/set", "si", "fx_text", 2);
  c.Send("/vantaloop/text", "s", "WWW");
  ASSERT_TRUE(c.AskState());
  auto text = Snapshot(c, shot);
  ASSERT_TRUE(text);
  EXPECT_GT(light(*text), 50) << play.Stderr();
  EXPECT_EQ(play.Stderr().find("ignored"), std::string::npos) << play.Stderr();

  play.Signal(SIGINT);
  EXPECT_EQ(play.Wait(10), 0) << play.Stderr();
  std::error_code ec;
  fs::remove(shot, ec);
  fs::remove(loop, ec);
}

TEST_F(PlayOsc, Tempo120AndEightBeatsMakeOnePassLastFourSeconds) {
  const int port = FreeUdpPort();
  PlayProcess play({kLoop, "--size", "64x48", "--seconds", "60", "--osc", std::to_string(port)});
  Controller c(port);
  ASSERT_TRUE(c.AwaitPlayer(20)) << play.Stderr();
  c.Send("/vantaloop/tempo", "f", 120.0);
  c.Send("/vantaloop/beats", "i", 8);
  ASSERT_TRUE(c.AskState());  // from here on the loop is on the beat
  const vl::testing::Pace pace = vl::testing::MeasurePace(c, 4.5);
  EXPECT_EQ(pace.tempo, 120.0f);
  EXPECT_EQ(pace.beats, 8);
  EXPECT_NEAR(pace.pass_seconds, 4.0, 0.4) << pace.trace;
  play.Signal(SIGTERM);
  EXPECT_EQ(play.Wait(10), 0);
}

TEST_F(PlayOsc, HostileTrafficLeavesItPlaying) {
  const int port = FreeUdpPort();
  PlayProcess play({kLoop, "--size", "64x48", "--seconds", "60", "--osc", std::to_string(port)});
  Controller c(port);
  ASSERT_TRUE(c.AwaitPlayer(20)) << play.Stderr();

  // Random datagrams, some starting like OSC.
  const int s = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::mt19937 rng(7);
  for (int i = 0; i < 400; ++i) {
    std::vector<uint8_t> bytes(rng() % 600);
    for (auto& b : bytes) b = static_cast<uint8_t>(rng());
    if (i % 2 && bytes.size() > 12) std::memcpy(bytes.data(), "/vantaloop/\0,", 13);
    ::sendto(s, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  }
  ::close(s);

  // Every address with every OSC type, alone and in pairs.
  const char* names[] = {"play",  "stop",    "frame",      "next",     "previous", "load", "open",
                         "loop",  "speed",   "tempo",      "beats",    "tap",      "text", "set",
                         "track", "release", "fullscreen", "snapshot", "state",    "nope"};
  const char types[] = "ifsdhTFNIbcmtS";
  for (const char* name : names) {
    const std::string path = std::string("/vantaloop/") + name;
    for (const char* a = types; *a; ++a)
      for (const char* b = types - 1; b < types + sizeof types - 1; ++b) {
        lo_message m = lo_message_new();
        for (char t : {*a, b < types ? '\0' : *b}) {
          switch (t) {
            case 'i': lo_message_add_int32(m, static_cast<int32_t>(rng())); break;
            case 'f': lo_message_add_float(m, t == 'f' && rng() % 2 ? NAN : -1e30f); break;
            case 's': lo_message_add_string(m, rng() % 2 ? "background_r" : "\x1b[2J"); break;
            case 'd': lo_message_add_double(m, INFINITY); break;
            case 'h': lo_message_add_int64(m, INT64_MAX); break;
            case 'T': lo_message_add_true(m); break;
            case 'F': lo_message_add_false(m); break;
            case 'N': lo_message_add_nil(m); break;
            case 'I': lo_message_add_infinitum(m); break;
            case 'b': {
              uint8_t data[8] = {1, 2, 3};
              lo_blob blob = lo_blob_new(sizeof data, data);
              lo_message_add_blob(m, blob);
              lo_blob_free(blob);
              break;
            }
            case 'c': lo_message_add_char(m, 'x'); break;
            case 'm': {
              uint8_t midi[4] = {0, 0x90, 60, 100};
              lo_message_add_midi(m, midi);
              break;
            }
            case 't': lo_message_add_timetag(m, LO_TT_IMMEDIATE); break;
            case 'S': lo_message_add_symbol(m, "tap"); break;
          }
        }
        c.SendMessage(path.c_str(), m);
        lo_message_free(m);
      }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));  // a desk's pace, not a flood
  }
  auto after = c.AwaitPlayer(10);
  ASSERT_TRUE(after) << play.Stderr();
  EXPECT_TRUE(play.Running());
  // Whatever the messages set, the loop still plays on.
  c.Send("/vantaloop/speed", "f", 1.0);
  c.Send("/vantaloop/tempo", "f", 0.0);
  c.Send("/vantaloop/play");
  auto first = c.AskState();
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  auto later = c.AskState();
  ASSERT_TRUE(first && later);
  EXPECT_NE(first->frame, later->frame);
  // What it said about them reached the terminal escaped.
  EXPECT_EQ(play.Stderr().find('\x1b'), std::string::npos);
  play.Signal(SIGINT);
  EXPECT_EQ(play.Wait(10), 0);
}

TEST_F(PlayOsc, APortInUseIsSaidAndTheLoopPlaysWithoutOsc) {
  const int s = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  ASSERT_EQ(::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  socklen_t n = sizeof a;
  ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &n);
  const int port = ntohs(a.sin_port);
  PlayProcess play({kLoop, "--size", "64x48", "--seconds", "1.5", "--osc", std::to_string(port)});
  EXPECT_EQ(play.Wait(30), 0) << play.Stderr();
  const std::string err = play.Stderr();
  EXPECT_NE(err.find("cannot listen for OSC on UDP port " + std::to_string(port)), std::string::npos) << err;
  EXPECT_NE(err.find("playing without OSC"), std::string::npos) << err;
  ::close(s);
}

TEST_F(PlayOsc, BadCommandLinesAndLoopsAreRefusedWithTheReason) {
  {
    PlayProcess play({"/nonexistent/loop.lqf", "--seconds", "1"});
    EXPECT_EQ(play.Wait(10), 1);
    EXPECT_NE(play.Stderr().find("/nonexistent/loop.lqf"), std::string::npos) << play.Stderr();
  }
  for (const std::vector<std::string>& args : {std::vector<std::string>{kLoop, "--fps", "0"},
                                               {kLoop, "--osc", "70000"},
                                               {kLoop, "--seconds", "-1"},
                                               {kLoop, "--size", "10x10"}}) {
    PlayProcess play(args);
    EXPECT_EQ(play.Wait(10), 2) << args[1] << " " << args[2] << ": " << play.Stderr();
  }
  // A FIFO named as the loop is refused without waiting for a writer.
  PlayProcess fifo_dir_holder({"--help"});
  const fs::path fifo = fifo_dir_holder.dir() / "loop.lqf";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  PlayProcess play({fifo.string(), "--seconds", "1"});
  EXPECT_EQ(play.Wait(10), 1) << play.Stderr();
}

}  // namespace
