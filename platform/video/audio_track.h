// The sound track of an exported video: the sound of any file FFmpeg reads, started again from
// its beginning whenever it ends, or silence, converted to what the track's encoder takes,
// encoded and handed to the file's muxer up to a given number of samples. The video writer drives
// it frame by frame, so sound and pictures are interleaved as they are written.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

struct AVFormatContext;

namespace vl::video {

struct AudioPlan {
  const char* encoder;  // "mp2", "ac3", "aac", "pcm_s16le", "flac"
  int sample_rate;
  int64_t bit_rate;  // 0 for the encoder's own (PCM, FLAC)
};

class AudioTrack {
 public:
  // Adds a stereo stream to `format`, whose header is not written yet. `source` empty: silence.
  // Null on failure with the reason in *error (names the sound file when it is the cause).
  static std::unique_ptr<AudioTrack> Create(AVFormatContext* format, const AudioPlan& plan, const std::string& source,
                                            std::string* error);
  ~AudioTrack();
  AudioTrack(const AudioTrack&) = delete;
  AudioTrack& operator=(const AudioTrack&) = delete;

  // Writes whole encoder frames while they end at or before `samples` from the start.
  bool WriteUntil(int64_t samples, std::string* error);
  // Writes exactly `samples` in all (the last frame, where the encoder takes only whole frames,
  // is filled out with silence) and empties the encoder.
  bool Finish(int64_t samples, std::string* error);

  int sample_rate() const;
  std::string codec_name() const;

 private:
  AudioTrack() = default;
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace vl::video
