// Video files: what we write decodes back to the frames we gave, and the same frames give the same
// bytes on every run.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <vector>

#include "platform/video/palette.h"
#include "platform/video/video_writer.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace {

namespace fs = std::filesystem;

std::vector<uint8_t> Frame(int w, int h, int i) {
  std::vector<uint8_t> rgba(static_cast<size_t>(w) * h * 4);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      uint8_t* p = &rgba[(static_cast<size_t>(y) * w + x) * 4];
      const bool left = x < w / 2;
      p[0] = left ? 220 : 20;
      p[1] = static_cast<uint8_t>(i * 10);
      p[2] = left ? 20 : 220;
      p[3] = 255;
    }
  return rgba;
}

struct Decoded {
  int frames = 0, width = 0, height = 0;
  int left_red = 0, right_blue = 0;  // of the last frame, mid row
};

Decoded Decode(const std::string& path) {
  Decoded d;
  AVFormatContext* fmt = nullptr;
  if (avformat_open_input(&fmt, path.c_str(), nullptr, nullptr) < 0) return d;
  avformat_find_stream_info(fmt, nullptr);
  const int s = av_find_best_stream(fmt, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  const AVCodec* dec = avcodec_find_decoder(fmt->streams[s]->codecpar->codec_id);
  AVCodecContext* ctx = avcodec_alloc_context3(dec);
  avcodec_parameters_to_context(ctx, fmt->streams[s]->codecpar);
  avcodec_open2(ctx, dec, nullptr);
  AVPacket* pkt = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  auto drain = [&] {
    while (avcodec_receive_frame(ctx, frame) == 0) {
      ++d.frames;
      d.width = frame->width;
      d.height = frame->height;
      // YUV: V (Cr) is high where red dominates, U (Cb) where blue does.
      const int row = frame->height / 4;
      d.left_red = frame->data[2][row * frame->linesize[2] + 2];
      d.right_blue = frame->data[1][row * frame->linesize[1] + frame->width / 2 - 3];
    }
  };
  while (av_read_frame(fmt, pkt) >= 0) {
    if (pkt->stream_index == s) {
      while (avcodec_send_packet(ctx, pkt) == AVERROR(EAGAIN)) drain();
      drain();
    }
    av_packet_unref(pkt);
  }
  avcodec_send_packet(ctx, nullptr);
  drain();
  av_frame_free(&frame);
  av_packet_free(&pkt);
  avcodec_free_context(&ctx);
  avformat_close_input(&fmt);
  return d;
}

class VideoWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("vl_video_" + std::to_string(::getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string Write(const std::string& name, int w, int h, int frames) {
    std::string err;
    vl::video::VideoOptions o;
    o.width = w;
    o.height = h;
    o.fps = 25;
    auto v = vl::video::VideoWriter::Open((dir_ / name).string(), o, &err);
    EXPECT_TRUE(v) << err;
    if (!v) return {};
    for (int i = 0; i < frames; ++i) EXPECT_TRUE(v->AddFrame(Frame(w, h, i).data(), &err)) << err;
    EXPECT_TRUE(v->Finish(&err)) << err;
    EXPECT_EQ(v->frames_written(), frames);
    return (dir_ / name).string();
  }
  fs::path dir_;
};

TEST_F(VideoWriterTest, FramesDecodeBackWithTheirSizeCountAndColours) {
  for (const char* name : {"a.mkv", "a.avi", "a.mp4"}) {
    SCOPED_TRACE(name);
    Decoded d = Decode(Write(name, 96, 64, 12));
    EXPECT_EQ(d.frames, 12) << name;
    EXPECT_EQ(d.width, 96);
    EXPECT_EQ(d.height, 64);
    EXPECT_GT(d.left_red, 160);
    EXPECT_GT(d.right_blue, 160);
  }
  // Odd sizes lose their last row and column rather than failing.
  Decoded odd = Decode(Write("odd.mp4", 33, 21, 3));
  EXPECT_EQ(odd.width, 32);
  EXPECT_EQ(odd.height, 20);
}

TEST_F(VideoWriterTest, SameFramesGiveTheSameBytes) {
  auto slurp = [](const std::string& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  const std::string a = slurp(Write("one.mp4", 64, 48, 30));
  const std::string b = slurp(Write("two.mp4", 64, 48, 30));
  ASSERT_FALSE(a.empty());
  EXPECT_EQ(a, b);
}

TEST_F(VideoWriterTest, RefusesBadTargets) {
  std::string err;
  vl::video::VideoOptions o;
  EXPECT_FALSE(vl::video::VideoWriter::Open((dir_ / "x.unknownext").string(), o, &err));
  EXPECT_NE(err.find("x.unknownext"), std::string::npos);
  EXPECT_FALSE(vl::video::VideoWriter::Open((dir_ / "no" / "such" / "dir.mp4").string(), o, &err));
  EXPECT_NE(err.find("dir.mp4"), std::string::npos);
  o.width = 0;
  EXPECT_FALSE(vl::video::VideoWriter::Open((dir_ / "z.mp4").string(), o, &err));
}

TEST_F(VideoWriterTest, FormatsRefuseWhatTheirEncoderCannotTake) {
  std::string err;
  vl::video::VideoOptions o;
  o.format = vl::video::VideoFormat::kDvAvi;
  o.width = 640;  // DV knows 720 wide only
  o.height = 480;
  o.fps = 30;
  o.ntsc_rate = true;
  EXPECT_FALSE(vl::video::VideoWriter::Open((dir_ / "dv.avi").string(), o, &err));
  EXPECT_NE(err.find("dv.avi: the dvvideo encoder refused 640 x 480 at 30000/1001"), std::string::npos) << err;
  EXPECT_FALSE(fs::exists(dir_ / "dv.avi"));
  o.width = 720;
  EXPECT_TRUE(vl::video::VideoWriter::Open((dir_ / "dv.avi").string(), o, &err)) << err;
}

TEST(Palette, FewColoursStayExactAndManyStayClose) {
  // 200 distinct colours: each keeps its own palette entry.
  const int w = 20, h = 10;
  std::vector<uint8_t> rgba(static_cast<size_t>(w) * h * 4);
  for (int i = 0; i < w * h; ++i) {
    rgba[i * 4 + 0] = static_cast<uint8_t>(i * 37);
    rgba[i * 4 + 1] = static_cast<uint8_t>(i * 11 + 8 * (i % 3));
    rgba[i * 4 + 2] = static_cast<uint8_t>(255 - i);
    rgba[i * 4 + 3] = 0;  // alpha plays no part
  }
  auto decoded = [](const vl::video::PalettedFrame& p, size_t i, int c) {
    return static_cast<int>((p.palette[p.indices[i]] >> (16 - 8 * c)) & 0xff);
  };
  vl::video::PalettedFrame p = vl::video::QuantiseFrame(rgba.data(), w, h);
  EXPECT_LE(p.colours, 256);
  for (size_t i = 0; i < static_cast<size_t>(w * h); ++i)
    for (int c = 0; c < 3; ++c) ASSERT_EQ(decoded(p, i, c), rgba[i * 4 + c]) << i;

  // A full colour ramp of 64k pixels: 256 colours keep every pixel near its own colour.
  const int n = 256;
  rgba.assign(static_cast<size_t>(n) * n * 4, 255);
  for (int y = 0; y < n; ++y)
    for (int x = 0; x < n; ++x) {
      uint8_t* px = &rgba[(static_cast<size_t>(y) * n + x) * 4];
      px[0] = static_cast<uint8_t>(x);
      px[1] = static_cast<uint8_t>(y);
      px[2] = static_cast<uint8_t>((x + y) / 2);
    }
  p = vl::video::QuantiseFrame(rgba.data(), n, n);
  EXPECT_EQ(p.colours, 256);
  double error = 0;
  for (size_t i = 0; i < static_cast<size_t>(n * n); ++i)
    for (int c = 0; c < 3; ++c) error += std::abs(decoded(p, i, c) - rgba[i * 4 + c]);
  EXPECT_LT(error / (n * n * 3), 6.0);
  // Every entry in use is opaque; the same frame gives the same indices.
  for (int k = 0; k < p.colours; ++k) EXPECT_EQ(p.palette[static_cast<size_t>(k)] >> 24, 0xffu);
  EXPECT_EQ(vl::video::QuantiseFrame(rgba.data(), n, n).indices, p.indices);
}

}  // namespace
