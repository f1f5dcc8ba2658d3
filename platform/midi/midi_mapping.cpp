#include "platform/midi/midi_mapping.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <sstream>

namespace vl::midi {

namespace {

constexpr const char* kCommandWords[] = {"play", "stop", "next", "previous", "tap", "load"};
constexpr const char* kCommandNames[] = {"Play", "Stop", "Next loop", "Previous loop", "Tap tempo", "Load slot"};
constexpr const char* kCommandAddresses[] = {"/vantaloop/play",     "/vantaloop/stop", "/vantaloop/next",
                                             "/vantaloop/previous", "/vantaloop/tap",  "/vantaloop/load"};
constexpr int kMaxSlot = 9999;
constexpr size_t kMaxName = 64;

std::string Number(double value) {
  char text[32];
  const auto end = std::to_chars(text, text + sizeof text, value).ptr;
  return std::string(text, end);
}

template <typename T>
bool ReadNumber(const std::string& word, T& out) {
  const char* end = word.data() + word.size();
  const auto [ptr, ec] = std::from_chars(word.data(), end, out);
  return ec == std::errc() && ptr == end;
}

bool GoodName(const std::string& name) {
  if (name.empty() || name.size() > kMaxName) return false;
  for (const char c : name) {
    const bool ok =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '.' || c == '-';
    if (!ok) return false;
  }
  return true;
}

// Buttons press when their value rises through this fraction of the range: a controller button
// sends 127 then 0; a pitch wheel rests in the middle, so it presses near the top.
double PressPoint(ControlKind kind) { return kind == ControlKind::kPitchBend ? 0.75 : 64.0 / 127.0; }

}  // namespace

std::string DescribeControl(const MidiControl& c, bool fine) {
  const std::string channel = ", channel " + std::to_string(c.channel + 1);
  switch (c.kind) {
    case ControlKind::kNote: return "Note " + std::to_string(c.number) + channel;
    case ControlKind::kController: return "CC " + std::to_string(c.number) + channel + (fine ? " (14-bit)" : "");
    case ControlKind::kPitchBend: return "Pitch bend" + channel;
  }
  return {};
}

std::string DescribeTarget(const MidiTarget& t) {
  switch (t.kind) {
    case TargetKind::kCommand: {
      std::string text = kCommandNames[static_cast<int>(t.command)];
      if (t.command == Command::kLoadSlot) text += " " + std::to_string(t.slot);
      return text;
    }
    case TargetKind::kTrack: return "Track " + t.name + " " + Number(t.low) + ".." + Number(t.high);
    case TargetKind::kSetting: return "Setting " + t.name + " " + Number(t.low) + ".." + Number(t.high);
  }
  return {};
}

std::string TargetAddress(const MidiTarget& t) {
  switch (t.kind) {
    case TargetKind::kCommand: return kCommandAddresses[static_cast<int>(t.command)];
    case TargetKind::kTrack: return "/vantaloop/track";
    case TargetKind::kSetting: return "/vantaloop/set";
  }
  return {};
}

std::string FormatMapping(const MidiMapping& m) {
  static constexpr const char* kKinds[] = {"note", "cc", "bend"};
  std::string text = kKinds[static_cast<int>(m.control.kind)];
  text += " " + std::to_string(m.control.channel + 1) + " " + std::to_string(m.control.number);
  if (m.fine) text += " fine";
  switch (m.target.kind) {
    case TargetKind::kCommand:
      text += std::string(" command ") + kCommandWords[static_cast<int>(m.target.command)];
      if (m.target.command == Command::kLoadSlot) text += " " + std::to_string(m.target.slot);
      break;
    case TargetKind::kTrack:
    case TargetKind::kSetting:
      text += m.target.kind == TargetKind::kTrack ? " track " : " setting ";
      text += m.target.name + " " + Number(m.target.low) + " " + Number(m.target.high);
      if (m.target.whole) text += " whole";
      break;
  }
  return text;
}

std::optional<MidiMapping> ParseMapping(std::string_view text) {
  std::vector<std::string> words;
  std::string word;
  for (const char c : text) {
    if (c == ' ' || c == '\t') {
      if (!word.empty()) words.push_back(std::move(word));
      word.clear();
    } else {
      word += c;
    }
  }
  if (!word.empty()) words.push_back(std::move(word));
  size_t at = 0;
  auto next = [&]() -> const std::string* { return at < words.size() ? &words[at++] : nullptr; };

  MidiMapping m;
  const std::string* kind = next();
  if (!kind) return std::nullopt;
  if (*kind == "note") m.control.kind = ControlKind::kNote;
  else if (*kind == "cc") m.control.kind = ControlKind::kController;
  else if (*kind == "bend") m.control.kind = ControlKind::kPitchBend;
  else return std::nullopt;
  const std::string* channel = next();
  const std::string* number = next();
  if (!channel || !number || !ReadNumber(*channel, m.control.channel) || !ReadNumber(*number, m.control.number))
    return std::nullopt;
  if (m.control.channel < 1 || m.control.channel > 16 || m.control.number < 0 || m.control.number > 127)
    return std::nullopt;
  m.control.channel -= 1;
  if (m.control.kind == ControlKind::kPitchBend && m.control.number != 0) return std::nullopt;

  const std::string* target = next();
  if (target && *target == "fine") {
    if (m.control.kind != ControlKind::kController || m.control.number >= 32) return std::nullopt;
    m.fine = true;
    target = next();
  }
  if (!target) return std::nullopt;
  if (*target == "command") {
    m.target.kind = TargetKind::kCommand;
    const std::string* what = next();
    if (!what) return std::nullopt;
    bool found = false;
    for (int i = 0; i < 6; ++i) {
      if (*what == kCommandWords[i]) {
        m.target.command = static_cast<Command>(i);
        found = true;
      }
    }
    if (!found) return std::nullopt;
    if (m.target.command == Command::kLoadSlot) {
      const std::string* slot = next();
      if (!slot || !ReadNumber(*slot, m.target.slot) || m.target.slot < 0 || m.target.slot > kMaxSlot)
        return std::nullopt;
    }
  } else if (*target == "track" || *target == "setting") {
    m.target.kind = *target == "track" ? TargetKind::kTrack : TargetKind::kSetting;
    const std::string* name = next();
    const std::string* low = next();
    const std::string* high = next();
    if (!name || !low || !high || !GoodName(*name)) return std::nullopt;
    if (!ReadNumber(*low, m.target.low) || !ReadNumber(*high, m.target.high)) return std::nullopt;
    if (!std::isfinite(m.target.low) || !std::isfinite(m.target.high)) return std::nullopt;
    m.target.name = *name;
    if (at < words.size() && words[at] == "whole" && m.target.kind == TargetKind::kSetting) {
      m.target.whole = true;
      ++at;
    }
  } else {
    return std::nullopt;
  }
  if (at != words.size()) return std::nullopt;
  return m;
}

std::string DeviceName(std::string_view port_name) {
  // Trailing " <client>:<port>", both decimal.
  size_t end = port_name.size();
  size_t i = end;
  auto digits_back = [&](size_t& pos) {
    const size_t from = pos;
    while (pos > 0 && port_name[pos - 1] >= '0' && port_name[pos - 1] <= '9') --pos;
    return pos < from;
  };
  if (digits_back(i) && i > 0 && port_name[i - 1] == ':') {
    --i;
    if (digits_back(i) && i > 0 && port_name[i - 1] == ' ') return std::string(port_name.substr(0, i - 1));
  }
  return std::string(port_name.substr(0, end));
}

void MidiMapper::SetMappings(std::vector<MidiMapping> mappings) {
  mappings_ = std::move(mappings);
  last_.reset();
}

void MidiMapper::Learn(MidiTarget target) { learning_ = std::move(target); }

std::vector<live::LiveMessage> MidiMapper::Apply(const MidiMapping& m, double fraction, bool pressed, bool released) {
  (void)released;
  std::vector<live::LiveMessage> out;
  const MidiTarget& t = m.target;
  if (t.kind == TargetKind::kCommand) {
    if (!pressed) return out;
    live::LiveMessage message{TargetAddress(t), {}};
    if (t.command == Command::kLoadSlot) message.args.emplace_back(static_cast<int32_t>(t.slot));
    out.push_back(std::move(message));
    return out;
  }
  const double value = t.low + (t.high - t.low) * fraction;
  if (t.whole) {
    // The range is checked finite when parsed; a range wider than an int is clamped to one.
    const double rounded = std::clamp(std::round(value), -2147483647.0, 2147483647.0);
    out.push_back({TargetAddress(t), {t.name, static_cast<int32_t>(rounded)}});
  } else {
    out.push_back({TargetAddress(t), {t.name, static_cast<float>(value)}});
  }
  return out;
}

// The low half of a 14-bit pair comes right after its high half. True when `control` (value
// `value`) was taken as one: the high half's mapping turns fine and moves to the whole value.
bool MidiMapper::TakeLowHalf(const MidiControl& control, int value, Result& result) {
  const int channel = control.channel;
  if (control.number < 32 || control.number >= 64 || !last_ ||
      !(*last_ == MidiControl{ControlKind::kController, channel, control.number - 32}))
    return false;
  const MidiControl high{ControlKind::kController, channel, control.number - 32};
  MidiMapping* paired = nullptr;
  bool own = false;
  for (MidiMapping& m : mappings_) {
    if (m.control == high) paired = &m;
    if (m.control == control) own = true;
  }
  // Otherwise the controller is a control of its own.
  if (!paired || own) return false;
  controller_[channel][control.number] = static_cast<uint8_t>(value);
  last_.reset();
  paired->fine = true;
  result.mappings_changed = true;
  const int whole = controller_[channel][high.number] << 7 | value;
  result.messages = Apply(*paired, whole / 16383.0, false, false);
  return true;
}

// The control being learned takes the target, in place of any mapping it had.
void MidiMapper::Learned(const MidiControl& control, Result& result) {
  MidiMapping learned{control, *learning_, false};
  learning_.reset();
  std::erase_if(mappings_, [&](const MidiMapping& m) { return m.control == control; });
  mappings_.push_back(learned);
  result.learned = learned;
  result.mappings_changed = true;
}

MidiMapper::Result MidiMapper::Handle(std::span<const uint8_t> bytes) {
  Result result;
  if (bytes.size() < 2 || bytes[0] < 0x80 || bytes[0] >= 0xF0) return result;
  const int status = bytes[0] & 0xF0;
  const int channel = bytes[0] & 0x0F;
  const size_t needed = status == 0xC0 || status == 0xD0 ? 2 : 3;
  if (bytes.size() < needed) return result;
  for (size_t i = 1; i < needed; ++i)
    if (bytes[i] >= 0x80) return result;

  MidiControl control;
  control.channel = channel;
  double fraction = 0.0, before = 0.0;
  bool pressed = false, released = false;
  switch (status) {
    case 0x90:
    case 0x80: {
      control.kind = ControlKind::kNote;
      control.number = bytes[1];
      const bool on = status == 0x90 && bytes[2] > 0;  // a note-on at velocity 0 is a note-off
      fraction = on ? bytes[2] / 127.0 : 0.0;
      pressed = on;
      released = !on;
      break;
    }
    case 0xB0: {
      control.kind = ControlKind::kController;
      control.number = bytes[1];
      const int value = bytes[2];
      if (TakeLowHalf(control, value, result)) return result;
      before = controller_[channel][control.number] / 127.0;
      controller_[channel][control.number] = static_cast<uint8_t>(value);
      fraction = value / 127.0;
      break;
    }
    case 0xE0: {
      control.kind = ControlKind::kPitchBend;
      const int value = bytes[1] | bytes[2] << 7;
      before = pitch_[channel] / 16383.0;
      pitch_[channel] = static_cast<uint16_t>(value);
      fraction = value / 16383.0;
      break;
    }
    default: last_.reset(); return result;
  }
  if (control.kind != ControlKind::kNote) {
    const double point = PressPoint(control.kind);
    pressed = before < point && fraction >= point;
    released = before >= point && fraction < point;
  }
  last_ = control;

  if (learning_) {
    // A key is learned as it goes down; its release is not a second control.
    if (control.kind != ControlKind::kNote || pressed) Learned(control, result);
    return result;
  }

  for (const MidiMapping& m : mappings_) {
    if (!(m.control == control)) continue;
    // The high half of a 14-bit pair clears the low half, as the sender does.
    if (m.fine) {
      controller_[channel][control.number + 32] = 0;
      fraction = (controller_[channel][control.number] << 7) / 16383.0;
    }
    auto messages = Apply(m, fraction, pressed, released);
    for (auto& message : messages) result.messages.push_back(std::move(message));
  }
  return result;
}

}  // namespace vl::midi
