// A MIDI system in memory: ports come and go as the test says, and Send plays a message into the
// open port as the MIDI thread would.
#pragma once
#include <algorithm>
#include <string>
#include <vector>

#include "platform/midi/midi_input.h"

namespace vl::midi::testing {

class FakeInputs : public MidiInputs {
 public:
  std::vector<std::string> ports;
  std::string problem;
  int opened = 0;

  std::string Problem() const override { return problem; }
  std::vector<std::string> Ports() override { return ports; }
  std::unique_ptr<MidiPort> Open(const std::string& port_name, Receiver receiver, std::string* error) override {
    if (std::find(ports.begin(), ports.end(), port_name) == ports.end()) {
      if (error) *error = "not there";
      return nullptr;
    }
    ++opened;
    open_name_ = port_name;
    receiver_ = std::move(receiver);
    return std::make_unique<Port>(*this);
  }

  bool IsOpen() const { return static_cast<bool>(receiver_); }
  const std::string& open_name() const { return open_name_; }
  void Send(const std::vector<uint8_t>& bytes, double seconds = 0.0) {
    if (receiver_) receiver_(bytes, seconds);
  }

 private:
  struct Port : MidiPort {
    explicit Port(FakeInputs& owner) : owner(owner) {}
    ~Port() override { owner.receiver_ = nullptr; }
    FakeInputs& owner;
  };
  Receiver receiver_;
  std::string open_name_;
};

}  // namespace vl::midi::testing
