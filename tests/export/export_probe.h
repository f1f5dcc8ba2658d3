// Reading exported files back with the FFmpeg and WebP command-line tools, as someone receiving
// the file would: what ffprobe says of it, and a decoded frame as RGB.
#pragma once
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
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
  std::istringstream lines(RunCommand(
      "ffprobe -v error -select_streams v:0 -count_frames -show_entries "
      "stream=codec_name,width,height,r_frame_rate,avg_frame_rate,nb_read_frames,pix_fmt:format=format_name,duration "
      "-of default=noprint_wrappers=1 " + Quoted(path) + " 2>&1"));
  std::string line;
  while (std::getline(lines, line)) {
    const size_t eq = line.find('=');
    if (eq != std::string::npos && !fields.count(line.substr(0, eq))) fields[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return fields;
}

// Frame `index` of a video file decoded to RGB24 by ffmpeg; empty when it could not be decoded.
inline std::vector<uint8_t> DecodeFrameRgb(const std::string& path, int index, int width, int height) {
  const std::string out = RunCommand("ffmpeg -v error -i " + Quoted(path) + " -vf 'select=eq(n\\," + std::to_string(index) +
                                     ")' -frames:v 1 -f rawvideo -pix_fmt rgb24 - 2>/dev/null");
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
  return sum / static_cast<double>(a.size() / 4 * 3);
}

}  // namespace vl::test
