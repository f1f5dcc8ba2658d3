// Sending the frames a player shows to other programs as they are shown: encoded with little
// latency through FFmpeg's libraries to a network address (MPEG-TS over udp:// or srt://, FLV over
// rtmp://), or raw to a V4L2 loopback device (/dev/videoN) that other programs see as a camera.
// The player's thread only converts each frame to YUV into a short queue (as fast as copying it);
// a worker thread scales, encodes and sends, so a slow encoder or a dead destination costs
// dropped frames, never a late picture.
// Knows nothing of loops, Qt or OpenGL.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/live/frame_sink.h"

namespace vl::stream {

enum class StreamCodec {
  // MPEG-2 in MPEG-TS (udp://, srt://): on the processor it costs less than H.264 at its
  // fastest (stream_bench), for three times the bits; H.264 for rtmp://, which takes nothing
  // else.
  kAuto,
  kH264,   // libx264, ultrafast with zero-latency tuning
  kMpeg2,  // MPEG-2 without B-frames
};

struct StreamOptions {
  std::string url;  // udp://host:port, srt://host:port, rtmp://host/app/key, or /dev/videoN
  // The size sent; 0 takes the first frame's size. Frames of another size are scaled to it (the
  // destination cannot change size mid-stream). Rounded down to even numbers.
  int width = 0;
  int height = 0;
  int fps = 25;  // the stream's frame rate, the rate the player shows frames at
  StreamCodec codec = StreamCodec::kAuto;
  int64_t bit_rate = 0;          // bits a second; 0: from the size and rate (for H.264 a ceiling)
  int queue_frames = 2;          // frames waiting for the encoder before new ones are dropped
  double retry_seconds = 3.0;    // after a failure, the wait before trying the destination again
  double timeout_seconds = 5.0;  // the longest a connect or a write may take before it fails
};

enum class StreamState {
  kConnecting,  // opening the destination (also the first time)
  kSending,
  kFailed,  // the last attempt failed; it is tried again after retry_seconds
  kStopped,
};

struct StreamStatus {
  StreamState state = StreamState::kConnecting;
  int64_t sent = 0;           // frames encoded and handed to the destination
  int64_t dropped = 0;        // frames shown but not sent: the encoder was behind or the destination down
  int64_t attempts = 0;       // times the destination was opened or tried
  std::string last_error;     // the newest failure, kept after a successful retry; empty if none
  int width = 0, height = 0;  // the size sent, once known
  std::string codec;          // the encoder in use ("libx264", "rawvideo" for a device), once open
};

// "sending", "failed", ... for status lines.
const char* StateName(StreamState state);
// One line for a status bar: "Stream udp://...: sending, 1234 sent, 5 dropped".
std::string StatusLine(const std::string& url, const StreamStatus& status);

// The byte order of the pixels handed over: the shown frame's RGBA, or the 32-bit BGRA (with X in
// place of A) a screen image has, taken as it is rather than swizzled on the player's thread.
enum class PixelOrder { kRgba, kBgra };

class StreamSender : public live::FrameSink {
 public:
  // Checks the address (kind, host and port, or that a device path is a V4L2 output device) and
  // starts the worker; the destination itself is opened there, so an unreachable one is not an
  // error here but a status. Null with the reason in *error when the address cannot be used.
  static std::unique_ptr<StreamSender> Start(const StreamOptions& options, std::string* error);
  ~StreamSender() override;
  StreamSender(const StreamSender&) = delete;
  StreamSender& operator=(const StreamSender&) = delete;

  // Converts the frame for the worker and returns; when the queue is full or the destination is
  // down the frame is dropped and counted.
  void Deliver(const live::ShownFrame& frame) override { DeliverPixels(frame, PixelOrder::kRgba); }
  void DeliverPixels(const live::ShownFrame& frame, PixelOrder order);

  StreamStatus status() const;
  const StreamOptions& options() const { return options_; }
  // Ends the stream (a frame being sent is finished, the destination closed); waits for the
  // worker at most as long as a connect may take. Called by the destructor.
  void Stop();

 private:
  explicit StreamSender(const StreamOptions& options);
  struct Worker;
  StreamOptions options_;
  std::unique_ptr<Worker> worker_;
};

// A stream that tells how it goes, for a player without a status bar: each change of state (and
// each new reason for failing) as it is seen, by the shown frames' clock at most twice a second,
// and the totals when it ends.
class ToldStream : public live::FrameSink {
 public:
  using Say = std::function<void(const std::string&)>;
  ToldStream(std::unique_ptr<StreamSender> sender, Say say) : sender_(std::move(sender)), say_(std::move(say)) {}
  ~ToldStream() override;
  void Deliver(const live::ShownFrame& frame) override;
  StreamSender& sender() { return *sender_; }

 private:
  void Look();
  std::unique_ptr<StreamSender> sender_;
  Say say_;
  double looked_ = -1;
  StreamState told_ = StreamState::kConnecting;
  std::string told_error_;
};

// The kind of address, for checks and messages: "udp", "srt", "rtmp", "device", or empty when it
// is none of these.
std::string DestinationKind(const std::string& url);

}  // namespace vl::stream
