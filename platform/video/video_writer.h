// Writing rendered frames to a video file with FFmpeg's libraries (H.264 in MP4 or Matroska when
// the encoder is available, else MPEG-4 Part 2). Output is bit-exact: the same frames give the same
// file on every run. Knows nothing of loops or OpenGL.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

namespace vl::video {

struct VideoOptions {
  int width = 720;
  int height = 576;
  int fps = 25;
  int quality = 18;  // constant-quality factor for H.264 (lower is better); bit rate follows for MPEG-4
};

class VideoWriter {
 public:
  // Opens `path` for writing; the container follows the extension (.mp4, .mkv, .avi, .mov).
  // Null on failure with the reason in *error.
  static std::unique_ptr<VideoWriter> Open(const std::string& path, const VideoOptions& options,
                                           std::string* error);
  ~VideoWriter();
  VideoWriter(const VideoWriter&) = delete;
  VideoWriter& operator=(const VideoWriter&) = delete;

  // Adds one frame of RGBA pixels, rows top to bottom, width x height as opened.
  bool AddFrame(const uint8_t* rgba, std::string* error);
  // Flushes the encoder and writes the trailer. Called by the destructor if not called before.
  bool Finish(std::string* error);

  // The codec in use ("h264" or "mpeg4"), for messages.
  std::string codec_name() const;
  int64_t frames_written() const { return frames_; }

 private:
  VideoWriter() = default;
  struct Impl;
  std::unique_ptr<Impl> impl_;
  int64_t frames_ = 0;
  bool finished_ = false;
};

}  // namespace vl::video
