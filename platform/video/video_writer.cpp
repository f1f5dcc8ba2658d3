#include "platform/video/video_writer.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

namespace vl::video {
namespace {

std::string AvError(int code) {
  char buf[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, buf, sizeof buf);
  return buf;
}

}  // namespace

struct VideoWriter::Impl {
  AVFormatContext* format = nullptr;
  AVCodecContext* codec = nullptr;
  AVStream* stream = nullptr;
  SwsContext* scaler = nullptr;
  AVFrame* frame = nullptr;
  AVPacket* packet = nullptr;
  int width = 0, height = 0;  // of the input frames
  bool header_written = false;

  ~Impl() {
    if (format && !(format->oformat->flags & AVFMT_NOFILE) && format->pb) avio_closep(&format->pb);
    avformat_free_context(format);
    avcodec_free_context(&codec);
    sws_freeContext(scaler);
    av_frame_free(&frame);
    av_packet_free(&packet);
  }

  // Sends a frame (or null to flush) and writes every packet that comes out.
  bool Encode(AVFrame* f, std::string* error) {
    int rc = avcodec_send_frame(codec, f);
    if (rc < 0) {
      if (error) *error = "encoder refused a frame: " + AvError(rc);
      return false;
    }
    for (;;) {
      rc = avcodec_receive_packet(codec, packet);
      if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return true;
      if (rc < 0) {
        if (error) *error = "encoding failed: " + AvError(rc);
        return false;
      }
      // Every frame lasts one frame period; MP4 trims a last sample of no duration.
      if (packet->duration == 0) packet->duration = 1;
      av_packet_rescale_ts(packet, codec->time_base, stream->time_base);
      packet->stream_index = stream->index;
      rc = av_interleaved_write_frame(format, packet);
      if (rc < 0) {
        if (error) *error = "cannot write to the video file: " + AvError(rc);
        return false;
      }
    }
  }
};

std::unique_ptr<VideoWriter> VideoWriter::Open(const std::string& path, const VideoOptions& options,
                                               std::string* error) {
  auto fail = [&](const std::string& why) -> std::unique_ptr<VideoWriter> {
    if (error) *error = path + ": " + why;
    return nullptr;
  };
  if (options.width < 2 || options.height < 2 || options.fps < 1 || options.width > 8192 ||
      options.height > 8192 || options.fps > 1000)
    return fail("frame size or rate out of range");
  av_log_set_level(AV_LOG_FATAL);  // failures are reported through *error
  std::unique_ptr<VideoWriter> writer(new VideoWriter());
  writer->impl_ = std::make_unique<Impl>();
  Impl& v = *writer->impl_;
  v.width = options.width;
  v.height = options.height;

  int rc = avformat_alloc_output_context2(&v.format, nullptr, nullptr, path.c_str());
  if (rc < 0 || !v.format) return fail("unknown video container (use .mp4, .mkv, .avi or .mov)");
  v.format->flags |= AVFMT_FLAG_BITEXACT;

  const AVCodec* encoder = avcodec_find_encoder_by_name("libx264");
  if (!encoder || avformat_query_codec(v.format->oformat, AV_CODEC_ID_H264, FF_COMPLIANCE_NORMAL) != 1)
    encoder = avcodec_find_encoder(AV_CODEC_ID_MPEG4);
  if (!encoder) return fail("no video encoder available");

  v.stream = avformat_new_stream(v.format, nullptr);
  v.codec = avcodec_alloc_context3(encoder);
  v.frame = av_frame_alloc();
  v.packet = av_packet_alloc();
  if (!v.stream || !v.codec || !v.frame || !v.packet) return fail("out of memory");

  // 4:2:0 needs even sizes; an odd last row or column is dropped.
  v.codec->width = options.width & ~1;
  v.codec->height = options.height & ~1;
  v.codec->pix_fmt = AV_PIX_FMT_YUV420P;
  v.codec->time_base = AVRational{1, options.fps};
  v.codec->framerate = AVRational{options.fps, 1};
  v.codec->gop_size = options.fps;
  v.codec->thread_count = 1;  // one thread keeps the output the same on every run
  v.codec->flags |= AV_CODEC_FLAG_BITEXACT;
  if (v.format->oformat->flags & AVFMT_GLOBALHEADER) v.codec->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  if (encoder->id == AV_CODEC_ID_H264) {
    av_opt_set(v.codec->priv_data, "preset", "medium", 0);
    av_opt_set(v.codec->priv_data, "crf", std::to_string(options.quality).c_str(), 0);
  } else {
    v.codec->bit_rate = static_cast<int64_t>(options.width) * options.height * options.fps / 4;
    v.codec->max_b_frames = 0;
  }
  rc = avcodec_open2(v.codec, encoder, nullptr);
  if (rc < 0) return fail("cannot open the " + std::string(encoder->name) + " encoder: " + AvError(rc));
  rc = avcodec_parameters_from_context(v.stream->codecpar, v.codec);
  if (rc < 0) return fail("cannot set up the video stream: " + AvError(rc));
  v.stream->time_base = v.codec->time_base;

  v.frame->format = v.codec->pix_fmt;
  v.frame->width = v.codec->width;
  v.frame->height = v.codec->height;
  rc = av_frame_get_buffer(v.frame, 0);
  if (rc < 0) return fail("out of memory for frames");
  v.scaler = sws_getContext(v.codec->width, v.codec->height, AV_PIX_FMT_RGBA, v.codec->width, v.codec->height,
                            AV_PIX_FMT_YUV420P, SWS_BICUBIC | SWS_ACCURATE_RND | SWS_BITEXACT, nullptr, nullptr,
                            nullptr);
  if (!v.scaler) return fail("cannot set up the colour conversion");

  if (!(v.format->oformat->flags & AVFMT_NOFILE)) {
    rc = avio_open(&v.format->pb, path.c_str(), AVIO_FLAG_WRITE);
    if (rc < 0) return fail("cannot create the file: " + AvError(rc));
  }
  rc = avformat_write_header(v.format, nullptr);
  if (rc < 0) return fail("cannot write the video header: " + AvError(rc));
  v.header_written = true;
  return writer;
}

VideoWriter::~VideoWriter() {
  // A writer that never got its header written (a failed Open) has nothing to finish.
  if (impl_ && impl_->header_written && !finished_) Finish(nullptr);
}

bool VideoWriter::AddFrame(const uint8_t* rgba, std::string* error) {
  Impl& v = *impl_;
  if (finished_) {
    if (error) *error = "the video is already finished";
    return false;
  }
  int rc = av_frame_make_writable(v.frame);
  if (rc < 0) {
    if (error) *error = "out of memory for frames";
    return false;
  }
  const uint8_t* src[1] = {rgba};
  const int stride[1] = {v.width * 4};
  sws_scale(v.scaler, src, stride, 0, v.codec->height, v.frame->data, v.frame->linesize);
  v.frame->pts = frames_;
  if (!v.Encode(v.frame, error)) return false;
  ++frames_;
  return true;
}

bool VideoWriter::Finish(std::string* error) {
  if (finished_) return true;
  finished_ = true;
  Impl& v = *impl_;
  bool ok = v.Encode(nullptr, error);
  if (v.header_written) {
    int rc = av_write_trailer(v.format);
    if (rc < 0 && ok) {
      if (error) *error = "cannot finish the video file: " + AvError(rc);
      ok = false;
    }
  }
  if (v.format && !(v.format->oformat->flags & AVFMT_NOFILE) && v.format->pb) {
    if (avio_closep(&v.format->pb) < 0 && ok) {
      if (error) *error = "cannot close the video file";
      ok = false;
    }
  }
  return ok;
}

std::string VideoWriter::codec_name() const { return impl_->codec->codec->name; }

}  // namespace vl::video
