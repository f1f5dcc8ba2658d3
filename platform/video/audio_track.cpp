#include "platform/video/audio_track.h"

#include <algorithm>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

namespace vl::video {
namespace {

std::string AvError(int code) {
  char buf[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, buf, sizeof buf);
  return buf;
}

// A sound shorter than this (a tenth of a second) is refused rather than looped: opening the file
// again every few samples would take for ever over a long video.
constexpr int kShortestLoopDivisor = 10;

}  // namespace

struct AudioTrack::Impl {
  // Output
  AVFormatContext* format = nullptr;  // not owned
  AVStream* stream = nullptr;
  AVCodecContext* encoder = nullptr;
  AVFrame* frame = nullptr;
  AVPacket* packet = nullptr;
  int frame_samples = 0;  // samples an encoder frame holds
  bool variable_frames = false;
  int64_t written = 0;  // samples handed to the encoder

  // Input (none for silence)
  std::string source;
  AVFormatContext* input = nullptr;
  AVCodecContext* decoder = nullptr;
  int input_stream = -1;
  SwrContext* resampler = nullptr;
  AVAudioFifo* fifo = nullptr;
  AVPacket* in_packet = nullptr;
  AVFrame* decoded = nullptr;
  int64_t samples_this_pass = 0;

  ~Impl() {
    CloseInput();
    swr_free(&resampler);
    if (fifo) av_audio_fifo_free(fifo);
    av_packet_free(&in_packet);
    av_frame_free(&decoded);
    avcodec_free_context(&encoder);
    av_frame_free(&frame);
    av_packet_free(&packet);
  }

  void CloseInput() {
    avcodec_free_context(&decoder);
    avformat_close_input(&input);
  }

  bool OpenInput(std::string* error) {
    auto fail = [&](const std::string& why) {
      if (error) *error = source + ": " + why;
      CloseInput();
      return false;
    };
    int rc = avformat_open_input(&input, source.c_str(), nullptr, nullptr);
    if (rc < 0) return fail("cannot read it as sound: " + AvError(rc));
    rc = avformat_find_stream_info(input, nullptr);
    if (rc < 0) return fail("cannot read it as sound: " + AvError(rc));
    const AVCodec* codec = nullptr;
    input_stream = av_find_best_stream(input, AVMEDIA_TYPE_AUDIO, -1, -1, &codec, 0);
    if (input_stream < 0 || !codec) return fail("has no sound FFmpeg can decode");
    decoder = avcodec_alloc_context3(codec);
    if (!decoder) return fail("out of memory");
    rc = avcodec_parameters_to_context(decoder, input->streams[input_stream]->codecpar);
    if (rc >= 0) {
      decoder->thread_count = 1;
      rc = avcodec_open2(decoder, codec, nullptr);
    }
    if (rc < 0) return fail("cannot decode its sound: " + AvError(rc));
    if (decoder->sample_rate <= 0 || decoder->ch_layout.nb_channels <= 0)
      return fail("its sound has no rate or channels");
    return true;
  }

  bool MakeResampler(std::string* error) {
    // Any layout the decoder reports, a default one for its channel count when it reports none.
    AVChannelLayout in_layout{};
    if (decoder->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC)
      av_channel_layout_default(&in_layout, decoder->ch_layout.nb_channels);
    else av_channel_layout_copy(&in_layout, &decoder->ch_layout);
    swr_free(&resampler);
    int rc = swr_alloc_set_opts2(&resampler, &encoder->ch_layout, encoder->sample_fmt, encoder->sample_rate, &in_layout,
                                 decoder->sample_fmt, decoder->sample_rate, 0, nullptr);
    av_channel_layout_uninit(&in_layout);
    if (rc >= 0) rc = swr_init(resampler);
    if (rc < 0) {
      if (error) *error = source + ": cannot convert its sound: " + AvError(rc);
      return false;
    }
    return true;
  }

  // Converts a decoded frame (null: what the resampler still holds) into the queue.
  bool Queue(const AVFrame* in, std::string* error) {
    const int room = swr_get_out_samples(resampler, in ? in->nb_samples : 0);
    if (room < 0) return true;
    uint8_t** planes = nullptr;
    int rc = av_samples_alloc_array_and_samples(&planes, nullptr, encoder->ch_layout.nb_channels, std::max(room, 1),
                                                encoder->sample_fmt, 0);
    if (rc < 0) {
      if (error) *error = "out of memory for sound";
      return false;
    }
    const int got = swr_convert(resampler, planes, room, in ? const_cast<const uint8_t**>(in->extended_data) : nullptr,
                                in ? in->nb_samples : 0);
    bool ok = got >= 0;
    if (got > 0) ok = av_audio_fifo_write(fifo, reinterpret_cast<void**>(planes), got) == got;
    samples_this_pass += std::max(got, 0);
    av_freep(&planes[0]);
    av_freep(&planes);
    if (!ok && error) *error = source + ": cannot convert its sound";
    return ok;
  }

  // Reads on until the queue holds `wanted` samples, from the start again at the file's end.
  bool Fill(int wanted, std::string* error) {
    while (av_audio_fifo_size(fifo) < wanted) {
      int rc = av_read_frame(input, in_packet);
      if (rc < 0) {
        // The end (or a read error past which nothing comes): drain the decoder, then start over.
        avcodec_send_packet(decoder, nullptr);
        while (avcodec_receive_frame(decoder, decoded) >= 0)
          if (!Queue(decoded, error)) return false;
        if (samples_this_pass < encoder->sample_rate / kShortestLoopDivisor) {
          if (error)
            *error = source + (samples_this_pass == 0
                                   ? ": has no sound to play (nothing could be decoded)"
                                   : ": its sound is shorter than a tenth of a second, too short to loop");
          return false;
        }
        samples_this_pass = 0;
        CloseInput();
        if (!OpenInput(error)) return false;
        continue;
      }
      if (in_packet->stream_index == input_stream) {
        rc = avcodec_send_packet(decoder, in_packet);
        // A damaged packet is skipped, as players do; the rest of the file still plays.
        if (rc >= 0 || rc == AVERROR(EAGAIN))
          while (avcodec_receive_frame(decoder, decoded) >= 0)
            if (!Queue(decoded, error)) {
              av_packet_unref(in_packet);
              return false;
            }
      }
      av_packet_unref(in_packet);
    }
    return true;
  }

  bool WritePackets(std::string* error) {
    for (;;) {
      int rc = avcodec_receive_packet(encoder, packet);
      if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return true;
      if (rc < 0) {
        if (error) *error = "encoding the sound failed: " + AvError(rc);
        return false;
      }
      av_packet_rescale_ts(packet, encoder->time_base, stream->time_base);
      packet->stream_index = stream->index;
      rc = av_interleaved_write_frame(format, packet);
      if (rc < 0) {
        if (error) *error = "cannot write to the video file: " + AvError(rc);
        return false;
      }
    }
  }

  // Encodes `n` samples: `sound` of them from the source (or silence), the rest silence.
  bool EncodeFrame(int n, int sound, std::string* error) {
    av_frame_unref(frame);
    frame->format = encoder->sample_fmt;
    frame->sample_rate = encoder->sample_rate;
    frame->nb_samples = n;
    av_channel_layout_copy(&frame->ch_layout, &encoder->ch_layout);
    if (av_frame_get_buffer(frame, 0) < 0) {
      if (error) *error = "out of memory for sound";
      return false;
    }
    av_samples_set_silence(frame->extended_data, 0, n, encoder->ch_layout.nb_channels, encoder->sample_fmt);
    if (input && sound > 0) {
      if (!Fill(sound, error)) return false;
      if (av_audio_fifo_read(fifo, reinterpret_cast<void**>(frame->extended_data), sound) != sound) {
        if (error) *error = source + ": cannot read its sound";
        return false;
      }
    }
    frame->pts = written;
    written += n;
    const int rc = avcodec_send_frame(encoder, frame);
    if (rc < 0) {
      if (error) *error = "the sound encoder refused a frame: " + AvError(rc);
      return false;
    }
    return WritePackets(error);
  }
};

std::unique_ptr<AudioTrack> AudioTrack::Create(AVFormatContext* format, const AudioPlan& plan,
                                               const std::string& source, std::string* error) {
  std::unique_ptr<AudioTrack> track(new AudioTrack());
  track->impl_ = std::make_unique<Impl>();
  Impl& a = *track->impl_;
  a.format = format;
  a.source = source;
  auto fail = [&](const std::string& why) -> std::unique_ptr<AudioTrack> {
    if (error) *error = why;
    return nullptr;
  };
  const AVCodec* codec = avcodec_find_encoder_by_name(plan.encoder);
  if (!codec) return fail(std::string("this FFmpeg has no ") + plan.encoder + " encoder for the sound");
  a.encoder = avcodec_alloc_context3(codec);
  a.frame = av_frame_alloc();
  a.packet = av_packet_alloc();
  if (!a.encoder || !a.frame || !a.packet) return fail("out of memory");
  a.encoder->sample_fmt = codec->sample_fmts ? codec->sample_fmts[0] : AV_SAMPLE_FMT_S16;
  a.encoder->sample_rate = plan.sample_rate;
  const AVChannelLayout stereo = AV_CHANNEL_LAYOUT_STEREO;
  av_channel_layout_copy(&a.encoder->ch_layout, &stereo);
  if (plan.bit_rate > 0) a.encoder->bit_rate = plan.bit_rate;
  a.encoder->time_base = AVRational{1, plan.sample_rate};
  a.encoder->thread_count = 1;
  a.encoder->flags |= AV_CODEC_FLAG_BITEXACT;
  if (format->oformat->flags & AVFMT_GLOBALHEADER) a.encoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  int rc = avcodec_open2(a.encoder, codec, nullptr);
  if (rc < 0) return fail(std::string("the ") + plan.encoder + " sound encoder refused its settings: " + AvError(rc));
  a.variable_frames = a.encoder->frame_size == 0 || (codec->capabilities & AV_CODEC_CAP_VARIABLE_FRAME_SIZE);
  // PCM takes any number: a hundredth of a second at a time keeps the interleaving fine.
  a.frame_samples = a.encoder->frame_size > 0 ? a.encoder->frame_size : plan.sample_rate / 100;

  a.stream = avformat_new_stream(format, nullptr);
  if (!a.stream) return fail("out of memory");
  rc = avcodec_parameters_from_context(a.stream->codecpar, a.encoder);
  if (rc < 0) return fail("cannot set up the sound stream: " + AvError(rc));
  a.stream->time_base = a.encoder->time_base;

  if (!source.empty()) {
    a.fifo = av_audio_fifo_alloc(a.encoder->sample_fmt, a.encoder->ch_layout.nb_channels, a.frame_samples);
    a.in_packet = av_packet_alloc();
    a.decoded = av_frame_alloc();
    if (!a.fifo || !a.in_packet || !a.decoded) return fail("out of memory");
    std::string why;
    if (!a.OpenInput(&why) || !a.MakeResampler(&why)) return fail(why);
  }
  return track;
}

AudioTrack::~AudioTrack() = default;

bool AudioTrack::WriteUntil(int64_t samples, std::string* error) {
  Impl& a = *impl_;
  while (a.written + a.frame_samples <= samples)
    if (!a.EncodeFrame(a.frame_samples, a.frame_samples, error)) return false;
  return true;
}

bool AudioTrack::Finish(int64_t samples, std::string* error) {
  Impl& a = *impl_;
  if (!WriteUntil(samples, error)) return false;
  const int64_t left = samples - a.written;
  if (left > 0) {
    const int n = static_cast<int>(left);
    if (!a.EncodeFrame(a.variable_frames ? n : a.frame_samples, n, error)) return false;
  }
  if (avcodec_send_frame(a.encoder, nullptr) < 0) return true;
  return a.WritePackets(error);
}

int AudioTrack::sample_rate() const { return impl_->encoder->sample_rate; }

std::string AudioTrack::codec_name() const { return impl_->encoder->codec->name; }

}  // namespace vl::video
