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
  return s;
}

}  // namespace vl
