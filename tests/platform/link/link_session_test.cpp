// Two Link peers, the test's own (Link's API) and the program's session, find each other and the
// program follows the session's tempo and bar within one frame. The test moves itself to a network
// namespace of its own that has only the loopback, so nothing leaves the machine.
#include "platform/link/link_session.h"

#include <chrono>
#include <cmath>
#include <functional>
#include <thread>

#include <ableton/Link.hpp>
#include <gtest/gtest.h>

#include "tests/platform/link/loopback_only.h"

namespace vl::link {
namespace {

constexpr double kFrameSeconds = 1.0 / 30;

bool WaitFor(const std::function<bool()>& done, double seconds) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

class LinkSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string why = test::LoopbackOnly();
    if (!why.empty()) GTEST_SKIP() << "SKIPPED: Link needs a loopback-only network for this test: " << why;
  }
};

TEST_F(LinkSessionTest, AloneItKeepsItsOwnTempoAndRefusesNonsense) {
  LinkSession session(95.0);
  EXPECT_FALSE(session.joined());
  EXPECT_EQ(session.Peers(), 0u);
  EXPECT_DOUBLE_EQ(session.Tempo(), 95.0);
  session.ProposeTempo(std::nan(""));
  session.ProposeTempo(-4);
  session.ProposeTempo(1e9);
  EXPECT_DOUBLE_EQ(session.Tempo(), 95.0);
  session.ProposeTempo(140.0);
  EXPECT_DOUBLE_EQ(session.Tempo(), 140.0);
  const double phase = session.LoopPhase(0);  // no beats per loop: a bar of one beat
  EXPECT_GE(phase, 0.0);
  EXPECT_LE(phase, 1.0);
}

TEST_F(LinkSessionTest, FollowsAnotherPeersTempoAndBarWithinAFrame) {
  ableton::Link peer(133.0);
  peer.enable(true);
  LinkSession session(90.0);
  session.Join(true);
  ASSERT_TRUE(WaitFor([&] { return session.Peers() == 1 && peer.numPeers() == 1; }, 10.0))
      << "the peers did not find each other on the loopback";
  // Which of the two sessions both end in is Link's choice; the music program then sets the
  // tempo and its bar of 8 beats, beat 0 a little from now.
  ASSERT_TRUE(WaitFor([&] { return std::abs(session.Tempo() - peer.captureAppSessionState().tempo()) < 1e-3; }, 10.0));
  {
    auto state = peer.captureAppSessionState();
    state.setTempo(133.0, peer.clock().micros());
    state.requestBeatAtTime(0.0, peer.clock().micros() + std::chrono::milliseconds(300), 8);
    peer.commitAppSessionState(state);
  }
  ASSERT_TRUE(WaitFor([&] { return std::abs(session.Tempo() - 133.0) < 1e-3; }, 5.0)) << session.Tempo();

  // Where a loop of 8 beats is, in the session's view and in the peer's, at the same moment.
  auto phase_error_beats = [&] {
    const double ours = session.LoopPhase(8) * 8;
    const auto state = peer.captureAppSessionState();
    const double theirs = state.phaseAtTime(peer.clock().micros(), 8);
    double d = std::abs(ours - theirs);
    return std::min(d, 8 - d);
  };
  const double frame_beats = 133.0 / 60 * kFrameSeconds;
  ASSERT_TRUE(WaitFor([&] { return phase_error_beats() < frame_beats; }, 5.0)) << phase_error_beats();
  for (int i = 0; i < 20; ++i) {
    EXPECT_LT(phase_error_beats(), frame_beats);
    std::this_thread::sleep_for(std::chrono::milliseconds(17));
  }

  // The peer changes tempo: followed. Ours offered: the peer follows.
  {
    auto state = peer.captureAppSessionState();
    state.setTempo(101.5, peer.clock().micros());
    peer.commitAppSessionState(state);
  }
  EXPECT_TRUE(WaitFor([&] { return std::abs(session.Tempo() - 101.5) < 1e-3; }, 5.0)) << session.Tempo();
  EXPECT_TRUE(WaitFor([&] { return phase_error_beats() < 101.5 / 60 * kFrameSeconds; }, 5.0));
  session.ProposeTempo(124.0);
  EXPECT_TRUE(WaitFor([&] { return std::abs(peer.captureAppSessionState().tempo() - 124.0) < 1e-3; }, 5.0));

  // Leaving: no peers for either.
  session.Join(false);
  EXPECT_EQ(session.Peers(), 0u);
  EXPECT_TRUE(WaitFor([&] { return peer.numPeers() == 0; }, 10.0));
}

}  // namespace
}  // namespace vl::link
