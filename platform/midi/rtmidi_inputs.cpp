// MidiInputs over RtMidi's ALSA back end.
#include <chrono>
#include <filesystem>
#include <mutex>
#include <system_error>

#include <RtMidi.h>

#include "platform/midi/midi_input.h"

namespace vl::midi {

double SteadySeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

namespace {

constexpr const char* kClientName = "Vantaloop";
constexpr const char* kSequencerDevice = "/dev/snd/seq";

// RtMidi reports problems through this rather than printing them; warnings are dropped.
void KeepError(RtMidiError::Type type, const std::string& text, void* user) {
  if (type == RtMidiError::WARNING || type == RtMidiError::DEBUG_WARNING) return;
  if (user) *static_cast<std::string*>(user) = text;
}

class RtPort : public MidiPort {
 public:
  RtPort(std::unique_ptr<RtMidiIn> in, MidiInputs::Receiver receiver)
      : in_(std::move(in)), receiver_(std::move(receiver)) {
    // Clock and sysex are wanted (the clock is a tempo source); active sensing is not.
    in_->ignoreTypes(true, false, true);
    in_->setCallback(&RtPort::Received, this);
  }
  ~RtPort() override {
    in_->cancelCallback();
    in_->closePort();
  }

 private:
  static void Received(double, std::vector<unsigned char>* message, void* user) {
    if (!message || message->empty()) return;
    auto* self = static_cast<RtPort*>(user);
    self->receiver_(*message, SteadySeconds());
  }
  std::unique_ptr<RtMidiIn> in_;
  MidiInputs::Receiver receiver_;
};

class RtInputs : public MidiInputs {
 public:
  RtInputs() {
    // Asking ALSA without a sequencer prints its own complaint on stderr: look first.
    std::error_code ec;
    if (!std::filesystem::exists(kSequencerDevice, ec)) {
      problem_ = std::string("No MIDI system: this machine has no ALSA sequencer (") + kSequencerDevice + ")";
      return;
    }
    try {
      lister_ = std::make_unique<RtMidiIn>(RtMidi::LINUX_ALSA, kClientName);
      lister_->setErrorCallback(&KeepError, &last_error_);
    } catch (const RtMidiError& e) {
      problem_ = "No MIDI system: " + e.getMessage();
      lister_.reset();
    }
  }
  std::string Problem() const override { return problem_; }

  std::vector<std::string> Ports() override {
    std::vector<std::string> names;
    if (!lister_) return names;
    std::lock_guard lock(mutex_);
    const unsigned count = lister_->getPortCount();
    for (unsigned i = 0; i < count; ++i) {
      std::string name = lister_->getPortName(i);
      // Our own ports would feed the player back to itself.
      if (!name.empty() && name.rfind(kClientName, 0) != 0) names.push_back(std::move(name));
    }
    return names;
  }

  std::unique_ptr<MidiPort> Open(const std::string& port_name, Receiver receiver, std::string* error) override {
    auto fail = [&](const std::string& why) -> std::unique_ptr<MidiPort> {
      if (error) *error = why;
      return nullptr;
    };
    if (!lister_) return fail(problem_);
    try {
      auto in = std::make_unique<RtMidiIn>(RtMidi::LINUX_ALSA, kClientName);
      std::string opened_error;
      in->setErrorCallback(&KeepError, &opened_error);
      const unsigned count = in->getPortCount();
      for (unsigned i = 0; i < count; ++i) {
        if (in->getPortName(i) != port_name) continue;
        in->openPort(i, "Vantaloop input");
        if (!opened_error.empty() || !in->isPortOpen())
          return fail("MIDI input " + port_name + " could not be opened: " + opened_error);
        return std::make_unique<RtPort>(std::move(in), std::move(receiver));
      }
      return fail("MIDI input " + port_name + " is not connected");
    } catch (const RtMidiError& e) {
      return fail("MIDI input " + port_name + " could not be opened: " + e.getMessage());
    }
  }

 private:
  std::mutex mutex_;
  std::unique_ptr<RtMidiIn> lister_;
  std::string problem_;
  std::string last_error_;
};

}  // namespace

std::unique_ptr<MidiInputs> MakeSystemInputs() { return std::make_unique<RtInputs>(); }

}  // namespace vl::midi
