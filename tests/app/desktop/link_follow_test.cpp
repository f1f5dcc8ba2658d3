// The desktop program in a Link session beside a music program (the test's own Link peer), joined
// from its settings: it takes the session's tempo and puts its loop on the session's bar, asked over
// OSC where it is. Only the loopback exists for it and the test.
#include <gtest/gtest.h>

#include <ableton/Link.hpp>

#include "tests/app/desktop/x_session.h"
#include "tests/platform/link/loopback_only.h"
#include "tests/platform/live/osc_client.h"

namespace vl::xtest {
namespace {

TEST(DesktopLink, JoinedFromTheSettingsItFollowsTheSessionsTempoAndBar) {
  // Before the X server starts, so it and the program share the test's network.
  const std::string why = vl::test::LoopbackOnly();
  if (!why.empty()) GTEST_SKIP() << "SKIPPED: the Link test needs a loopback-only network: " << why;
  VL_X_SERVER(x, "1024x768x24");
  const fs::path home = Scratch("link");
  const int port = vl::testing::FreeUdpPort();
  Program::WriteSettings(
      home, 3, 1, 0, 1, "[Live]\nOSC%20Port=" + std::to_string(port) + "\nBeats%20Per%20Loop=8\n[Link]\nJoined=true\n");
  const fs::path loop = CompileLoop(home, "plain", PlainLoopSource(0, 0, 120));
  ableton::Link peer(120.0);
  peer.enable(true);
  Program program(*x, home, {loop.string()});
  ASSERT_TRUE(program.MainWindow()) << program.Stderr();
  vl::testing::Controller c(port);
  auto state = c.AwaitPlayer(20);
  ASSERT_TRUE(state) << program.Stderr();
  for (int waited = 0; waited < 10000 && peer.numPeers() == 0; waited += 20) SleepMs(20);
  ASSERT_EQ(peer.numPeers(), 1u) << "the program did not join the session";

  {
    auto session = peer.captureAppSessionState();
    session.setTempo(128.0, peer.clock().micros());
    session.requestBeatAtTime(0.0, peer.clock().micros(), 8);
    peer.commitAppSessionState(session);
  }
  for (int waited = 0; waited < 5000; waited += 50) {
    state = c.AskState();
    if (state && std::abs(state->tempo - 128.0f) < 0.01f) break;
  }
  ASSERT_TRUE(state);
  EXPECT_NEAR(state->tempo, 128.0f, 0.01f) << program.Stderr();
  ASSERT_EQ(state->beats, 8);
  ASSERT_EQ(state->frame_count, 100);

  // The answer is given between frames and names the frame last drawn: up to a frame's time
  // either side of the moment asked; the program may be a frame's time off the bar on top, and
  // a frame of the loop's rounding.
  const double loop_frames_per_second = 100 / (8 * 60.0 / 128.0);
  const double frame_seconds = 1.0 / 25;
  const double allowed = 1.0 + 2 * frame_seconds * loop_frames_per_second;
  double worst = 0;
  for (int i = 0; i < 30; ++i) {
    const auto before = peer.clock().micros();
    state = c.AskState();
    const auto after = peer.clock().micros();
    ASSERT_TRUE(state);
    const double expected = peer.captureAppSessionState().phaseAtTime(before + (after - before) / 2, 8) / 8 * 100;
    double d = std::abs(state->frame - expected);
    d = std::min(d, 100 - d);
    const double trip = std::chrono::duration<double>(after - before).count() / 2 * loop_frames_per_second;
    worst = std::max(worst, d - trip);
    SleepMs(37);
  }
  std::printf("worst distance from the session's bar: %.2f frames of 100 (allowed %.2f)\n", worst, allowed);
  EXPECT_LE(worst, allowed);
  EXPECT_TRUE(program.Running());
}

}  // namespace
}  // namespace vl::xtest
