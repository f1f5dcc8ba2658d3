#include "platform/stream/stream_sender.h"

#include "platform/stream/pixel_convert.h"

#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

namespace vl::stream {
namespace {

using Clock = std::chrono::steady_clock;

// The worker's niceness: competing for a core, it weighs about a third of a player's thread, and
// a core with time to spare still lets it keep up.
constexpr int kWorkerNice = 5;

std::string AvError(int code) {
  char buf[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, buf, sizeof buf);
  return buf;
}

bool StartsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

// Host and port of scheme://host:port[/...][?...], the port checked; false with the reason.
bool HostAndPort(const std::string& url, bool port_required, std::string* error) {
  const size_t start = url.find("://") + 3;
  size_t end = url.find_first_of("/?", start);
  if (end == std::string::npos) end = url.size();
  const std::string authority = url.substr(start, end - start);
  std::string host = authority, port;
  if (!authority.empty() && authority[0] == '[') {  // [IPv6]:port
    const size_t close = authority.find(']');
    if (close == std::string::npos) return *error = "the address " + url + " has an unclosed [", false;
    host = authority.substr(1, close - 1);
    if (close + 1 < authority.size() && authority[close + 1] == ':') port = authority.substr(close + 2);
  } else if (const size_t colon = authority.rfind(':'); colon != std::string::npos) {
    host = authority.substr(0, colon);
    port = authority.substr(colon + 1);
  }
  if (host.empty()) return *error = "the address " + url + " names no host", false;
  if (port.empty()) {
    if (port_required) return *error = "the address " + url + " names no port (host:port)", false;
    return true;
  }
  if (port.size() > 5 || !std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; }) ||
      std::stoi(port) < 1 || std::stoi(port) > 65535)
    return *error = "the port of " + url + " is not a number from 1 to 65535", false;
  return true;
}

// Opens a V4L2 device for output without ever blocking or writing into anything else: a path
// that is not a character device with a video output (a file, a FIFO, a capture-only camera) is
// refused. -1 with the reason.
int OpenOutputDevice(const std::string& path, std::string* error) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    *error = "cannot open " + path + ": " + std::strerror(errno);
    return -1;
  }
  struct stat st {};
  v4l2_capability caps{};
  if (::fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) {
    *error = path + " is not a video device";
  } else if (::ioctl(fd, VIDIOC_QUERYCAP, &caps) != 0) {
    *error = path + " is not a V4L2 video device";
  } else {
    const uint32_t c = (caps.capabilities & V4L2_CAP_DEVICE_CAPS) ? caps.device_caps : caps.capabilities;
    if (c & V4L2_CAP_VIDEO_OUTPUT) return fd;
    *error = path + " takes no video output (is it a v4l2loopback device?)";
  }
  ::close(fd);
  return -1;
}

// About a tenth of a bit a pixel for H.264, three times that for MPEG-2, unless a rate was asked
// for. H.264 without an asked-for rate keeps its quality and takes that rate as a ceiling: a loop's
// dark backgrounds and slow changes need a fraction of it, and fewer bits are less work for the
// encoder (a tenth of its time on the bundled loops) than spending the rate whatever the picture.
void SetRate(AVCodecContext& codec, const StreamOptions& o, bool h264) {
  const double pixel_rate = double(codec.width) * codec.height * o.fps;
  const int64_t rate = o.bit_rate > 0
                           ? o.bit_rate
                           : std::clamp<int64_t>(std::llround(pixel_rate * (h264 ? 0.12 : 0.35)), 400000, 40000000);
  codec.rc_buffer_size = static_cast<int>(std::min<int64_t>(rate / 2, INT32_MAX));  // half a second
  if (h264 && o.bit_rate <= 0) {
    av_opt_set(codec.priv_data, "crf", "23", 0);
    codec.bit_rate = 0;
    codec.rc_max_rate = rate;
    return;
  }
  codec.bit_rate = rate;
  codec.rc_max_rate = rate * 3 / 2;
}

struct FreeFrame {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
using Picture = std::unique_ptr<AVFrame, FreeFrame>;

// Frames are converted as they are handed over: converting costs the player's thread no more
// than copying the RGBA would, the worker never reads the RGBA again, and less than half the
// bytes wait in the queue. A frame of another size than the one sent is scaled by the worker
// from YUV, which costs a quarter of scaling from RGB(A) and converting in one pass.
struct QueuedFrame {
  Picture yuv;                  // at the size sent
  std::vector<uint8_t> planes;  // or at the size given: Y, U and V, each row packed
  int width = 0, height = 0;
  double seconds = 0;
};

}  // namespace

const char* StateName(StreamState state) {
  switch (state) {
    case StreamState::kConnecting: return "connecting";
    case StreamState::kSending: return "sending";
    case StreamState::kFailed: return "failed";
    case StreamState::kStopped: return "stopped";
  }
  return "?";
}

std::string StatusLine(const std::string& url, const StreamStatus& s) {
  std::string line = "Stream " + url + ": " + StateName(s.state) + ", " + std::to_string(s.sent) + " sent, " +
                     std::to_string(s.dropped) + " dropped";
  if (s.state == StreamState::kFailed && !s.last_error.empty()) line += " (" + s.last_error + "; retrying)";
  return line;
}

std::string DestinationKind(const std::string& url) {
  if (StartsWith(url, "udp://")) return "udp";
  if (StartsWith(url, "srt://")) return "srt";
  if (StartsWith(url, "rtmp://") || StartsWith(url, "rtmps://")) return "rtmp";
  if (StartsWith(url, "/")) return "device";
  return "";
}

// The destination as the worker holds it while open: an encoder and muxer, or a device.
struct StreamSender::Worker {
  StreamOptions o;
  std::string kind;

  // Shared with the player's thread, under `mu`.
  mutable std::mutex mu;
  std::condition_variable wake;
  std::deque<QueuedFrame> queue;
  std::vector<std::vector<uint8_t>> spare;  // buffers of sent frames, kept for the next ones
  StreamStatus status;
  int first_width = 0, first_height = 0;  // of the first frame delivered
  // The size sent, fixed by the first frame; its pictures' memory comes from `pool`, and goes back
  // to it when both the queue and the encoder (which may keep a reference frame) are done with it.
  int out_width = 0, out_height = 0;
  int luma_stride = 0, chroma_stride = 0;
  AVBufferPool* pool = nullptr;
  bool stop = false;

  // Read by FFmpeg's interrupt callback during a connect or a write.
  std::atomic<bool> abort{false};
  std::atomic<int64_t> deadline_ns{0};

  // The worker's own.
  AVFormatContext* format = nullptr;
  AVCodecContext* codec = nullptr;
  AVStream* stream = nullptr;
  AVPacket* packet = nullptr;
  SwsContext* scaler = nullptr;
  int device = -1;
  std::vector<uint8_t> device_frame;
  double first_seconds = 0;
  int64_t last_pts = -1;
  std::thread thread;

  explicit Worker(const StreamOptions& options) : o(options), kind(DestinationKind(options.url)) {}
  ~Worker() {
    Close(false);
    sws_freeContext(scaler);
    queue.clear();
    av_buffer_pool_uninit(&pool);  // the last picture to go frees it
  }

  // Under `mu`, at the first frame: the size sent, and where its pictures come from.
  void FirstFrame(int width, int height) {
    first_width = width, first_height = height;
    out_width = (o.width > 0 ? o.width : width) & ~1;
    out_height = (o.height > 0 ? o.height : height) & ~1;
    status.width = out_width, status.height = out_height;
    if (out_width < 2 || out_height < 2) return;
    // Rows 64-byte aligned, as FFmpeg's own frames are, and padding for its vector reads.
    luma_stride = (out_width + 63) & ~63;
    chroma_stride = (out_width / 2 + 63) & ~63;
    const size_t size = size_t(luma_stride) * out_height + size_t(chroma_stride) * (out_height / 2) * 2 + 64;
    pool = av_buffer_pool_init(size, nullptr);
  }

  // A YUV 4:2:0 picture of the size sent; null when out of memory. Any thread.
  Picture NewPicture() {
    AVBufferRef* buf = pool ? av_buffer_pool_get(pool) : nullptr;
    Picture p(buf ? av_frame_alloc() : nullptr);
    if (!p) {
      av_buffer_unref(&buf);
      return nullptr;
    }
    p->buf[0] = buf;
    p->format = AV_PIX_FMT_YUV420P;
    p->width = out_width, p->height = out_height;
    p->data[0] = buf->data;
    p->data[1] = p->data[0] + size_t(luma_stride) * out_height;
    p->data[2] = p->data[1] + size_t(chroma_stride) * (out_height / 2);
    p->linesize[0] = luma_stride;
    p->linesize[1] = p->linesize[2] = chroma_stride;
    return p;
  }

  static int Interrupt(void* opaque) {
    auto* w = static_cast<Worker*>(opaque);
    if (w->abort.load()) return 1;
    const int64_t deadline = w->deadline_ns.load();
    return deadline != 0 && Clock::now().time_since_epoch().count() > deadline;
  }
  void ArmDeadline() {
    deadline_ns =
        (Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(o.timeout_seconds)))
            .time_since_epoch()
            .count();
  }

  void Close(bool write_trailer) {
    if (format) {
      if (write_trailer && format->pb) av_write_trailer(format);
      if (format->pb) avio_closep(&format->pb);
      avformat_free_context(format);
      format = nullptr;
    }
    avcodec_free_context(&codec);
    av_packet_free(&packet);
    stream = nullptr;
    if (device >= 0) ::close(device), device = -1;
  }

  // Opens the destination for frames of out_width x out_height; false with the reason.
  bool Open(std::string* error) {
    Close(false);
    last_pts = -1;
    packet = av_packet_alloc();
    if (!packet) return *error = "out of memory", false;
    if (kind == "device") return OpenDevice(error);
    return OpenNetwork(error);
  }

  bool OpenDevice(std::string* error) {
    device = OpenOutputDevice(o.url, error);
    if (device < 0) return false;
    v4l2_format f{};
    f.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    f.fmt.pix.width = out_width;
    f.fmt.pix.height = out_height;
    f.fmt.pix.pixelformat = V4L2_PIX_FMT_YUV420;
    f.fmt.pix.field = V4L2_FIELD_NONE;
    f.fmt.pix.bytesperline = out_width;
    f.fmt.pix.sizeimage = out_width * out_height * 3 / 2;
    f.fmt.pix.colorspace = V4L2_COLORSPACE_SMPTE170M;
    if (::ioctl(device, VIDIOC_S_FMT, &f) != 0)
      return *error = o.url + " refused " + std::to_string(out_width) + " x " + std::to_string(out_height) +
                      " YUV 4:2:0: " + std::strerror(errno),
             false;
    // Another program may already feed the device at another size: it keeps its own.
    if (f.fmt.pix.width != unsigned(out_width) || f.fmt.pix.height != unsigned(out_height) ||
        f.fmt.pix.pixelformat != V4L2_PIX_FMT_YUV420)
      return *error = o.url + " is set to another size or pixel format (is another program writing to it?)", false;
    v4l2_streamparm parm{};
    parm.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    parm.parm.output.timeperframe = {1, unsigned(o.fps)};
    ::ioctl(device, VIDIOC_S_PARM, &parm);  // a device without a rate of its own is fine
    device_frame.resize(size_t(out_width) * out_height * 3 / 2);
    std::lock_guard lock(mu);
    status.codec = "rawvideo";
    return true;
  }

  bool OpenNetwork(std::string* error) {
    const char* muxer = kind == "rtmp" ? "flv" : "mpegts";
    if (avformat_alloc_output_context2(&format, nullptr, muxer, o.url.c_str()) < 0 || !format)
      return *error = std::string("FFmpeg has no ") + muxer + " writer", false;
    format->interrupt_callback = {&Worker::Interrupt, this};
    // Each frame's packets go out as soon as they are made, not when a buffer fills.
    format->flags |= AVFMT_FLAG_FLUSH_PACKETS;
    format->max_delay = 0;

    const bool h264 = o.codec == StreamCodec::kH264 || kind == "rtmp";
    const AVCodec* encoder =
        h264 ? avcodec_find_encoder_by_name("libx264") : avcodec_find_encoder(AV_CODEC_ID_MPEG2VIDEO);
    if (!encoder)
      return *error = h264 ? "this build of FFmpeg has no H.264 encoder (libx264)" : "no MPEG-2 encoder", false;
    codec = avcodec_alloc_context3(encoder);
    if (!codec) return *error = "out of memory", false;
    codec->width = out_width;
    codec->height = out_height;
    codec->pix_fmt = AV_PIX_FMT_YUV420P;
    codec->time_base = {1, o.fps};
    codec->framerate = {o.fps, 1};
    codec->sample_aspect_ratio = {1, 1};
    codec->color_range = AVCOL_RANGE_MPEG;
    codec->colorspace = AVCOL_SPC_SMPTE170M;  // what the scaler's RGB to YUV uses
    codec->max_b_frames = 0;                  // a B-frame waits for the frame after it
    codec->gop_size = std::max(1, o.fps);     // a viewer who joins sees a picture within a second
    SetRate(*codec, o, h264);
    // One thread is enough below HD and leaves the drawing its processor; bigger frames get two.
    codec->thread_count = out_width * out_height > 1280 * 720 ? 2 : 1;
    if (h264) {
      av_opt_set(codec->priv_data, "preset", "ultrafast", 0);
      av_opt_set(codec->priv_data, "tune", "zerolatency", 0);
    } else {
      // No motion search: a quarter less processor time on moving loops, paid for in bits the
      // rate above has to spare.
      av_opt_set(codec->priv_data, "motion_est", "zero", 0);
    }
    if (format->oformat->flags & AVFMT_GLOBALHEADER) codec->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (const int rc = avcodec_open2(codec, encoder, nullptr); rc < 0)
      return *error = std::string("cannot start the ") + encoder->name + " encoder: " + AvError(rc), false;
    stream = avformat_new_stream(format, nullptr);
    if (!stream || avcodec_parameters_from_context(stream->codecpar, codec) < 0) return *error = "out of memory", false;
    stream->time_base = codec->time_base;
    stream->avg_frame_rate = codec->framerate;

    AVDictionary* io = nullptr;
    av_dict_set_int(&io, "rw_timeout", std::llround(o.timeout_seconds * 1e6), 0);
    if (kind == "udp") {
      // Packets of seven TS packets fit any network's MTU; connecting the socket makes a port
      // nobody listens on an error (the loopback and LANs say so) rather than silence.
      if (o.url.find("pkt_size=") == std::string::npos) av_dict_set(&io, "pkt_size", "1316", 0);
      if (o.url.find("connect=") == std::string::npos) av_dict_set(&io, "connect", "1", 0);
    }
    if (kind == "srt") {
      av_dict_set(&io, "transtype", "live", 0);
      av_dict_set_int(&io, "connect_timeout", std::llround(o.timeout_seconds * 1000), 0);
    }
    ArmDeadline();
    int rc = avio_open2(&format->pb, o.url.c_str(), AVIO_FLAG_WRITE, &format->interrupt_callback, &io);
    av_dict_free(&io);
    if (rc < 0) return *error = "cannot open " + o.url + ": " + AvError(rc), false;
    AVDictionary* mux = nullptr;
    if (kind != "rtmp") av_dict_set(&mux, "muxdelay", "0", 0);
    rc = avformat_write_header(format, &mux);
    av_dict_free(&mux);
    if (rc < 0) return *error = "cannot start the stream to " + o.url + ": " + AvError(rc), false;
    std::lock_guard lock(mu);
    status.codec = encoder->name;
    return true;
  }

  // Converts, encodes and sends one frame; false with the reason when the destination failed
  // (a frame a device had no room for is only dropped: *dropped).
  bool Send(QueuedFrame& f, bool* dropped, std::string* error) {
    Picture scaled;
    AVFrame* picture = f.yuv.get();
    if (!picture) {
      scaled = NewPicture();
      if (!scaled) return *error = "out of memory for frames", false;
      picture = scaled.get();
      scaler = sws_getCachedContext(scaler, f.width, f.height, AV_PIX_FMT_YUV420P, out_width, out_height,
                                    AV_PIX_FMT_YUV420P, SWS_BILINEAR, nullptr, nullptr, nullptr);
      if (!scaler)
        return *error = "cannot scale frames of " + std::to_string(f.width) + " x " + std::to_string(f.height), false;
      const size_t luma = size_t(f.width) * f.height;
      const uint8_t* src[4] = {f.planes.data(), f.planes.data() + luma, f.planes.data() + luma + luma / 4, nullptr};
      const int src_stride[4] = {f.width, f.width / 2, f.width / 2, 0};
      sws_scale(scaler, src, src_stride, 0, f.height, picture->data, picture->linesize);
    }
    if (device >= 0) return WriteDevice(*picture, dropped, error);

    // Frames carry the player's clock: a frame the player skipped leaves a gap, never a
    // stretch of the ones around it.
    if (last_pts < 0) first_seconds = f.seconds;
    int64_t pts = std::llround((f.seconds - first_seconds) * o.fps);
    if (pts <= last_pts) pts = last_pts + 1;
    last_pts = pts;
    picture->pts = pts;
    ArmDeadline();
    int rc = avcodec_send_frame(codec, picture);
    if (rc < 0) return *error = "the encoder refused a frame: " + AvError(rc), false;
    for (;;) {
      rc = avcodec_receive_packet(codec, packet);
      if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return true;
      if (rc < 0) return *error = "encoding failed: " + AvError(rc), false;
      av_packet_rescale_ts(packet, codec->time_base, stream->time_base);
      packet->stream_index = stream->index;
      rc = av_write_frame(format, packet);
      av_packet_unref(packet);
      if (rc < 0) {
        *error = abort ? "stopped" : "cannot send to " + o.url + ": " + AvError(rc);
        return false;
      }
    }
  }

  bool WriteDevice(const AVFrame& picture, bool* dropped, std::string* error) {
    uint8_t* out = device_frame.data();
    const int widths[3] = {out_width, out_width / 2, out_width / 2};
    const int heights[3] = {out_height, out_height / 2, out_height / 2};
    for (int p = 0; p < 3; ++p)
      for (int y = 0; y < heights[p]; ++y, out += widths[p])
        std::memcpy(out, picture.data[p] + size_t(y) * picture.linesize[p], widths[p]);
    const ssize_t n = ::write(device, device_frame.data(), device_frame.size());
    if (n == ssize_t(device_frame.size())) return true;
    if (n >= 0 || errno == EAGAIN || errno == EINTR) return *dropped = true, true;
    *error = "cannot write to " + o.url + ": " + std::strerror(errno);
    return false;
  }

  void Run() {
    std::unique_lock lock(mu);
    bool open = false;
    Clock::time_point next_try = Clock::now();
    while (!stop) {
      if (!open) {
        if (first_width == 0) {
          wake.wait(lock);
          continue;
        }
        if (Clock::now() < next_try) {
          // Frames that came in while the destination was down are gone already.
          wake.wait_until(lock, next_try);
          continue;
        }
        status.state = StreamState::kConnecting;
        ++status.attempts;
        lock.unlock();
        std::string error;
        const bool ok =
            pool ? Open(&error)
                 : (error = out_width < 2 || out_height < 2 ? "frames too small to send" : "out of memory", false);
        if (!ok) Close(false);
        lock.lock();
        if (stop) break;
        if (!ok) {
          Fail(error, lock);
          next_try = Clock::now() +
                     std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(o.retry_seconds));
          continue;
        }
        open = true;
        status.state = StreamState::kSending;
        continue;
      }
      if (queue.empty()) {
        wake.wait(lock);
        continue;
      }
      QueuedFrame frame = std::move(queue.front());
      queue.pop_front();
      lock.unlock();
      bool dropped = false;
      std::string error;
      const bool ok = Send(frame, &dropped, &error);
      frame.yuv.reset();
      lock.lock();
      if (!frame.planes.empty()) spare.push_back(std::move(frame.planes));
      if (ok) {
        ++(dropped ? status.dropped : status.sent);
        continue;
      }
      ++status.dropped;
      if (stop) {
        open = false;  // a send cut short by Stop: the destination gets no ending, and no wait
        break;
      }
      lock.unlock();
      Close(false);
      lock.lock();
      open = false;
      Fail(error, lock);
      next_try =
          Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(o.retry_seconds));
    }
    // Frames still waiting were shown and never sent.
    status.dropped += static_cast<int64_t>(queue.size());
    queue.clear();
    lock.unlock();
    if (open) SendEnd();
    lock.lock();
    status.state = StreamState::kStopped;
  }

  // The stream's end, so a reader sees it finish rather than stall; a device has none. A
  // destination that takes it slowly holds up Stop for a second at most. Called without `mu`.
  void SendEnd() {
    abort = false;
    deadline_ns = (Clock::now() + std::chrono::seconds(1)).time_since_epoch().count();
    if (codec && avcodec_send_frame(codec, nullptr) >= 0) {
      while (avcodec_receive_packet(codec, packet) >= 0) {
        av_packet_rescale_ts(packet, codec->time_base, stream->time_base);
        packet->stream_index = stream->index;
        av_write_frame(format, packet);
        av_packet_unref(packet);
      }
    }
    Close(true);
  }

  // Under `mu`: the oldest waiting frame is dropped and counted.
  void DropOldest() {
    QueuedFrame& f = queue.front();
    if (!f.planes.empty()) spare.push_back(std::move(f.planes));
    queue.pop_front();
    ++status.dropped;
  }

  // The destination failed: frames waiting for it are dropped with it.
  void Fail(const std::string& error, std::unique_lock<std::mutex>&) {
    status.state = StreamState::kFailed;
    status.last_error = error;
    status.dropped += static_cast<int64_t>(queue.size());
    for (QueuedFrame& f : queue)
      if (!f.planes.empty()) spare.push_back(std::move(f.planes));
    queue.clear();
  }
};

StreamSender::StreamSender(const StreamOptions& options) : options_(options) {}

std::unique_ptr<StreamSender> StreamSender::Start(const StreamOptions& options, std::string* error) {
  std::string why;
  const std::string kind = DestinationKind(options.url);
  if (kind.empty()) {
    why = "cannot stream to " + options.url +
          ": give udp://host:port, srt://host:port, rtmp://host/app/key or /dev/videoN";
  } else if (kind == "device") {
    const int fd = OpenOutputDevice(options.url, &why);
    if (fd >= 0) ::close(fd);
  } else {
    HostAndPort(options.url, kind != "rtmp", &why);
  }
  if (why.empty() && (options.fps < 1 || options.fps > 240)) why = "the stream's rate must be 1 to 240 frames a second";
  if (why.empty() && (options.width < 0 || options.height < 0 || options.width > 8192 || options.height > 8192 ||
                      (options.width == 0) != (options.height == 0)))
    why = "the stream's size must be both numbers from 2 to 8192, or neither";
  if (why.empty() && kind == "rtmp" && options.codec == StreamCodec::kMpeg2) why = "rtmp:// carries H.264 only";
  if (why.empty() && kind != "device" && options.codec != StreamCodec::kMpeg2 &&
      !avcodec_find_encoder_by_name("libx264") && (kind == "rtmp" || options.codec == StreamCodec::kH264))
    why = "this build of FFmpeg has no H.264 encoder (libx264)";
  if (!why.empty()) {
    if (error) *error = why;
    return nullptr;
  }
  std::unique_ptr<StreamSender> sender(new StreamSender(options));
  sender->options_.queue_frames = std::max(1, options.queue_frames);
  sender->options_.retry_seconds = std::max(0.05, options.retry_seconds);
  sender->options_.timeout_seconds = std::max(0.1, options.timeout_seconds);
  avformat_network_init();
  av_log_set_level(AV_LOG_FATAL);  // failures are reported through the status
  sender->worker_ = std::make_unique<Worker>(sender->options_);
  Worker* w = sender->worker_.get();
  w->thread = std::thread([w] {
    // Where the drawing and the encoder want the same core, the drawing gets it: the stream
    // drops frames rather than the picture coming late. Named for top -H and debuggers.
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), kWorkerNice);
    ::pthread_setname_np(::pthread_self(), "vl-stream");
    w->Run();
  });
  return sender;
}

StreamSender::~StreamSender() { Stop(); }

void StreamSender::Stop() {
  if (!worker_) return;
  {
    // Both under the lock: a worker that sees `stop` has seen `abort` too, and its own reset of
    // `abort` for the stream's ending comes after.
    std::lock_guard lock(worker_->mu);
    worker_->abort = true;
    worker_->stop = true;
  }
  worker_->wake.notify_all();
  if (worker_->thread.joinable()) worker_->thread.join();
}

void StreamSender::DeliverPixels(const live::ShownFrame& frame, PixelOrder order) {
  Worker& w = *worker_;
  if (!frame.rgba || frame.width < 1 || frame.height < 1 || frame.width > 16384 || frame.height > 16384 ||
      frame.stride_bytes < frame.width * 4)
    return;
  // The stream's sizes are even: an odd last column or row is not sent, and a frame one pixel
  // bigger than the size sent needs no scaling.
  const int width = frame.width & ~1, height = frame.height & ~1;
  QueuedFrame queued;
  bool to_scale = false;
  {
    std::lock_guard lock(w.mu);
    if (w.stop) return;
    if (w.first_width == 0) {
      w.FirstFrame(frame.width, frame.height);
      w.wake.notify_all();
    }
    // While the destination is down (or frames cannot be sent at all) nothing is converted or
    // copied: the frame is only counted.
    if (w.status.state == StreamState::kFailed || !w.pool || width < 2 || height < 2) {
      ++w.status.dropped;
      return;
    }
    // The newest frame matters most: a full queue loses its oldest, and its memory is reused.
    if (static_cast<int>(w.queue.size()) >= options_.queue_frames) w.DropOldest();
    to_scale = width != w.out_width || height != w.out_height;
    if (to_scale && !w.spare.empty()) queued.planes = std::move(w.spare.back()), w.spare.pop_back();
  }
  const bool bgra = order == PixelOrder::kBgra;
  if (!to_scale) {
    queued.yuv = w.NewPicture();
    if (!queued.yuv) {
      std::lock_guard lock(w.mu);
      ++w.status.dropped;
      return;
    }
    ToYuv420(frame.rgba, frame.stride_bytes, width, height, bgra, queued.yuv->data, queued.yuv->linesize);
  } else {
    const size_t luma = size_t(width) * height;
    queued.planes.resize(luma + luma / 2);
    uint8_t* const planes[3] = {queued.planes.data(), queued.planes.data() + luma,
                                queued.planes.data() + luma + luma / 4};
    const int strides[3] = {width, width / 2, width / 2};
    ToYuv420(frame.rgba, frame.stride_bytes, width, height, bgra, planes, strides);
  }
  queued.width = width, queued.height = height;
  queued.seconds = frame.seconds;
  std::lock_guard lock(w.mu);
  if (w.stop) return;
  if (static_cast<int>(w.queue.size()) >= options_.queue_frames) w.DropOldest();
  w.queue.push_back(std::move(queued));
  w.wake.notify_all();
}

StreamStatus StreamSender::status() const {
  std::lock_guard lock(worker_->mu);
  return worker_->status;
}

ToldStream::~ToldStream() {
  sender_->Stop();
  const StreamStatus s = sender_->status();
  say_("stream " + sender_->options().url + " ended: " + std::to_string(s.sent) + " frames sent, " +
       std::to_string(s.dropped) + " dropped");
}

void ToldStream::Deliver(const live::ShownFrame& frame) {
  sender_->Deliver(frame);
  if (looked_ >= 0 && frame.seconds - looked_ < 0.5) return;
  looked_ = frame.seconds;
  Look();
}

void ToldStream::Look() {
  const StreamStatus s = sender_->status();
  if (s.state == StreamState::kConnecting) return;
  if (s.state == told_ && (s.state != StreamState::kFailed || s.last_error == told_error_)) return;
  told_ = s.state;
  told_error_ = s.last_error;
  if (s.state == StreamState::kFailed)
    say_("stream " + sender_->options().url + " failed: " + s.last_error + "; trying again every " +
         std::to_string(std::lround(sender_->options().retry_seconds)) + " s, playing on");
  else
    say_("stream " + sender_->options().url + ": " + StateName(s.state) + " (" + std::to_string(s.width) + " x " +
         std::to_string(s.height) + ", " + s.codec + ")");
}

}  // namespace vl::stream
