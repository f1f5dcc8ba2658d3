// What the stream tests share: a free port on the loopback, and a viewer that reads an MPEG-TS
// stream from a UDP port with FFmpeg's libraries and keeps the decoded frames as RGBA.
#pragma once
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswscale/swscale.h>
}

namespace vl::streamtest {

using Clock = std::chrono::steady_clock;

// A UDP port on the loopback that nothing listens on (the kernel's pick, released again).
inline int FreeUdpPort() {
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
    throw std::runtime_error(std::string("no UDP port on the loopback: ") + std::strerror(errno));
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(fd);
  return ntohs(a.sin_port);
}

struct DecodedFrame {
  int64_t index;  // from the stream's timestamps
  std::vector<uint8_t> rgba;
};

struct ReadBack {
  std::string error;
  int width = 0, height = 0;
  AVRational rate{0, 1};
  std::string codec;
  std::vector<DecodedFrame> frames;
};

// Ends a read once the sender is done and the stream has been quiet for a moment.
struct ReadEnd {
  std::atomic<bool> sender_done{false};
  std::atomic<int64_t> last_packet{0};
  static int Quiet(void* opaque) {
    auto* e = static_cast<ReadEnd*>(opaque);
    return e->sender_done && Clock::now().time_since_epoch().count() - e->last_packet > 500'000'000;
  }
};

// Reads a stream with FFmpeg, as a viewer would, until `want` frames decoded, or the sender is
// done and the stream quiet. udp:// is read as MPEG-TS from that port; srt:// and rtmp:// listen
// there for the sender to call.
inline ReadBack ReadStream(const std::string& url, int want, int fps, std::atomic<bool>* listening, ReadEnd* end) {
  ReadBack r;
  AVFormatContext* in = avformat_alloc_context();
  in->interrupt_callback = {&ReadEnd::Quiet, end};
  AVDictionary* opts = nullptr;
  const AVInputFormat* format = av_find_input_format("mpegts");
  if (url.rfind("udp://", 0) == 0) {
    av_dict_set(&opts, "timeout", "4000000", 0);  // microseconds of silence
    av_dict_set(&opts, "buffer_size", "4194304", 0);
    av_dict_set(&opts, "fifo_size", "100000", 0);
    av_dict_set(&opts, "overrun_nonfatal", "1", 0);
  } else if (url.rfind("srt://", 0) == 0) {
    av_dict_set(&opts, "mode", "listener", 0);
    av_dict_set(&opts, "transtype", "live", 0);
  } else {
    av_dict_set(&opts, "listen", "1", 0);
    format = av_find_input_format("flv");
  }
  listening->store(true);
  int rc = avformat_open_input(&in, url.c_str(), format, &opts);
  av_dict_free(&opts);
  if (rc < 0) return r.error = "cannot open " + url, r;
  avformat_find_stream_info(in, nullptr);
  const int si = av_find_best_stream(in, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  if (si < 0) {
    avformat_close_input(&in);
    return r.error = "no video stream", r;
  }
  AVStream* st = in->streams[si];
  const AVCodec* dec = avcodec_find_decoder(st->codecpar->codec_id);
  AVCodecContext* c = avcodec_alloc_context3(dec);
  avcodec_parameters_to_context(c, st->codecpar);
  avcodec_open2(c, dec, nullptr);
  r.width = st->codecpar->width, r.height = st->codecpar->height;
  r.rate = st->r_frame_rate;
  r.codec = dec->name;
  AVPacket* pkt = av_packet_alloc();
  AVFrame* f = av_frame_alloc();
  SwsContext* sws = nullptr;
  const int64_t start = st->start_time == AV_NOPTS_VALUE ? 0 : st->start_time;
  while (int(r.frames.size()) < want && av_read_frame(in, pkt) >= 0) {
    end->last_packet = Clock::now().time_since_epoch().count();
    if (pkt->stream_index == si && avcodec_send_packet(c, pkt) >= 0) {
      while (avcodec_receive_frame(c, f) >= 0) {
        sws = sws_getCachedContext(sws, f->width, f->height, AVPixelFormat(f->format), f->width, f->height,
                                   AV_PIX_FMT_RGBA, SWS_POINT, nullptr, nullptr, nullptr);
        DecodedFrame d;
        d.index = std::llround(double(f->best_effort_timestamp - start) * av_q2d(st->time_base) * fps);
        d.rgba.resize(size_t(f->width) * f->height * 4);
        uint8_t* dst[4] = {d.rgba.data()};
        int dst_stride[4] = {f->width * 4};
        sws_scale(sws, f->data, f->linesize, 0, f->height, dst, dst_stride);
        r.frames.push_back(std::move(d));
      }
    }
    av_packet_unref(pkt);
  }
  sws_freeContext(sws);
  av_frame_free(&f);
  av_packet_free(&pkt);
  avcodec_free_context(&c);
  avformat_close_input(&in);
  return r;
}

// Mean difference per channel value, colour channels only.
inline double MeanDifference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  double sum = 0;
  for (size_t i = 0; i < a.size(); ++i)
    if (i % 4 != 3) sum += std::abs(int(a[i]) - int(b[i]));
  return sum / (double(a.size()) * 3 / 4);
}

inline ReadBack ReadUdp(int port, int want, int fps, std::atomic<bool>* listening, ReadEnd* end) {
  return ReadStream("udp://127.0.0.1:" + std::to_string(port), want, fps, listening, end);
}

}  // namespace vl::streamtest
