// One control message from outside the program (OSC, MIDI, a test): an address such as
// "/vantaloop/next" and its arguments. Every remote control reaches the player in this form.
#pragma once
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace vl::live {

using LiveArg = std::variant<int32_t, float, std::string>;

struct LiveMessage {
  std::string address;
  std::vector<LiveArg> args;
};

}  // namespace vl::live
