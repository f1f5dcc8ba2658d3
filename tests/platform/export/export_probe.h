// Reading exported files back with the FFmpeg and WebP command-line tools, as someone receiving
// the file would: what ffprobe says of it, and a decoded frame as RGB.
#pragma once
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace vl::test {

inline std::string RunCommand(const std::string& command) {
  std::string out;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return out;
  char buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) out.append(buf, n);
  ::pclose(pipe);
  return out;
}

inline std::string Quoted(const std::string& s) { return "'" + s + "'"; }

// key=value lines of ffprobe for the first video stream and the container.
inline std::map<std::string, std::string> Probe(const std::string& path) {
  std::map<std::string, std::string> fields;
  std::istringstream lines(
      RunCommand("ffprobe -v error -select_streams v:0 -count_frames -show_entries "
                 "stream=codec_name,width,height,r_frame_rate,avg_frame_rate,nb_read_frames,pix_fmt,"
                 "sample_aspect_ratio:format=format_name,duration "
                 "-of default=noprint_wrappers=1 " +
                 Quoted(path) + " 2>&1"));
  std::string line;
  while (std::getline(lines, line)) {
    const size_t eq = line.find('=');
    if (eq != std::string::npos && !fields.count(line.substr(0, eq))) fields[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return fields;
}

// What an MPEG program stream's pack headers and first sequence header declare, read from the
// bytes as a player's demultiplexer reads them.
struct ProgramStreamTiming {
  int packs = 0;
  double last_scr = -1;      // seconds
  int64_t mux_rate = 0;      // bit/s, the smallest any pack claims
  int timed_pes = 0;         // video PES packets with a time stamp
  int late_pes = 0;          // ... whose pack's clock is already past their decode time
  double first_decode = -1;  // seconds: the clock starts a little before the first picture is due
  int64_t vbv_bits = 0;      // the sequence header's buffer size, with the MPEG-2 extension's high bits
  int64_t peak_rate = 0;     // the sequence header's bit rate, bit/s
};

inline ProgramStreamTiming ReadProgramStreamTiming(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  const std::string d((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  auto byte = [&](size_t i) -> uint64_t { return i < d.size() ? static_cast<uint8_t>(d[i]) : 0; };
  auto stamp = [&](size_t i) {
    return static_cast<double>((byte(i) >> 1 & 7) << 30 | byte(i + 1) << 22 | byte(i + 2) >> 1 << 15 |
                               byte(i + 3) << 7 | byte(i + 4) >> 1) /
           90000.0;
  };
  ProgramStreamTiming t;
  double scr = 0;
  bool seen_sequence = false;
  size_t i = 0;
  while ((i = d.find(std::string("\0\0\1", 3), i)) != std::string::npos && i + 14 <= d.size()) {
    const uint64_t code = byte(i + 3);
    if (code == 0xBA) {  // pack header (MPEG-2 layout)
      scr = static_cast<double>((byte(i + 4) >> 3 & 7) << 30 | (byte(i + 4) & 3) << 28 | byte(i + 5) << 20 |
                                (byte(i + 6) >> 3) << 15 | (byte(i + 6) & 3) << 13 | byte(i + 7) << 5 |
                                byte(i + 8) >> 3) /
            90000.0;
      const int64_t rate = static_cast<int64_t>(byte(i + 10) << 14 | byte(i + 11) << 6 | byte(i + 12) >> 2) * 400;
      t.mux_rate = t.packs ? std::min(t.mux_rate, rate) : rate;
      t.last_scr = scr;
      ++t.packs;
      i += 14 + (byte(i + 13) & 7);
    } else if (code == 0xE0) {  // video PES: its payload is searched too, for the sequence header
      const unsigned flags = static_cast<unsigned>(byte(i + 7) >> 6);
      if (flags & 2) {
        const double decode = stamp(flags == 3 ? i + 14 : i + 9);
        if (!t.timed_pes) t.first_decode = decode;
        ++t.timed_pes;
        if (scr > decode) ++t.late_pes;
      }
      i += 9 + byte(i + 8);
    } else if (code == 0xB3 && !seen_sequence) {
      seen_sequence = true;
      t.peak_rate = static_cast<int64_t>(byte(i + 8) << 10 | byte(i + 9) << 2 | byte(i + 10) >> 6) * 400;
      t.vbv_bits = static_cast<int64_t>((byte(i + 10) & 0x1F) << 5 | byte(i + 11) >> 3);
      const size_t ext = d.find(std::string("\0\0\1\xB5", 4), i);
      if (ext != std::string::npos && (byte(ext + 4) >> 4) == 1) {  // sequence extension
        t.vbv_bits |= static_cast<int64_t>(byte(ext + 8)) << 10;
        t.peak_rate += (static_cast<int64_t>((byte(ext + 6) & 0x1F) << 7 | byte(ext + 7) >> 1) << 18) * 400;
      }
      t.vbv_bits *= 16384;
      i += 4;
    } else {
      i += 4;
    }
  }
  return t;
}

// Frame `index` of a video file decoded to RGB24 by ffmpeg and shown at width x height, as a
// player shows a frame of pixels that are not square; empty when it could not be decoded.
inline std::vector<uint8_t> DecodeFrameRgb(const std::string& path, int index, int width, int height) {
  const std::string out =
      RunCommand("ffmpeg -v error -i " + Quoted(path) + " -vf 'select=eq(n\\," + std::to_string(index) +
                 "),scale=" + std::to_string(width) + ":" + std::to_string(height) +
                 ":flags=bicubic' -frames:v 1 -f rawvideo -pix_fmt rgb24 - 2>/dev/null");
  if (out.size() != static_cast<size_t>(width) * height * 3) return {};
  return std::vector<uint8_t>(out.begin(), out.end());
}

// A binary PPM (P6) as RGB24.
inline std::vector<uint8_t> ReadPpm(const std::string& path, int* width, int* height) {
  std::ifstream in(path, std::ios::binary);
  std::string magic;
  int maxval = 0;
  in >> magic >> *width >> *height >> maxval;
  in.get();
  if (magic != "P6" || maxval != 255 || *width <= 0 || *height <= 0) return {};
  std::vector<uint8_t> rgb(static_cast<size_t>(*width) * *height * 3);
  in.read(reinterpret_cast<char*>(rgb.data()), static_cast<std::streamsize>(rgb.size()));
  if (!in) return {};
  return rgb;
}

// Mean absolute difference per channel between an RGBA frame and an RGB one of the same size.
inline double MeanDifference(const std::vector<uint8_t>& rgba, const std::vector<uint8_t>& rgb) {
  if (rgb.empty() || rgba.size() / 4 != rgb.size() / 3) return 1e9;
  double sum = 0;
  const size_t pixels = rgb.size() / 3;
  for (size_t i = 0; i < pixels; ++i)
    for (int c = 0; c < 3; ++c) sum += std::abs(int(rgba[i * 4 + c]) - int(rgb[i * 3 + c]));
  return sum / static_cast<double>(pixels * 3);
}

// Mean absolute difference per channel between two RGBA frames.
inline double MeanDifferenceRgba(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  if (a.size() != b.size() || a.empty()) return 1e9;
  double sum = 0;
  for (size_t i = 0; i < a.size(); ++i)
    if (i % 4 != 3) sum += std::abs(int(a[i]) - int(b[i]));
  const size_t colour_bytes = a.size() / 4 * 3;
  return sum / static_cast<double>(colour_bytes);
}

}  // namespace vl::test
