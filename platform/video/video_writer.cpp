#include "platform/video/video_writer.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>

#include "platform/video/audio_track.h"
#include "platform/video/palette.h"

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

// FFmpeg's DV encoder marks NTSC frames with track application ID 1, the code of the
// professional 4:1:1 variant; consumer DV, which this is, has 0 throughout. Each DIF sequence of
// 150 blocks of 80 bytes opens with its header block: the IDs are the low bits of bytes 4 to 7.
bool MarkConsumerDv(AVPacket* packet) {
  if (av_packet_make_writable(packet) < 0) return false;
  constexpr int kSequence = 150 * 80;
  for (int at = 0; at + kSequence <= packet->size; at += kSequence) {
    uint8_t* header = packet->data + at;
    if ((header[0] & 0xE0) != 0 || (header[3] & 0x7F) != 0x3F) continue;  // not a header block
    for (int i = 4; i < 8; ++i) header[i] &= 0xF8;
  }
  return true;
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
  VideoFormat format_kind = VideoFormat::kByExtension;
  std::unique_ptr<AudioTrack> audio;  // writes to `format`: let go of first
  bool header_written = false;
  std::string path;
  int scaled_rows = 0;     // rows of input the scaler reads
  AVRational rate{25, 1};  // frames a second, for the sound that goes with them

  // The samples of sound that last as long as `frames` frames.
  int64_t SamplesFor(int64_t frames) const {
    return av_rescale_q(frames, av_inv_q(rate), AVRational{1, audio->sample_rate()});
  }

  ~Impl() {
    audio.reset();
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
      if (format_kind == VideoFormat::kDvAvi && codec->height == 480 && !MarkConsumerDv(packet)) {
        if (error) *error = "out of memory for frames";
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

namespace {

// How each named format is written: muxer, encoder and the pixel layout the encoder takes.
struct FormatPlan {
  const char* muxer;    // null: from the file name
  const char* encoder;  // null: H.264 or MPEG-4 as the container allows
  AVPixelFormat pixels;
  const char* what;  // for messages
};

FormatPlan PlanFor(VideoFormat format, int height) {
  switch (format) {
    case VideoFormat::kDvAvi:
      // NTSC DV samples colour 4:1:1, PAL DV 4:2:0.
      return {"avi", "dvvideo", height == 480 ? AV_PIX_FMT_YUV411P : AV_PIX_FMT_YUV420P, "DV"};
    case VideoFormat::kVcd: return {"vcd", "mpeg1video", AV_PIX_FMT_YUV420P, "VCD MPEG-1"};
    case VideoFormat::kSvcd: return {"svcd", "mpeg2video", AV_PIX_FMT_YUV420P, "SVCD MPEG-2"};
    case VideoFormat::kMpeg2: return {"vob", "mpeg2video", AV_PIX_FMT_YUV420P, "MPEG-2"};
    case VideoFormat::kDvd: return {"dvd", "mpeg2video", AV_PIX_FMT_YUV420P, "DVD MPEG-2"};
    case VideoFormat::kH263_3gp: return {"3gp", "h263", AV_PIX_FMT_YUV420P, "H.263"};
    case VideoFormat::kH264Mp4: return {"mp4", "libx264", AV_PIX_FMT_YUV420P, "H.264"};
    case VideoFormat::kFfv1Mkv: return {"matroska", "ffv1", AV_PIX_FMT_BGR0, "FFV1"};
    case VideoFormat::kWebp: return {"webp", "libwebp_anim", AV_PIX_FMT_BGRA, "animated WebP"};
    case VideoFormat::kGif: return {"gif", "gif", AV_PIX_FMT_PAL8, "GIF"};
    case VideoFormat::kByExtension: break;
  }
  return {nullptr, nullptr, AV_PIX_FMT_YUV420P, "video"};
}

// The lowest H.263 level that takes a picture size at 29.97 frames a second (176 x 144, the
// 3GP preset's, is level 20), its peak rate and its largest coded picture.
struct H263Level {
  int level;
  int64_t peak_rate;        // bit/s
  int64_t largest_picture;  // bits
};

H263Level H263LevelFor(int width, int height) {
  if (width <= 176 && height <= 144) return {20, 128000, 64 * 1024};
  if (width <= 352 && height <= 288) return {30, 384000, 256 * 1024};
  return {70, 16384000, 512 * 1024};
}

// Rate control and stream settings of each format; the disc formats follow the VCD and SVCD
// constraints (constant 1150 kbit/s MPEG-1; MPEG-2 up to 2516 kbit/s; GOPs of 15 or 18 frames).
void ConfigureDiscEncoder(VideoFormat format, const VideoOptions& o, AVCodecContext* c, AVFormatContext* f) {
  const int gop = o.ntsc_rate ? 18 : 15;
  switch (format) {
    case VideoFormat::kVcd:
      c->bit_rate = c->rc_max_rate = c->rc_min_rate = 1150000;
      c->rc_buffer_size = 40 * 1024 * 8;
      c->gop_size = gop;
      f->packet_size = 2324;
      av_opt_set_int(f->priv_data, "muxrate", 1411200, 0);  // 75 sectors of 2352 bytes a second
      av_opt_set_int(f->priv_data, "preload", 440000, 0);
      break;
    case VideoFormat::kSvcd:
      c->bit_rate = 2040000;
      c->rc_max_rate = 2516000;
      c->rc_buffer_size = 224 * 1024 * 8;
      c->gop_size = gop;
      av_opt_set_int(c->priv_data, "scan_offset", 1, 0);
      f->packet_size = 2324;
      break;
    case VideoFormat::kMpeg2: {
      // The odd frame sizes of these presets have no standard bit rate, so the rate follows the
      // pixels (about half a bit each on average, twice that at the peak), with a floor of
      // constant quality 3 that simple pictures stay at. The ceiling and the buffer are what the
      // sequence header declares and what the program stream's clock is paced by: every frame
      // fits the buffer, and the packs arrive before their pictures are due.
      const double pixels = double(c->width) * c->height * av_q2d(c->framerate);
      c->bit_rate = std::clamp<int64_t>(std::llround(pixels * 0.5), 400000, 7500000);
      c->rc_max_rate = c->bit_rate * 2;  // at most 15 Mbit/s, Main level's ceiling
      // Half a second at the peak rate, in the header's 16 kbit steps, at most Main level's buffer.
      c->rc_buffer_size = std::min<int>(int(c->rc_max_rate / 2) / 16384 * 16384, 1835008);
      c->qmin = 3;
      c->gop_size = gop;
      break;
    }
    case VideoFormat::kDvd:
      // Within DVD-Video's limits: at most 9.8 Mbit/s of video in a 10.08 Mbit/s multiplex of
      // 2048-byte packs (one sector each), the MPEG-2 Main level buffer, GOPs of 15 or 18.
      c->bit_rate = 6000000;
      c->rc_max_rate = 9000000;
      c->rc_buffer_size = 1835008;
      c->gop_size = gop;
      f->packet_size = 2048;
      av_opt_set_int(f->priv_data, "muxrate", 10080000, 0);
      break;
    default: break;
  }
}

void ConfigureEncoder(VideoFormat format, const VideoOptions& o, AVCodecContext* c, AVFormatContext* f) {
  const int gop = o.ntsc_rate ? 18 : 15;
  switch (format) {
    case VideoFormat::kVcd:
    case VideoFormat::kSvcd:
    case VideoFormat::kMpeg2:
    case VideoFormat::kDvd: ConfigureDiscEncoder(format, o, c, f); break;
    case VideoFormat::kH263_3gp: {
      // At most the level's peak rate, in the buffer the level's reference decoder has (four
      // frame periods at the peak rate and one largest picture of the size). The file is
      // labelled with the level once written.
      const H263Level level = H263LevelFor(c->width, c->height);
      c->rc_max_rate = level.peak_rate;
      c->bit_rate = level.peak_rate / 8 * 7;
      c->rc_buffer_size = static_cast<int>(4 * level.peak_rate * 1001 / 30000 + level.largest_picture);
      c->gop_size = gop;
      av_opt_set(f->priv_data, "movflags", "+faststart", 0);  // phones stream it: the index first
      break;
    }
    case VideoFormat::kDvAvi:
      // DV has one bit rate per standard: a frame of 144000 (PAL) or 120000 (NTSC) bytes. Said
      // here, the AVI header's data rate is DV's rather than the encoder's default 200 kbit/s.
      c->bit_rate = std::llround((c->height == 480 ? 120000 : 144000) * 8 * av_q2d(c->framerate));
      break;
    case VideoFormat::kFfv1Mkv:
      c->gop_size = 1;
      av_opt_set_int(c->priv_data, "slicecrc", 1, 0);
      av_opt_set_int(c->priv_data, "level", 3, 0);
      break;
    case VideoFormat::kWebp:
      av_opt_set_double(c->priv_data, "quality", 80.0, 0);
      av_opt_set_int(f->priv_data, "loop", 0, 0);  // 0: for ever
      break;
    case VideoFormat::kGif:
      // Each frame brings its own palette, so frames must not be cut to the pixels that changed
      // against the previous frame's indices.
      av_opt_set_int(c->priv_data, "gifflags", 0, 0);
      av_opt_set_int(f->priv_data, "loop", 0, 0);
      break;
    case VideoFormat::kH264Mp4:
      // The index at the front, so a web page can start playing before the whole file arrived.
      av_opt_set(f->priv_data, "movflags", "+faststart", 0);
      break;
    case VideoFormat::kByExtension: break;
  }
}

// FFmpeg labels every H.263 track in MP4/3GP as level 10 (176 x 144 at 15 frames a second,
// 64 kbit/s), which a phone holds the stream to. Sets the level byte of the track's 'd263' box,
// in the index at the front of the finished file, to the level the stream was encoded for.
bool LabelH263Level(const std::string& path, int level, std::string* error) {
  std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
  auto be32 = [](const unsigned char* b) {
    return uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3];
  };
  std::streamoff at = 0;
  unsigned char head[8];
  // The top-level boxes up to 'moov'; the index comes before the pictures, so this is short.
  while (file && file.seekg(at) && file.read(reinterpret_cast<char*>(head), 8)) {
    const uint32_t size = be32(head);
    if (std::memcmp(head + 4, "moov", 4) == 0 && size > 8 && size < (64u << 20)) {
      std::string moov(size - 8, '\0');
      if (!file.read(moov.data(), static_cast<std::streamsize>(moov.size()))) break;
      // The box is 15 bytes: size, 'd263', vendor, decoder version, level, profile.
      const size_t box =
          moov.find(std::string("\0\0\0\x0f"
                                "d263",
                                8));
      if (box == std::string::npos) break;
      const char value = static_cast<char>(level);
      file.seekp(at + 8 + static_cast<std::streamoff>(box) + 13);
      if (file.write(&value, 1) && file.flush()) return true;
      break;
    }
    if (size < 8) break;
    at += size;
  }
  if (error) *error = "cannot label the H.263 level in the finished file";
  return false;
}

// The sound each format carries.
AudioPlan AudioPlanFor(VideoFormat format) {
  switch (format) {
    case VideoFormat::kDvAvi: return {"pcm_s16le", 48000, 0};
    case VideoFormat::kVcd:
    case VideoFormat::kSvcd: return {"mp2", 44100, 224000};  // the discs' own rate
    case VideoFormat::kMpeg2: return {"mp2", 48000, 224000};
    case VideoFormat::kDvd: return {"ac3", 48000, 192000};
    case VideoFormat::kFfv1Mkv: return {"flac", 48000, 0};
    default: return {"aac", 48000, 192000};
  }
}

}  // namespace

bool FormatHasAudio(VideoFormat format) { return format != VideoFormat::kWebp && format != VideoFormat::kGif; }

namespace {

// The container and the encoder; an empty string when both are there.
std::string OpenContainer(VideoWriter::Impl& v, const FormatPlan& plan, const std::string& path,
                          const AVCodec** encoder) {
  int rc = avformat_alloc_output_context2(&v.format, nullptr, plan.muxer, path.c_str());
  if (rc < 0 || !v.format) {
    if (plan.muxer) return std::string("this FFmpeg cannot write ") + plan.what + " files";
    return "unknown video container (use .mp4, .mkv, .avi or .mov)";
  }
  v.format->flags |= AVFMT_FLAG_BITEXACT;
  if (plan.encoder) {
    *encoder = avcodec_find_encoder_by_name(plan.encoder);
    if (!*encoder) return std::string("this FFmpeg has no ") + plan.encoder + " encoder for " + plan.what;
  } else {
    *encoder = avcodec_find_encoder_by_name("libx264");
    if (!*encoder || avformat_query_codec(v.format->oformat, AV_CODEC_ID_H264, FF_COMPLIANCE_NORMAL) != 1)
      *encoder = avcodec_find_encoder(AV_CODEC_ID_MPEG4);
    if (!*encoder) return "no video encoder available";
  }
  v.stream = avformat_new_stream(v.format, nullptr);
  v.codec = avcodec_alloc_context3(*encoder);
  v.frame = av_frame_alloc();
  v.packet = av_packet_alloc();
  if (!v.stream || !v.codec || !v.frame || !v.packet) return "out of memory";
  return {};
}

// The encoder's settings, opened.
std::string OpenEncoder(VideoWriter::Impl& v, const FormatPlan& plan, const AVCodec* encoder,
                        const VideoOptions& options) {
  // Colour subsampling needs even sizes; an odd last row or column is dropped.
  const AVPixelFormat pixels = plan.pixels;
  const bool subsampled = pixels != AV_PIX_FMT_BGR0 && pixels != AV_PIX_FMT_BGRA && pixels != AV_PIX_FMT_PAL8;
  v.codec->width = subsampled ? options.width & ~1 : options.width;
  v.codec->height = subsampled ? options.height & ~1 : options.height;
  v.codec->pix_fmt = pixels;
  const AVRational rate = options.ntsc_rate ? AVRational{options.fps * 1000, 1001} : AVRational{options.fps, 1};
  v.codec->time_base = av_inv_q(rate);
  v.codec->framerate = rate;
  v.codec->gop_size = options.fps;
  v.codec->thread_count = 1;  // one thread keeps the output the same on every run
  v.codec->flags |= AV_CODEC_FLAG_BITEXACT;
  if (v.format->oformat->flags & AVFMT_GLOBALHEADER) v.codec->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  if (encoder->id == AV_CODEC_ID_H264) {
    av_opt_set(v.codec->priv_data, "preset", options.h264_speed.c_str(), 0);
    av_opt_set(v.codec->priv_data, "crf", std::to_string(options.quality).c_str(), 0);
  } else if (!plan.encoder) {
    v.codec->bit_rate = static_cast<int64_t>(options.width) * options.height * options.fps / 4;
    v.codec->max_b_frames = 0;
  }
  ConfigureEncoder(options.format, options, v.codec, v.format);
  // Every file says what shape its pixels are, as drawn. Where the stream's own header cannot
  // (H.263's picture sizes imply 12:11) the container does: 3GP's pixel aspect box, AVI's video
  // properties header. DV's own header says 4:3 from this shape.
  av_reduce(&v.codec->sample_aspect_ratio.num, &v.codec->sample_aspect_ratio.den, options.pixel_aspect_num,
            options.pixel_aspect_den, 1 << 16);
  const int rc = avcodec_open2(v.codec, encoder, nullptr);
  if (rc < 0)
    return std::string("the ") + encoder->name + " encoder refused " + std::to_string(v.codec->width) + " x " +
           std::to_string(v.codec->height) + " at " + std::to_string(rate.num) + "/" + std::to_string(rate.den) +
           " frames a second: " + AvError(rc);
  return {};
}

// The video stream as the encoder set it up.
std::string SetUpStream(VideoWriter::Impl& v, VideoFormat format) {
  const int rc = avcodec_parameters_from_context(v.stream->codecpar, v.codec);
  if (rc < 0) return "cannot set up the video stream: " + AvError(rc);
  // The program stream muxer takes its clock rate and buffer sizes from the encoder's declared
  // peak rate and buffer; without them it assumes 200 kbit/s whatever the stream holds.
  if (format == VideoFormat::kMpeg2)
    for (int i = 0; i < v.codec->nb_coded_side_data; ++i) {
      const AVPacketSideData& sd = v.codec->coded_side_data[i];
      uint8_t* copy = av_stream_new_side_data(v.stream, sd.type, sd.size);
      if (!copy) return "out of memory";
      std::memcpy(copy, sd.data, sd.size);
    }
  v.stream->sample_aspect_ratio = v.codec->sample_aspect_ratio;
  // The file's only track: players and editors (Matroska's Default flag) take it without asking.
  v.stream->disposition = AV_DISPOSITION_DEFAULT;
  v.stream->time_base = v.codec->time_base;
  v.stream->avg_frame_rate = v.codec->framerate;
  v.stream->r_frame_rate = v.codec->framerate;
  return {};
}

// The frame the encoder takes, and the conversion (and scaling) of the RGBA frames into it.
std::string SetUpConversion(VideoWriter::Impl& v, const VideoOptions& options) {
  v.frame->format = v.codec->pix_fmt;
  v.frame->width = v.codec->width;
  v.frame->height = v.codec->height;
  if (av_frame_get_buffer(v.frame, 0) < 0) return "out of memory for frames";
  const bool same = v.width == options.width && v.height == options.height;
  if (v.codec->pix_fmt == AV_PIX_FMT_PAL8) return same ? "" : "GIF frames are not scaled: give them at the file's size";
  // Frames of another size are scaled as they are converted. An odd last row or column of a
  // frame the file's size is dropped, not scaled into the rest.
  v.scaler = sws_getContext(same ? v.codec->width : v.width, same ? v.codec->height : v.height, AV_PIX_FMT_RGBA,
                            v.codec->width, v.codec->height, v.codec->pix_fmt,
                            SWS_BICUBIC | SWS_ACCURATE_RND | SWS_BITEXACT, nullptr, nullptr, nullptr);
  if (!v.scaler) return "cannot set up the colour conversion";
  v.scaled_rows = same ? v.codec->height : v.height;
  return {};
}

}  // namespace

std::unique_ptr<VideoWriter> VideoWriter::Open(const std::string& path, const VideoOptions& options,
                                               std::string* error) {
  auto fail = [&](const std::string& why) -> std::unique_ptr<VideoWriter> {
    if (error) *error = path + ": " + why;
    return nullptr;
  };
  const int input_width = options.input_width > 0 ? options.input_width : options.width;
  const int input_height = options.input_height > 0 ? options.input_height : options.height;
  if (options.width < 2 || options.height < 2 || options.fps < 1 || options.width > 8192 || options.height > 8192 ||
      options.fps > 1000 || input_width < 2 || input_height < 2 || input_width > 8192 || input_height > 8192 ||
      options.pixel_aspect_num < 1 || options.pixel_aspect_den < 1)
    return fail("frame size, rate or pixel shape out of range");
  if (options.audio != VideoOptions::Audio::kNone && !FormatHasAudio(options.format))
    return fail("this format carries no sound");
  av_log_set_level(AV_LOG_FATAL);  // failures are reported through *error
  std::unique_ptr<VideoWriter> writer(new VideoWriter());
  writer->impl_ = std::make_unique<Impl>();
  Impl& v = *writer->impl_;
  v.width = input_width;
  v.height = input_height;
  v.format_kind = options.format;
  v.path = path;
  const FormatPlan plan = PlanFor(options.format, options.height);
  const AVCodec* encoder = nullptr;
  if (std::string why = OpenContainer(v, plan, path, &encoder); !why.empty()) return fail(why);
  if (std::string why = OpenEncoder(v, plan, encoder, options); !why.empty()) return fail(why);
  if (std::string why = SetUpStream(v, options.format); !why.empty()) return fail(why);
  if (std::string why = SetUpConversion(v, options); !why.empty()) return fail(why);
  if (options.audio != VideoOptions::Audio::kNone) {
    std::string why;
    const bool from_file = options.audio == VideoOptions::Audio::kFile;
    v.audio = AudioTrack::Create(v.format, AudioPlanFor(options.format), from_file ? options.audio_path : std::string(),
                                 &why);
    if (!v.audio) {
      if (error) *error = from_file && why.rfind(options.audio_path, 0) == 0 ? why : path + ": " + why;
      return nullptr;
    }
    v.rate = v.codec->framerate;
  }
  if (!(v.format->oformat->flags & AVFMT_NOFILE)) {
    const int rc = avio_open(&v.format->pb, path.c_str(), AVIO_FLAG_WRITE);
    if (rc < 0) return fail("cannot create the file: " + AvError(rc));
  }
  const int rc = avformat_write_header(v.format, nullptr);
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
  if (v.codec->pix_fmt == AV_PIX_FMT_PAL8) {
    const PalettedFrame paletted = QuantiseFrame(rgba, v.width, v.height);
    for (int y = 0; y < v.height; ++y)
      std::memcpy(v.frame->data[0] + static_cast<ptrdiff_t>(y) * v.frame->linesize[0],
                  paletted.indices.data() + static_cast<size_t>(y) * v.width, static_cast<size_t>(v.width));
    std::memcpy(v.frame->data[1], paletted.palette.data(), 256 * 4);
  } else {
    const uint8_t* src[1] = {rgba};
    const int stride[1] = {v.width * 4};
    sws_scale(v.scaler, src, stride, 0, v.scaled_rows, v.frame->data, v.frame->linesize);
    // Frames are opaque whatever alpha the framebuffer held.
    if (v.codec->pix_fmt == AV_PIX_FMT_BGRA)
      for (int y = 0; y < v.codec->height; ++y) {
        uint8_t* row = v.frame->data[0] + static_cast<ptrdiff_t>(y) * v.frame->linesize[0];
        for (int x = 0; x < v.codec->width; ++x) row[x * 4 + 3] = 255;
      }
  }
  v.frame->pts = frames_;
  if (!v.Encode(v.frame, error)) return false;
  ++frames_;
  // The sound that goes with the pictures so far, so the two arrive interleaved.
  if (v.audio && !v.audio->WriteUntil(v.SamplesFor(frames_), error)) return false;
  return true;
}

bool VideoWriter::Finish(std::string* error) {
  if (finished_) return true;
  finished_ = true;
  Impl& v = *impl_;
  bool ok = v.Encode(nullptr, error);
  // Exactly as long as the pictures.
  if (ok && v.audio) ok = v.audio->Finish(v.SamplesFor(frames_), error);
  if (v.header_written) {
    int rc = av_write_trailer(v.format);
    if (rc < 0 && ok) {
      if (error) *error = "cannot finish the video file: " + AvError(rc);
      ok = false;
    }
  }
  if (v.format && !(v.format->oformat->flags & AVFMT_NOFILE) && v.format->pb) {
    avio_flush(v.format->pb);
    if (v.format->pb->error < 0 && ok) {
      if (error) *error = "cannot write to the video file: " + AvError(v.format->pb->error);
      ok = false;
    }
    if (avio_closep(&v.format->pb) < 0 && ok) {
      if (error) *error = "cannot close the video file";
      ok = false;
    }
  }
  if (ok && v.format_kind == VideoFormat::kH263_3gp)
    ok = LabelH263Level(v.path, H263LevelFor(v.codec->width, v.codec->height).level, error);
  return ok;
}

std::string VideoWriter::codec_name() const { return impl_->codec->codec->name; }

std::string VideoWriter::audio_codec_name() const { return impl_->audio ? impl_->audio->codec_name() : std::string(); }

}  // namespace vl::video
