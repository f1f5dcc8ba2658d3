// MIDI clock from a fake input driving the player's beat clock: the tempo is taken, and Start puts
// frame 0 of a locked loop on the downbeat.
#include <gtest/gtest.h>

#include "platform/link/beat_follow.h"
#include "platform/midi/midi_remote.h"
#include "tests/platform/midi/fake_inputs.h"

namespace vl::midi {
namespace {

TEST(MidiClockFollow, StartPutsFrameZeroOnTheDownbeatAndTheTempoIsTaken) {
  testing::FakeInputs inputs;
  inputs.ports = {"Drum machine 20:0"};
  MidiRemote remote(inputs);
  remote.SetDevice("Drum machine");
  engine::BeatClock beat;
  beat.SetBeatsPerLoop(4, 0.0);
  constexpr int kFrames = 100;
  const double step = 60.0 / 100.0 / kClocksPerBeat;  // 100 BPM

  // Clock running before Start: a tempo, no place yet.
  double t = 50.0;
  for (int i = 0; i < 48; ++i, t += step) inputs.Send({0xF8}, t);
  remote.Drain();
  link::FollowBeat(beat, link::MidiClockBeat(remote.clock(), 4, t), t);
  EXPECT_NEAR(beat.Tempo(), 100.0, 0.01);

  // Start, then the downbeat clock: frame 0 there; half a loop (2 beats) later, frame 50.
  inputs.Send({0xFA}, t);
  const double downbeat = t;
  for (int i = 0; i <= 2 * kClocksPerBeat; ++i, t += step) {
    inputs.Send({0xF8}, t);
    const auto drained = remote.Drain();
    if (i == 0) { EXPECT_TRUE(drained.clock_started); }
    link::FollowBeat(beat, link::MidiClockBeat(remote.clock(), 4, t), t);
    if (i == 0) { EXPECT_EQ(beat.FrameAt(t, kFrames), 0); }
  }
  const double half = downbeat + 2 * 60.0 / 100.0;
  EXPECT_EQ(beat.FrameAt(half, kFrames), 50);

  // A tempo the beat clock would refuse (the clock stopped coming) leaves it as it was.
  link::FollowBeat(beat, link::MidiClockBeat(remote.clock(), 4, t + 5.0), t + 5.0);
  EXPECT_NEAR(beat.Tempo(), 100.0, 0.01);
}

}  // namespace
}  // namespace vl::midi
