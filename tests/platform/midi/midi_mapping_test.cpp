#include "platform/midi/midi_mapping.h"

#include <gtest/gtest.h>

namespace vl::midi {
namespace {

using Bytes = std::vector<uint8_t>;

MidiTarget Command(Command c, int slot = 0) {
  MidiTarget t;
  t.kind = TargetKind::kCommand;
  t.command = c;
  t.slot = slot;
  return t;
}

MidiTarget Track(const std::string& name, double low, double high) {
  MidiTarget t;
  t.kind = TargetKind::kTrack;
  t.name = name;
  t.low = low;
  t.high = high;
  return t;
}

std::vector<live::LiveMessage> Feed(MidiMapper& mapper, const Bytes& bytes) { return mapper.Handle(bytes).messages; }

float FloatArg(const live::LiveMessage& m, size_t i) { return std::get<float>(m.args.at(i)); }

TEST(MidiMapping, MalformedAndSystemMessagesGiveNothingAndLearnNothing) {
  MidiMapper mapper;
  mapper.Learn(Command(Command::kPlay));
  for (const Bytes& bytes : {Bytes{}, Bytes{0x90}, Bytes{0x90, 60}, Bytes{0xB0, 0x80, 1}, Bytes{0xB0, 1, 0xFF},
                             Bytes{0x45, 1, 2}, Bytes{0xF8}, Bytes{0xFA}, Bytes{0xF0, 1, 2, 0xF7}}) {
    const auto r = mapper.Handle(bytes);
    EXPECT_TRUE(r.messages.empty());
    EXPECT_FALSE(r.learned);
  }
  EXPECT_TRUE(mapper.learning());
  // Program change has no control to learn either.
  EXPECT_FALSE(mapper.Handle(Bytes{0xC0, 5}).learned);
  EXPECT_TRUE(mapper.mappings().empty());
}

TEST(MidiMapping, LearnMapsTheNextControlMovedAndReplacesItsOldTarget) {
  MidiMapper mapper;
  mapper.Learn(Command(Command::kNext));
  // A key's release while learning is not a control of its own.
  EXPECT_FALSE(mapper.Handle(Bytes{0x80, 60, 0}).learned);
  EXPECT_FALSE(mapper.Handle(Bytes{0x99, 36, 0}).learned);  // note-on at velocity 0 is a release
  const auto r = mapper.Handle(Bytes{0x99, 36, 100});
  ASSERT_TRUE(r.learned);
  EXPECT_EQ(r.learned->control, (MidiControl{ControlKind::kNote, 9, 36}));
  EXPECT_TRUE(r.messages.empty());  // the learning press does not also run the command
  EXPECT_FALSE(mapper.learning());

  mapper.Learn(Command(Command::kLoadSlot, 3));
  ASSERT_TRUE(mapper.Handle(Bytes{0x99, 36, 90}).learned);
  ASSERT_EQ(mapper.mappings().size(), 1u);
  const auto messages = Feed(mapper, Bytes{0x99, 36, 90});
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].address, "/vantaloop/load");
  ASSERT_EQ(messages[0].args.size(), 1u);
  EXPECT_EQ(std::get<int32_t>(messages[0].args[0]), 3);
}

TEST(MidiMapping, CommandsRunOnPressOnlyForNotesAndControllers) {
  MidiMapper mapper;
  mapper.SetMappings({{{ControlKind::kNote, 0, 60}, Command(Command::kPlay)},
                      {{ControlKind::kController, 0, 20}, Command(Command::kTap)}});
  EXPECT_EQ(Feed(mapper, {0x90, 60, 1}).at(0).address, "/vantaloop/play");
  EXPECT_TRUE(Feed(mapper, {0x80, 60, 64}).empty());
  EXPECT_TRUE(Feed(mapper, {0x91, 60, 100}).empty());  // another channel
  // A controller button: 127 then 0 is one press; holding it (127 again) is not another.
  EXPECT_EQ(Feed(mapper, {0xB0, 20, 127}).size(), 1u);
  EXPECT_TRUE(Feed(mapper, {0xB0, 20, 127}).empty());
  EXPECT_TRUE(Feed(mapper, {0xB0, 20, 0}).empty());
  EXPECT_EQ(Feed(mapper, {0xB0, 20, 64}).at(0).address, "/vantaloop/tap");
}

TEST(MidiMapping, RangesScaleSevenAndFourteenBitValues) {
  MidiMapper mapper;
  MidiTarget speed = Track("background_r", 0, 255);
  speed.kind = TargetKind::kSetting;
  speed.name = "speed";
  speed.low = 2.0;
  speed.high = 0.5;  // a reversed range runs backwards
  mapper.SetMappings({{{ControlKind::kController, 2, 7}, Track("background_r", 0, 255)},
                      {{ControlKind::kPitchBend, 0, 0}, speed},
                      {{ControlKind::kNote, 0, 40}, Track("text_rot_x", -90, 90)}});
  auto m = Feed(mapper, {0xB2, 7, 127});
  ASSERT_EQ(m.size(), 1u);
  EXPECT_EQ(m[0].address, "/vantaloop/track");
  EXPECT_EQ(std::get<std::string>(m[0].args[0]), "background_r");
  EXPECT_FLOAT_EQ(FloatArg(m[0], 1), 255.0f);
  EXPECT_FLOAT_EQ(FloatArg(Feed(mapper, {0xB2, 7, 0})[0], 1), 0.0f);

  m = Feed(mapper, {0xE0, 0x7F, 0x7F});
  ASSERT_EQ(m.size(), 1u);
  EXPECT_EQ(m[0].address, "/vantaloop/set");
  EXPECT_FLOAT_EQ(FloatArg(m[0], 1), 0.5f);
  EXPECT_FLOAT_EQ(FloatArg(Feed(mapper, {0xE0, 0, 0})[0], 1), 2.0f);

  // A key: its velocity while down, the bottom of the range when it is let go.
  EXPECT_FLOAT_EQ(FloatArg(Feed(mapper, {0x90, 40, 127})[0], 1), 90.0f);
  EXPECT_FLOAT_EQ(FloatArg(Feed(mapper, {0x90, 40, 0})[0], 1), -90.0f);
}

TEST(MidiMapping, ALowHalfRightAfterItsHighHalfMakesAControllerFourteenBit) {
  MidiMapper mapper;
  mapper.Learn(Track("background_r", 0, 16383));
  EXPECT_TRUE(mapper.Handle(Bytes{0xB0, 1, 0x40}).learned);
  const auto pair = mapper.Handle(Bytes{0xB0, 33, 0x01});
  EXPECT_TRUE(pair.mappings_changed);
  ASSERT_EQ(mapper.mappings().size(), 1u);  // controller 33 was not learned as a control of its own
  EXPECT_TRUE(mapper.mappings()[0].fine);
  ASSERT_EQ(pair.messages.size(), 1u);
  EXPECT_FLOAT_EQ(FloatArg(pair.messages[0], 1), float(0x40 << 7 | 1));

  // High half: the low half starts again from 0; then the low half completes the value.
  EXPECT_FLOAT_EQ(FloatArg(Feed(mapper, {0xB0, 1, 0x7F})[0], 1), float(0x7F << 7));
  EXPECT_FLOAT_EQ(FloatArg(Feed(mapper, {0xB0, 33, 0x7F})[0], 1), 16383.0f);

  // Controller 33 moved alone (not right after 1) is not the low half of anything.
  EXPECT_TRUE(Feed(mapper, {0xB0, 33, 5}).empty());
  // A controller 33 with a mapping of its own stays its own control.
  MidiMapper own;
  own.SetMappings(
      {{{ControlKind::kController, 0, 1}, Track("a", 0, 1)}, {{ControlKind::kController, 0, 33}, Track("b", 0, 127)}});
  Feed(own, {0xB0, 1, 10});
  const auto b = Feed(own, {0xB0, 33, 127});
  ASSERT_EQ(b.size(), 1u);
  EXPECT_EQ(std::get<std::string>(b[0].args[0]), "b");
  EXPECT_FALSE(own.mappings()[0].fine);
}

TEST(MidiMapping, TextRoundTripsAndRefusesWhatIsOutOfRange) {
  const std::vector<MidiMapping> all = {
      {{ControlKind::kNote, 15, 127}, Command(Command::kLoadSlot, 12)},
      {{ControlKind::kController, 0, 7}, Track("background_r", 0, 255), true},
      {{ControlKind::kPitchBend, 3, 0}, Track("text_rot_x", -0.125, 1e6)},
      {{ControlKind::kController, 1, 64}, Command(Command::kPrevious)},
      {{ControlKind::kController, 1, 65}, {TargetKind::kSetting, Command::kPlay, 0, "particle_count", 0, 1000, true}},
  };
  for (const MidiMapping& m : all) {
    const auto back = ParseMapping(FormatMapping(m));
    ASSERT_TRUE(back) << FormatMapping(m);
    EXPECT_EQ(*back, m) << FormatMapping(m);
  }
  EXPECT_EQ(FormatMapping(all[1]), "cc 1 7 fine track background_r 0 255");
  for (const char* bad : {"",
                          "cc",
                          "cc 0 7 command play",
                          "cc 17 7 command play",
                          "cc 1 128 command play",
                          "cc 1 -1 command play",
                          "cc 1 7 command dance",
                          "cc 1 7 command load",
                          "cc 1 7 command load -2",
                          "cc 1 7 command play extra",
                          "cc 1 40 fine command play",
                          "note 1 7 fine command play",
                          "bend 1 5 command play",
                          "cc 1 7 track a 0",
                          "cc 1 7 track a nan 1",
                          "cc 1 7 track a 0 inf",
                          "cc 1 7 track a\x1b[2J 0 1",
                          "cc 1 7 track a;b 0 1",
                          "cc 1 7 track a 0 1 whole",
                          "cc 1 7x command play",
                          "knob 1 7 command play"}) {
    EXPECT_FALSE(ParseMapping(bad)) << bad;
  }
}

TEST(MidiMapping, DeviceNamesLeaveOutTheNumbersThatChange) {
  EXPECT_EQ(DeviceName("nanoKONTROL2:nanoKONTROL2 MIDI 1 24:0"), "nanoKONTROL2:nanoKONTROL2 MIDI 1");
  EXPECT_EQ(DeviceName("Midi Through:Midi Through Port-0 14:0"), "Midi Through:Midi Through Port-0");
  EXPECT_EQ(DeviceName("Pad 128:3"), "Pad");
  EXPECT_EQ(DeviceName("Pad:Port 12"), "Pad:Port 12");  // no client:port at the end
  EXPECT_EQ(DeviceName("24:0"), "24:0");
  EXPECT_EQ(DeviceName(""), "");
}

}  // namespace
}  // namespace vl::midi
