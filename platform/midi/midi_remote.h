// MIDI remote control: the chosen input device (by name: it is opened whenever it is connected,
// and again when it comes back), its learned mappings, and its clock. Messages arrive on the MIDI
// system's thread and wait in a queue; the player's thread takes them with Drain() between frames.
#pragma once
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/live/live_message.h"
#include "platform/midi/midi_clock.h"
#include "platform/midi/midi_input.h"
#include "platform/midi/midi_mapping.h"

namespace vl::midi {

class MidiRemote {
 public:
  explicit MidiRemote(MidiInputs& inputs);
  ~MidiRemote();

  // The device to follow (a DeviceName); empty follows none. Opens it at once when connected.
  void SetDevice(const std::string& device);
  const std::string& device() const { return device_; }
  bool connected() const { return port_ != nullptr; }
  // The connected devices, by DeviceName, in the system's order.
  std::vector<std::string> Devices();

  // Every device's mappings, kept whether or not the device is connected.
  const std::map<std::string, std::vector<MidiMapping>>& all_mappings() const { return mappings_; }
  void SetMappings(const std::string& device, std::vector<MidiMapping> mappings);
  std::vector<MidiMapping> Mappings(const std::string& device) const;

  // The next control moved on the device maps to `target`.
  void Learn(MidiTarget target);
  void CancelLearn();
  bool learning() const;

  // Looks whether the device came or went; returns what the user should be told, else empty.
  std::string Poll();

  struct Drained {
    std::vector<live::LiveMessage> messages;
    std::optional<MidiMapping> learned;
    bool mappings_changed = false;
    bool clock_started = false;  // a Start since the last Drain: the downbeat is now
  };
  // What came since the last call, in order.
  Drained Drain();
  const MidiClock& clock() const { return clock_; }

  // Called (on the MIDI thread) when a message is queued, so the player can Drain soon.
  void set_wake(std::function<void()> wake);

 private:
  void Received(const std::vector<uint8_t>& bytes, double seconds);
  std::string OpenDevice();
  std::string PortOf(const std::string& device);

  MidiInputs& inputs_;
  std::string device_;
  std::unique_ptr<MidiPort> port_;
  std::map<std::string, std::vector<MidiMapping>> mappings_;

  // Shared with the MIDI thread.
  mutable std::mutex mutex_;
  struct Pending {
    std::vector<uint8_t> bytes;
    double seconds;
  };
  std::vector<Pending> queue_;
  std::function<void()> wake_;
  MidiMapper mapper_;  // the device's mappings, touched on the player's thread only
  MidiClock clock_;
};

}  // namespace vl::midi
