// Small JSON output helpers for the command-line tool's machine-readable commands.
#pragma once
#include <cmath>
#include <cstdio>
#include <string>
#include <string_view>

namespace vl::cli {

// A float with enough digits to round-trip (%.9g); non-finite values as strings.
inline void AppendJsonFloat(std::string& out, double v) {
  if (std::isnan(v)) {
    out += "\"NaN\"";
  } else if (std::isinf(v)) {
    out += v > 0 ? "\"Infinity\"" : "\"-Infinity\"";
  } else {
    char buf[32];
    int n = std::snprintf(buf, sizeof buf, "%.9g", v);
    out.append(buf, static_cast<size_t>(n));
  }
}

inline void AppendJsonInt(std::string& out, long long v) { out += std::to_string(v); }

// A byte string decoded as Latin-1 (byte b -> U+00b), written as a UTF-8 JSON string.
inline void AppendJsonLatin1(std::string& out, std::string_view bytes) {
  out += '"';
  for (unsigned char c : bytes) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else if (c < 0x80) {
          out += static_cast<char>(c);
        } else {
          out += static_cast<char>(0xC0 | (c >> 6));
          out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
  }
  out += '"';
}

// A UTF-8 string as a JSON string: quotes, backslashes and control characters escaped.
inline void AppendJsonUtf8(std::string& out, std::string_view text) {
  out += '"';
  for (unsigned char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += '"';
}

}  // namespace vl::cli
