#include "engine/load_error.h"

namespace vl {

std::string LoadError::ToString() const {
  std::string s = file.empty() ? std::string("(no file)") : file;
  s += ": ";
  if (offset) {
    s += "at byte " + std::to_string(*offset);
    if (!field.empty()) s += " (" + field + ")";
    s += ": ";
  } else if (!field.empty()) {
    s += field + ": ";
  }
  s += message;
  return EscapeControl(s);
}

std::string EscapeControl(std::string_view text) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7F) {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += ch;
    }
  }
  return out;
}

}  // namespace vl
