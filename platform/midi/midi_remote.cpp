#include "platform/midi/midi_remote.h"

namespace vl::midi {

namespace {
// Messages held for a player that does not drain them (a stalled frame): past this, new ones are
// dropped rather than memory growing.
constexpr size_t kMaxQueued = 8192;
}  // namespace

MidiRemote::MidiRemote(MidiInputs& inputs) : inputs_(inputs) {}

MidiRemote::~MidiRemote() { port_.reset(); }

void MidiRemote::set_wake(std::function<void()> wake) {
  std::lock_guard lock(mutex_);
  wake_ = std::move(wake);
}

std::vector<std::string> MidiRemote::Devices() {
  std::vector<std::string> names;
  for (const std::string& port : inputs_.Ports()) names.push_back(DeviceName(port));
  return names;
}

std::string MidiRemote::PortOf(const std::string& device) {
  for (const std::string& port : inputs_.Ports())
    if (DeviceName(port) == device) return port;
  return {};
}

void MidiRemote::SetMappings(const std::string& device, std::vector<MidiMapping> mappings) {
  if (device == device_) mapper_.SetMappings(mappings);
  if (mappings.empty()) {
    mappings_.erase(device);
  } else {
    mappings_[device] = std::move(mappings);
  }
}

std::vector<MidiMapping> MidiRemote::Mappings(const std::string& device) const {
  const auto found = mappings_.find(device);
  return found == mappings_.end() ? std::vector<MidiMapping>{} : found->second;
}

void MidiRemote::Learn(MidiTarget target) { mapper_.Learn(std::move(target)); }
void MidiRemote::CancelLearn() { mapper_.CancelLearn(); }
bool MidiRemote::learning() const { return mapper_.learning(); }

void MidiRemote::SetDevice(const std::string& device) {
  if (device == device_ && (port_ || device.empty())) return;
  port_.reset();
  device_ = device;
  mapper_.SetMappings(Mappings(device_));
  mapper_.CancelLearn();
  {
    std::lock_guard lock(mutex_);
    queue_.clear();
  }
  clock_ = MidiClock();
  if (!device_.empty()) OpenDevice();
}

std::string MidiRemote::OpenDevice() {
  const std::string port = PortOf(device_);
  if (port.empty()) return {};
  std::string error;
  port_ = inputs_.Open(
      port, [this](const std::vector<uint8_t>& bytes, double seconds) { Received(bytes, seconds); }, &error);
  if (!port_) return error;
  return "MIDI input " + device_ + " connected";
}

std::string MidiRemote::Poll() {
  if (device_.empty()) return {};
  const std::string port = PortOf(device_);
  if (port_ && port.empty()) {
    port_.reset();
    clock_ = MidiClock();
    return "MIDI input " + device_ + " disconnected; it is used again when it comes back";
  }
  if (!port_ && !port.empty()) return OpenDevice();
  return {};
}

void MidiRemote::Received(const std::vector<uint8_t>& bytes, double seconds) {
  std::function<void()> wake;
  {
    std::lock_guard lock(mutex_);
    if (queue_.size() >= kMaxQueued) return;
    queue_.push_back({bytes, seconds});
    // One wake per batch: the player drains everything at once.
    if (queue_.size() == 1) wake = wake_;
  }
  if (wake) wake();
}

MidiRemote::Drained MidiRemote::Drain() {
  std::vector<Pending> taken;
  {
    std::lock_guard lock(mutex_);
    taken.swap(queue_);
  }
  Drained out;
  for (const Pending& p : taken) {
    if (p.bytes.empty()) continue;
    if (p.bytes[0] >= 0xF0) {
      if (clock_.Feed(p.bytes, p.seconds) == MidiClock::Event::kStart) out.clock_started = true;
      continue;
    }
    MidiMapper::Result r = mapper_.Handle(p.bytes);
    for (auto& m : r.messages) out.messages.push_back(std::move(m));
    if (r.learned) out.learned = r.learned;
    if (r.mappings_changed) {
      out.mappings_changed = true;
      mappings_[device_] = mapper_.mappings();
    }
  }
  return out;
}

}  // namespace vl::midi
