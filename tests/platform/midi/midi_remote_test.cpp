#include "platform/midi/midi_remote.h"

#include <gtest/gtest.h>

#include "tests/platform/midi/fake_inputs.h"

namespace vl::midi {
namespace {

using testing::FakeInputs;

MidiTarget Play() { return MidiTarget{}; }

TEST(MidiRemote, FollowsTheDeviceByNameAcrossPortNumbers) {
  FakeInputs inputs;
  inputs.ports = {"Midi Through:Midi Through Port-0 14:0"};
  MidiRemote remote(inputs);
  EXPECT_EQ(remote.Devices(), std::vector<std::string>{"Midi Through:Midi Through Port-0"});
  remote.SetDevice("Pad:Pad MIDI 1");
  EXPECT_FALSE(remote.connected());
  EXPECT_EQ(remote.Poll(), "");

  // Plugged in: opened at the next look, whatever its numbers.
  inputs.ports.push_back("Pad:Pad MIDI 1 24:0");
  EXPECT_EQ(remote.Poll(), "MIDI input Pad:Pad MIDI 1 connected");
  EXPECT_TRUE(remote.connected());
  EXPECT_EQ(inputs.open_name(), "Pad:Pad MIDI 1 24:0");
  remote.Learn(Play());
  inputs.Send({0x90, 36, 100});
  const auto learned = remote.Drain();
  ASSERT_TRUE(learned.learned);
  EXPECT_TRUE(learned.mappings_changed);

  // Unplugged: closed and said; plugged into another socket: back, with its mapping.
  inputs.ports.pop_back();
  EXPECT_NE(remote.Poll().find("disconnected"), std::string::npos);
  EXPECT_FALSE(inputs.IsOpen());
  inputs.ports.push_back("Pad:Pad MIDI 1 28:0");
  EXPECT_NE(remote.Poll(), "");
  EXPECT_EQ(inputs.opened, 2);
  inputs.Send({0x90, 36, 100});
  const auto played = remote.Drain();
  ASSERT_EQ(played.messages.size(), 1u);
  EXPECT_EQ(played.messages[0].address, "/vantaloop/play");
}

TEST(MidiRemote, MappingsBelongToTheirDevice) {
  FakeInputs inputs;
  inputs.ports = {"A 20:0", "B 21:0"};
  MidiRemote remote(inputs);
  remote.SetMappings("A", {{{ControlKind::kNote, 0, 1}, Play()}});
  remote.SetMappings("B", {{{ControlKind::kNote, 0, 2}, Play()}});
  remote.SetDevice("B");
  inputs.Send({0x90, 1, 100});
  EXPECT_TRUE(remote.Drain().messages.empty());  // A's key does nothing on B
  inputs.Send({0x90, 2, 100});
  EXPECT_EQ(remote.Drain().messages.size(), 1u);

  // Learning on B leaves A's mappings as they were.
  remote.Learn(Play());
  inputs.Send({0xB0, 5, 3});
  remote.Drain();
  EXPECT_EQ(remote.Mappings("A").size(), 1u);
  EXPECT_EQ(remote.Mappings("B").size(), 2u);
  // A learn that is not finished is dropped with the device.
  remote.Learn(Play());
  remote.SetDevice("A");
  EXPECT_FALSE(remote.learning());
  remote.SetMappings("A", {});
  EXPECT_EQ(remote.all_mappings().count("A"), 0u);
}

TEST(MidiRemote, ClockAndControlsArriveInOrderAndTheQueueIsBounded) {
  FakeInputs inputs;
  inputs.ports = {"Clock 20:0"};
  MidiRemote remote(inputs);
  remote.SetDevice("Clock");
  remote.SetMappings("Clock", {{{ControlKind::kNote, 0, 1}, Play()}});
  int wakes = 0;
  remote.set_wake([&] { ++wakes; });
  inputs.Send({0xFA}, 10.0);
  for (int i = 0; i < 48; ++i) inputs.Send({0xF8}, 10.0 + i * 0.02);
  inputs.Send({0x90, 1, 100}, 11.0);
  EXPECT_EQ(wakes, 1);  // one wake for everything waiting
  const auto drained = remote.Drain();
  EXPECT_TRUE(drained.clock_started);
  EXPECT_EQ(drained.messages.size(), 1u);
  EXPECT_NEAR(remote.clock().Tempo(10.96), 125.0, 0.01);  // 20 ms a clock
  EXPECT_NEAR(remote.clock().BeatAt(10.94), 47.0 / 24, 1e-9);

  // A player that never drains does not make the queue grow without end.
  for (int i = 0; i < 100000; ++i) inputs.Send({0xF8}, 12.0);
  inputs.Send({0x90, 1, 100}, 12.0);
  const auto flooded = remote.Drain();
  EXPECT_TRUE(flooded.messages.empty());
  inputs.Send({0x90, 1, 100}, 12.0);
  EXPECT_EQ(remote.Drain().messages.size(), 1u);
}

}  // namespace
}  // namespace vl::midi
