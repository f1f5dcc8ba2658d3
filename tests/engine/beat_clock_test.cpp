// Loops locked to the beat: tempo, beats per pass, taps and an outside phase decide the frame.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "engine/beat_clock.h"

namespace {

using vl::engine::BeatClock;

constexpr int kFrames = 100;  // a loop of 100 frames, shown at 25 frames a second

TEST(BeatClock, UnlockedUntilItHasBothATempoAndBeats) {
  BeatClock c;
  EXPECT_FALSE(c.Locked());
  c.SetTempo(120, 0);
  EXPECT_FALSE(c.Locked());
  c.SetBeatsPerLoop(8, 0);
  EXPECT_TRUE(c.Locked());
  c.SetTempo(0, 1);
  EXPECT_FALSE(c.Locked());
  EXPECT_EQ(c.FrameAt(5, 0), 0);  // no frames: nothing to divide by
  // Poison from outside leaves the clock as it was.
  c.SetTempo(std::numeric_limits<double>::quiet_NaN(), 2);
  c.SetTempo(-5, 2);
  c.SetBeatsPerLoop(-1, 2);
  c.SetLoopPhase(std::numeric_limits<double>::infinity(), 2);
  EXPECT_EQ(c.Tempo(), 0.0);
  EXPECT_EQ(c.BeatsPerLoop(), 8);
}

TEST(BeatClock, Tempo120AndEightBeatsMakeOnePassLastFourSeconds) {
  BeatClock c;
  c.SetTempo(120, 10.0);
  c.SetBeatsPerLoop(8, 10.0);
  c.SetLoopPhase(0, 10.0);
  EXPECT_EQ(c.FrameAt(10.0, kFrames), 0);
  EXPECT_EQ(c.FrameAt(12.0, kFrames), 50);  // half way after 2 s
  EXPECT_EQ(c.FrameAt(13.99, kFrames), 99);
  EXPECT_EQ(c.FrameAt(14.0, kFrames), 0);  // the next pass begins after exactly 4 s
  EXPECT_EQ(c.FrameAt(54.0, kFrames), 0);  // and keeps to it ten passes on
  EXPECT_NEAR(c.BeatAt(11.5), 3.0, 1e-9);
  // A loop longer than the beat shows frames skipped; one shorter shows frames repeated.
  EXPECT_EQ(c.FrameAt(12.0, 1000), 500);
  EXPECT_EQ(c.FrameAt(12.0, 10), 5);
}

TEST(BeatClock, ATempoChangeKeepsThePlaceInTheLoop) {
  BeatClock c;
  c.SetTempo(120, 0);
  c.SetBeatsPerLoop(8, 0);
  c.SetLoopPhase(0, 0);
  ASSERT_EQ(c.FrameAt(1.0, kFrames), 25);  // beat 2 of 8
  c.SetTempo(60, 1.0);
  EXPECT_EQ(c.FrameAt(1.0, kFrames), 25);  // no jump
  EXPECT_EQ(c.FrameAt(2.0, kFrames), 37);  // beat 3 of 8 a second later
  // Fewer beats per loop keep the beat count: beat 3 of a 4-beat loop is three quarters through.
  c.SetBeatsPerLoop(4, 2.0);
  EXPECT_EQ(c.FrameAt(2.0, kFrames), 75);
}

TEST(BeatClock, TapsGiveTheTempoAndPutTheDownbeatOnTheLastTap) {
  BeatClock c;
  c.SetBeatsPerLoop(8, 0);
  c.Tap(3.0);
  EXPECT_EQ(c.Tempo(), 0.0);  // one tap gives no interval
  // A hand is not exact: taps about half a second apart, a few milliseconds either way.
  const double taps[] = {3.503, 3.998, 4.507, 5.001};
  for (double t : taps) c.Tap(t);
  EXPECT_NEAR(c.Tempo(), 120.0, 1.0);
  ASSERT_TRUE(c.Locked());
  // The tap is frame 0, and the downbeats after it land within one frame (40 ms at 25 fps) of
  // where the music's beat puts them: 4 s per pass at 120 BPM.
  EXPECT_EQ(c.FrameAt(5.001, kFrames), 0);
  for (int pass = 1; pass <= 4; ++pass) {
    const double downbeat = 5.001 + 4.0 * pass;
    double first_zero = -1;
    for (double t = downbeat - 0.2; t < downbeat + 0.2; t += 0.001) {
      if (c.FrameAt(t, kFrames) == 0) {
        first_zero = t;
        break;
      }
    }
    ASSERT_GE(first_zero, 0) << "pass " << pass;
    EXPECT_LE(std::fabs(first_zero - downbeat), 0.040) << "pass " << pass;
  }
}

TEST(BeatClock, TapsFarApartStartANewCountAndKeepTheTempo) {
  BeatClock c;
  c.SetBeatsPerLoop(4, 0);
  c.Tap(0.0);
  c.Tap(0.5);
  ASSERT_NEAR(c.Tempo(), 120.0, 1e-9);
  c.Tap(10.0);  // long after: a downbeat, not a tempo of 6 BPM
  EXPECT_NEAR(c.Tempo(), 120.0, 1e-9);
  EXPECT_EQ(c.FrameAt(10.0, kFrames), 0);
  c.Tap(10.25);  // the new count: 240 BPM
  EXPECT_NEAR(c.Tempo(), 240.0, 1e-9);
  // A double tap (the same instant) does not divide by zero.
  c.Tap(10.25);
  EXPECT_TRUE(std::isfinite(c.Tempo()));
  EXPECT_LE(c.Tempo(), BeatClock::kMaxTempo);
}

TEST(BeatClock, AnOutsidePhasePlacesTheLoop) {
  BeatClock c;
  c.SetTempo(120, 0);
  c.SetBeatsPerLoop(8, 0);
  c.SetLoopPhase(0.5, 7.0);
  EXPECT_EQ(c.FrameAt(7.0, kFrames), 50);
  c.SetLoopPhase(1.25, 7.0);  // whole passes are dropped
  EXPECT_EQ(c.FrameAt(7.0, kFrames), 25);
  c.SetLoopPhase(-0.25, 7.0);
  EXPECT_EQ(c.FrameAt(7.0, kFrames), 75);
  // Times before the anchor still give a frame of the loop.
  EXPECT_EQ(c.FrameAt(6.0, kFrames), 50);
}

}  // namespace
