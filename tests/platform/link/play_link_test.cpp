// vantaloop-cli play --link beside a music program (the test's own Link peer): it takes the
// session's tempo and puts its loop on the session's bar, asked over OSC where it is.
#include <cerrno>
#include <cstring>
#include <arpa/inet.h>
#include <fcntl.h>
#include <lo/lo.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <thread>

#include <ableton/Link.hpp>
#include <gtest/gtest.h>

#include "tests/platform/link/loopback_only.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
constexpr int kFps = 25;

int FreeUdpPort() {
  const int s = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0) << std::strerror(errno);
  socklen_t n = sizeof a;
  ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &n);
  ::close(s);
  return ntohs(a.sin_port);
}

struct State {
  int frame = -1, frame_count = 0, beats = 0;
  float tempo = 0;
};

class PlayLink : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string why = vl::test::LoopbackOnly();
    if (!why.empty()) GTEST_SKIP() << "SKIPPED: the Link test needs a loopback-only network: " << why;
    port_ = FreeUdpPort();
    err_ = fs::temp_directory_path() / ("play_link_" + std::to_string(::getpid()) + ".err");
    pid_ = ::fork();
    if (pid_ == 0) {
      const int err = ::open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      ::dup2(err, 2);
      const std::string cli = std::string(VL_BIN_DIR) + "/vantaloop-cli";
      const std::string loop = std::string(VL_BIN_DIR) + "/Sequences/default.lqf";
      const std::string port = std::to_string(port_), fps = std::to_string(kFps);
      ::execl(cli.c_str(), cli.c_str(), "play", loop.c_str(), "--size", "160x120", "--fps", fps.c_str(), "--osc",
              port.c_str(), "--link", "--seconds", "60", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    server_ = lo_server_new_with_proto(nullptr, LO_UDP, nullptr);
    target_ = lo_address_new("127.0.0.1", std::to_string(port_).c_str());
    lo_server_add_method(server_, "/vantaloop/state", "siiiffi", OnState, this);
  }
  void TearDown() override {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (target_) lo_address_free(target_);
    if (server_) lo_server_free(server_);
    std::error_code ec;
    fs::remove(err_, ec);
  }
  std::string Stderr() const {
    std::ifstream in(err_);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  void Send(const char* path, int value) { lo_send_from(target_, server_, LO_TT_IMMEDIATE, path, "i", value); }
  std::optional<State> Ask(int ms = 300) {
    while (lo_server_recv_noblock(server_, 0) > 0) {}
    state_.reset();
    lo_send_from(target_, server_, LO_TT_IMMEDIATE, "/vantaloop/state", "");
    const auto until = Clock::now() + std::chrono::milliseconds(ms);
    while (!state_ && Clock::now() < until) lo_server_recv_noblock(server_, 10);
    return state_;
  }
  static int OnState(const char*, const char*, lo_arg** argv, int, lo_message, void* self) {
    State s;
    s.frame = argv[1]->i;
    s.frame_count = argv[2]->i;
    s.tempo = argv[5]->f;
    s.beats = argv[6]->i;
    static_cast<PlayLink*>(self)->state_ = s;
    return 0;
  }

  int port_ = 0;
  fs::path err_;
  pid_t pid_ = -1;
  lo_server server_ = nullptr;
  lo_address target_ = nullptr;
  std::optional<State> state_;
};

TEST_F(PlayLink, TheLoopFollowsTheSessionsTempoAndBar) {
  ableton::Link peer(120.0);
  peer.enable(true);
  std::optional<State> s;
  for (auto until = Clock::now() + std::chrono::seconds(30); !s && Clock::now() < until;) s = Ask();
  ASSERT_TRUE(s) << Stderr();
  for (auto until = Clock::now() + std::chrono::seconds(10); peer.numPeers() == 0 && Clock::now() < until;)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_EQ(peer.numPeers(), 1u) << Stderr();

  // The music program's tempo and bar of 8 beats; the player locks its loop to 8 beats.
  {
    auto state = peer.captureAppSessionState();
    state.setTempo(128.0, peer.clock().micros());
    state.requestBeatAtTime(0.0, peer.clock().micros(), 8);
    peer.commitAppSessionState(state);
  }
  Send("/vantaloop/beats", 8);
  for (auto until = Clock::now() + std::chrono::seconds(5); Clock::now() < until;) {
    s = Ask();
    if (s && std::abs(s->tempo - 128.0f) < 0.01f && s->beats == 8) break;
  }
  ASSERT_TRUE(s);
  EXPECT_NEAR(s->tempo, 128.0f, 0.01f) << Stderr();
  ASSERT_EQ(s->beats, 8);
  ASSERT_GT(s->frame_count, 8);

  // Where the loop is against where the bar is. The answer is given at the next frame and names
  // the frame drawn before it, so it is up to a frame's time either side of the moment asked; on
  // top of that the player may be a frame's time off the bar, plus a frame of the loop's rounding.
  const double frames_per_second_of_loop = s->frame_count / (8 * 60.0 / 128.0);
  const double allowed = 1.0 + 2 * frames_per_second_of_loop / kFps + 1e-6;
  double worst = 0;
  for (int i = 0; i < 30; ++i) {
    const auto before = peer.clock().micros();
    s = Ask();
    const auto after = peer.clock().micros();
    ASSERT_TRUE(s);
    const auto state = peer.captureAppSessionState();
    const auto at = before + (after - before) / 2;
    const double expected = state.phaseAtTime(at, 8) / 8 * s->frame_count;
    double d = std::abs(s->frame - expected);
    d = std::min(d, s->frame_count - d);
    // The round trip itself moves the bar on; half of it either way is no fault of the player's.
    const double trip = std::chrono::duration<double>(after - before).count() / 2 * frames_per_second_of_loop;
    worst = std::max(worst, d - trip);
    std::this_thread::sleep_for(std::chrono::milliseconds(37));
  }
  EXPECT_LE(worst, allowed) << "frames off the bar";
  std::printf("loop %d frames, worst distance from the session's bar: %.2f frames (allowed %.2f)\n", s->frame_count,
              worst, allowed);
}

}  // namespace
