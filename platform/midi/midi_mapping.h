// MIDI learn: which control on a device (a note, a controller, the pitch bend) drives which target
// (a player command, a track or a setting with a range), and the messages for the player that a
// control's move gives. Pure logic: no MIDI system, no Qt, no clock.
#pragma once
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/live/live_message.h"

namespace vl::midi {

enum class ControlKind : uint8_t { kNote, kController, kPitchBend };

// One control of a device: channel 0..15; a note or controller number 0..127 (0 for pitch bend).
struct MidiControl {
  ControlKind kind = ControlKind::kController;
  int channel = 0;
  int number = 0;
  bool operator==(const MidiControl&) const = default;
};

enum class TargetKind : uint8_t { kCommand, kTrack, kSetting };
enum class Command : uint8_t { kPlay, kStop, kNext, kPrevious, kTap, kLoadSlot };

struct MidiTarget {
  TargetKind kind = TargetKind::kCommand;
  Command command = Command::kPlay;
  int slot = 0;        // the library slot kLoadSlot loads
  std::string name;    // the track or setting
  double low = 0.0;    // the value the control's lowest position gives
  double high = 1.0;   // ... and its highest
  bool whole = false;  // a setting that takes whole numbers: the value is rounded and sent as one
  bool operator==(const MidiTarget&) const = default;
};

struct MidiMapping {
  MidiControl control;
  MidiTarget target;
  // A controller 0..31 whose low 7 bits follow on controller + 32: read with 14 bits.
  bool fine = false;
  bool operator==(const MidiMapping&) const = default;
};

// A person's words for a control or a target ("CC 7, channel 1", "Load slot 3").
std::string DescribeControl(const MidiControl& control, bool fine = false);
std::string DescribeTarget(const MidiTarget& target);
// The player message a target sends, as it is written in the README ("/vantaloop/load").
std::string TargetAddress(const MidiTarget& target);

// One mapping as a line of text for the settings, and back. Parsing refuses anything out of range
// (numbers, names with spaces or control characters, a range that is not finite).
std::string FormatMapping(const MidiMapping& mapping);
std::optional<MidiMapping> ParseMapping(std::string_view text);

// The ALSA port name without the client and port numbers it ends with ("nanoKONTROL2:nanoKONTROL2
// MIDI 1 24:0" -> "nanoKONTROL2:nanoKONTROL2 MIDI 1"): those change from one plug-in to the next,
// so mappings are kept under this name.
std::string DeviceName(std::string_view port_name);

// Turns a device's channel messages into player messages through its mappings, and learns.
class MidiMapper {
 public:
  void SetMappings(std::vector<MidiMapping> mappings);
  const std::vector<MidiMapping>& mappings() const { return mappings_; }

  // The next control moved is mapped to `target` (replacing what that control did before).
  void Learn(MidiTarget target);
  void CancelLearn() { learning_.reset(); }
  bool learning() const { return learning_.has_value(); }

  struct Result {
    std::vector<live::LiveMessage> messages;
    std::optional<MidiMapping> learned;  // set when this message completed a learn
    bool mappings_changed = false;       // learned, or a controller found to send 14 bits
  };
  // One complete MIDI message (status byte first). System and malformed messages give nothing.
  Result Handle(std::span<const uint8_t> bytes);

 private:
  bool TakeLowHalf(const MidiControl& control, int value, Result& result);
  void Learned(const MidiControl& control, Result& result);
  std::vector<live::LiveMessage> Apply(const MidiMapping& mapping, double fraction, bool pressed, bool released);

  std::vector<MidiMapping> mappings_;
  std::optional<MidiTarget> learning_;
  // The last value of each controller, for 14-bit pairs and for buttons (a press is a rise
  // through the middle).
  uint8_t controller_[16][128] = {};
  uint16_t pitch_[16] = {8192, 8192, 8192, 8192, 8192, 8192, 8192, 8192,
                         8192, 8192, 8192, 8192, 8192, 8192, 8192, 8192};
  // The last channel message, to recognise a 14-bit pair (its low half comes right after).
  std::optional<MidiControl> last_;
};

}  // namespace vl::midi
