// Writing rendered frames to a video file with FFmpeg's libraries: H.264 in MP4 or Matroska by
// default (MPEG-4 Part 2 when H.264 is missing), or one of the named formats the export presets
// and the web/editing formats need. Output is bit-exact: the same frames give the same file on
// every run. Knows nothing of loops or OpenGL.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

namespace vl::video {

// What goes into the file, codec and container together.
enum class VideoFormat {
  kByExtension,  // H.264 (else MPEG-4 Part 2) in the container the extension names
  kDvAvi,        // DV in AVI; 720 x 576 at 25 or 720 x 480 at 29.97 only
  kVcd,          // MPEG-1 in a VCD program stream, VCD bit rate
  kSvcd,         // MPEG-2 in an SVCD program stream, SVCD bit rates
  kMpeg2,        // MPEG-2 in an MPEG-2 program stream
  kDvd,          // MPEG-2 in a DVD program stream with navigation packs; 720 x 576 at 25 or 720 x 480 at 29.97
  kH263_3gp,     // H.263 in 3GP; the sizes H.263 knows (176 x 144 and its kin)
  kH264Mp4,      // H.264 in MP4
  kFfv1Mkv,      // lossless FFV1 (RGB) in Matroska
  kWebp,         // animated WebP, looping for ever
  kGif,          // animated GIF, looping for ever, a palette of its own per frame
};

struct VideoOptions {
  int width = 720;
  int height = 576;
  int fps = 25;
  // The file's rate is fps * 1000 / 1001 (30 becomes 29.97): the frames are the ones played at
  // `fps`, the file is marked with the NTSC rate.
  bool ntsc_rate = false;
  VideoFormat format = VideoFormat::kByExtension;
  int quality = 18;  // constant-quality factor for H.264 (lower is better); bit rate follows for MPEG-4
  // x264's speed preset ("medium", "faster", ...): slower ones make smaller files of the same quality.
  std::string h264_speed = "medium";
  // The frames AddFrame takes, when of another size than the file's: they are scaled on the way
  // in (a 4:3 picture drawn at 768 x 576 goes into a 720 x 576 DV frame). 0: the file's size.
  int input_width = 0, input_height = 0;
  // The shape of the file's pixels, width to height, which every file states.
  int pixel_aspect_num = 1, pixel_aspect_den = 1;
  // Sound: none, silence, or the sound of `audio_path` (any file FFmpeg reads) looped or cut to
  // the video's length. Each format has its own: PCM in DV, MP2 on VCD, SVCD and MPEG-2, AC-3 on
  // DVD, AAC in MP4 and 3GP, FLAC in Matroska; WebP and GIF have none.
  enum class Audio { kNone, kSilence, kFile } audio = Audio::kNone;
  std::string audio_path;
};

// Whether a file of `format` can carry sound (false for WebP and GIF).
bool FormatHasAudio(VideoFormat format);

class VideoWriter {
 public:
  // Opens `path` for writing. With kByExtension the container follows the extension (.mp4, .mkv,
  // .avi, .mov); any other format names its own container whatever the extension.
  // Null on failure with the reason in *error.
  static std::unique_ptr<VideoWriter> Open(const std::string& path, const VideoOptions& options, std::string* error);
  ~VideoWriter();
  VideoWriter(const VideoWriter&) = delete;
  VideoWriter& operator=(const VideoWriter&) = delete;

  // Adds one frame of RGBA pixels, rows top to bottom, width x height as opened. Alpha is ignored:
  // frames are opaque.
  bool AddFrame(const uint8_t* rgba, std::string* error);
  // Flushes the encoder and writes the trailer. Called by the destructor if not called before.
  bool Finish(std::string* error);

  // The encoder in use ("libx264", "dvvideo", ...), for messages.
  std::string codec_name() const;
  // The sound's encoder ("mp2", "pcm_s16le", ...); empty without sound.
  std::string audio_codec_name() const;
  int64_t frames_written() const { return frames_; }

  struct Impl;  // FFmpeg's state, known only to the writer's own file

 private:
  VideoWriter() = default;
  std::unique_ptr<Impl> impl_;
  int64_t frames_ = 0;
  bool finished_ = false;
};

}  // namespace vl::video
