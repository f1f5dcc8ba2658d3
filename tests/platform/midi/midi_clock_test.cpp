#include "platform/midi/midi_clock.h"

#include <cmath>
#include <random>
#include <vector>

#include <gtest/gtest.h>

namespace vl::midi {
namespace {

using Bytes = std::vector<uint8_t>;
const Bytes kTick{0xF8}, kStart{0xFA}, kContinue{0xFB}, kStop{0xFC};

// Sends `beats` beats of clock at `bpm` from `t`, each clock off by up to `jitter` seconds;
// returns the time of the next clock.
double Play(MidiClock& clock, double t, double bpm, double beats, double jitter = 0.0, unsigned seed = 1) {
  std::mt19937 random(seed);
  std::uniform_real_distribution<double> off(-jitter, jitter);
  const double step = 60.0 / bpm / kClocksPerBeat;
  const int clocks = static_cast<int>(std::lround(beats * kClocksPerBeat));
  for (int i = 0; i < clocks; ++i) clock.Feed(kTick, t + i * step + off(random));
  return t + clocks * step;
}

TEST(MidiClock, TempoFromClocksIsSmoothedAndGoneWhenTheyStop) {
  MidiClock clock;
  EXPECT_EQ(clock.Tempo(0), 0.0);
  clock.Feed(kTick, 0.0);
  clock.Feed(kTick, 0.02);
  EXPECT_EQ(clock.Tempo(0.02), 0.0);             // two clocks are no tempo yet
  double t = Play(clock, 1.0, 128.0, 4, 0.002);  // a USB device's jitter: 2 ms either way
  EXPECT_NEAR(clock.Tempo(t), 128.0, 0.5);
  t = Play(clock, t, 90.0, 2);
  EXPECT_NEAR(clock.Tempo(t), 90.0, 0.01);  // a beat later the old tempo has left the window
  EXPECT_EQ(clock.Tempo(t + 1.0), 0.0);     // the sender stopped
  // After a pause the old clocks do not count towards the new tempo.
  t = Play(clock, t + 3.0, 140.0, 1);
  EXPECT_NEAR(clock.Tempo(t), 140.0, 0.01);
}

TEST(MidiClock, StartPutsTheDownbeatOnTheNextClock) {
  MidiClock clock;
  double t = Play(clock, 0.0, 120.0, 2);  // clocks before Start only give the tempo
  EXPECT_FALSE(clock.Running());
  EXPECT_EQ(clock.BeatAt(t), 0.0);
  clock.Feed(kStart, t);
  EXPECT_TRUE(clock.Running());
  EXPECT_EQ(clock.LoopPhase(4, t), 0.0);
  // 6 beats at 120 BPM: 3 s; a loop of 4 beats is half way through its second pass.
  const double start = t + 0.01;
  t = Play(clock, start, 120.0, 6);
  EXPECT_NEAR(clock.BeatAt(t - 60.0 / 120 / kClocksPerBeat), 6.0 - 1.0 / kClocksPerBeat, 1e-9);
  EXPECT_NEAR(clock.LoopPhase(4, start + 3.0 - 0.0208), 0.5 - 0.0208 * 2 / 4, 1e-3);
  // Between clocks the beat moves on at the tempo, but never past the next clock's place.
  EXPECT_NEAR(clock.BeatAt(t + 5.0), clock.BeatAt(t - 0.02) + 1.0 / kClocksPerBeat, 0.05);
  EXPECT_EQ(clock.LoopPhase(0, t), 0.0);
}

TEST(MidiClock, StopHoldsThePlaceAndContinueResumesIt) {
  MidiClock clock;
  clock.Feed(kStart, 0.0);
  double t = Play(clock, 0.0, 120.0, 3);
  clock.Feed(kStop, t);
  const double held = clock.BeatAt(t);
  t = Play(clock, t, 120.0, 2);  // the clock goes on; the song does not
  EXPECT_FALSE(clock.Running());
  EXPECT_NEAR(clock.BeatAt(t), held, 1e-9);
  clock.Feed(kContinue, t);
  t = Play(clock, t, 120.0, 1);
  EXPECT_NEAR(clock.BeatAt(t - 0.0208), held + 1.0, 0.01);  // the last of 24 more clocks
  // Song position: 8 sixteenths is 2 beats, counted from the next clock.
  clock.Feed(Bytes{0xF2, 8, 0}, t);
  Play(clock, t, 120.0, 1.0 / kClocksPerBeat);
  EXPECT_NEAR(clock.BeatAt(t), 2.0, 1e-9);
  EXPECT_EQ(clock.Feed(Bytes{0xF2, 0x80, 0}, t), MidiClock::Event::kNone);
  EXPECT_EQ(clock.Feed(Bytes{0xF2}, t), MidiClock::Event::kNone);
  EXPECT_EQ(clock.Feed(Bytes{0x90, 1, 2}, t), MidiClock::Event::kNone);
}

}  // namespace
}  // namespace vl::midi
