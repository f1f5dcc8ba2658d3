// The real MIDI system: a port this test makes on ALSA's sequencer is listed by its device name,
// opened, and its messages arrive. Needs /dev/snd/seq; skipped, and said, without it.
#include <chrono>
#include <filesystem>
#include <thread>

#include <RtMidi.h>
#include <gtest/gtest.h>

#include "platform/midi/midi_remote.h"

namespace vl::midi {
namespace {

constexpr const char* kSequencer = "/dev/snd/seq";

TEST(AlsaInputs, WithoutASequencerTheProblemIsSaidAndThereAreNoPorts) {
  if (std::filesystem::exists(kSequencer)) GTEST_SKIP() << kSequencer << " exists: this machine has a MIDI system";
  auto inputs = MakeSystemInputs();
  EXPECT_NE(inputs->Problem().find("No MIDI system"), std::string::npos) << inputs->Problem();
  EXPECT_TRUE(inputs->Ports().empty());
  std::string error;
  EXPECT_EQ(inputs->Open(
                "Anything", [](const std::vector<uint8_t>&, double) {}, &error),
            nullptr);
  EXPECT_FALSE(error.empty());
}

TEST(AlsaInputs, AVirtualDeviceIsFoundByNameAndItsMessagesArrive) {
  if (!std::filesystem::exists(kSequencer))
    GTEST_SKIP() << "SKIPPED: no ALSA sequencer (" << kSequencer << ") on this machine; the real MIDI test needs one "
                 << "(modprobe snd-seq, or a container given /dev/snd)";
  auto inputs = MakeSystemInputs();
  ASSERT_EQ(inputs->Problem(), "");
  RtMidiOut pad(RtMidi::LINUX_ALSA, "Learn Test Pad");
  pad.openVirtualPort("Pads");
  MidiRemote remote(*inputs);
  std::string device;
  for (const std::string& name : remote.Devices())
    if (name.rfind("Learn Test Pad", 0) == 0) device = name;
  ASSERT_FALSE(device.empty()) << "the virtual port is not listed";
  EXPECT_EQ(device.find_first_of("0123456789"), std::string::npos) << device;  // no client:port numbers
  remote.SetDevice(device);
  ASSERT_TRUE(remote.connected());
  remote.Learn(MidiTarget{});
  const std::vector<unsigned char> note{0x90, 36, 100};
  pad.sendMessage(&note);
  MidiRemote::Drained drained;
  for (int i = 0; i < 200 && !drained.learned; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    drained = remote.Drain();
  }
  ASSERT_TRUE(drained.learned);
  pad.sendMessage(&note);
  for (int i = 0; i < 200 && drained.messages.empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    drained = remote.Drain();
  }
  ASSERT_EQ(drained.messages.size(), 1u);
  EXPECT_EQ(drained.messages[0].address, "/vantaloop/play");
}

}  // namespace
}  // namespace vl::midi
