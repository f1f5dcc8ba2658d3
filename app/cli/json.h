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

// Length of the well-formed UTF-8 sequence at text[i] (1 to 4), or 0 when the bytes there are not
// one: a stray continuation byte, a truncated or overlong sequence, a surrogate, or past U+10FFFF.
inline size_t Utf8SequenceLength(std::string_view text, size_t i) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char c = byte(i);
  if (c < 0x80) return 1;
  size_t n;
  unsigned char lo = 0x80, hi = 0xBF;  // bounds of the second byte
  if (c >= 0xC2 && c <= 0xDF) n = 2;
  else if (c == 0xE0) n = 3, lo = 0xA0;
  else if (c >= 0xE1 && c <= 0xEC) n = 3;  // NOLINT(bugprone-branch-clone): a row of the UTF-8 table
  else if (c == 0xED) n = 3, hi = 0x9F;
  else if (c >= 0xEE && c <= 0xEF) n = 3;
  else if (c == 0xF0) n = 4, lo = 0x90;
  else if (c >= 0xF1 && c <= 0xF3) n = 4;
  else if (c == 0xF4) n = 4, hi = 0x8F;
  else return 0;
  if (i + n > text.size()) return 0;
  if (byte(i + 1) < lo || byte(i + 1) > hi) return 0;
  for (size_t k = 2; k < n; ++k)
    if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
  return n;
}

// A UTF-8 string as a JSON string: quotes, backslashes and control characters escaped. Bytes that
// are not UTF-8 (a file name in another encoding, say) cannot appear in JSON: each becomes the
// text \xNN, as the tool's plain messages write control bytes.
inline void AppendJsonUtf8(std::string& out, std::string_view text) {
  out += '"';
  for (size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    const size_t n = Utf8SequenceLength(text, i);
    if (n == 0) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\\\x%02x", c);
      out += buf;
      ++i;
      continue;
    }
    if (n > 1) {
      out.append(text.substr(i, n));
      i += n;
      continue;
    }
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
    ++i;
  }
  out += '"';
}

}  // namespace vl::cli
