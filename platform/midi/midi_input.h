// The machine's MIDI inputs behind a small interface, so the learn, mapping and clock logic can be
// driven by a fake in tests. The real one is ALSA's sequencer through RtMidi.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace vl::midi {

// One open input. Closing (destroying) it stops its messages before it returns.
class MidiPort {
 public:
  virtual ~MidiPort() = default;
};

class MidiInputs {
 public:
  virtual ~MidiInputs() = default;
  // Empty when the machine has a MIDI system; else what to tell the user ("No MIDI system: ...").
  virtual std::string Problem() const = 0;
  // The input ports as the system names them now (their numbers change as devices come and go).
  virtual std::vector<std::string> Ports() = 0;
  // Called on a thread of the MIDI system with each complete message and the steady time it came
  // (seconds, as SteadySeconds()).
  using Receiver = std::function<void(const std::vector<uint8_t>& bytes, double seconds)>;
  // Opens the port of that name; null, with `error` said, when it cannot be.
  virtual std::unique_ptr<MidiPort> Open(const std::string& port_name, Receiver receiver, std::string* error) = 0;
};

// ALSA's sequencer. Without one (no /dev/snd/seq, as in most containers) Problem() says so and
// there are no ports.
std::unique_ptr<MidiInputs> MakeSystemInputs();

// Seconds on the steady clock, the time base of Receiver.
double SteadySeconds();

}  // namespace vl::midi
