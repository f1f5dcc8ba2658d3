// The stream sender on the loopback only: what it sends decodes to the frames it was given, at
// their size and rate; a dead or silent destination is reported and retried while frames keep
// coming, and never holds up the caller.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/videodev2.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>
#include <vector>

#include "platform/stream/pixel_convert.h"
#include "platform/stream/stream_sender.h"
#include "tests/platform/stream/stream_reader.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswscale/swscale.h>
}

namespace {

using namespace vl;
using namespace vl::streamtest;
using namespace std::chrono_literals;

// A frame the test can recognise after lossy coding: a background colour that changes with the
// frame and a white square that moves across it.
std::vector<uint8_t> TestFrame(int width, int height, int index) {
  std::vector<uint8_t> rgba(size_t(width) * height * 4);
  const int square = height / 4, left = (index * 7) % (width - square);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      uint8_t* p = &rgba[(size_t(y) * width + x) * 4];
      const bool in = x >= left && x < left + square && y >= square && y < 2 * square;
      p[0] = in ? 255 : uint8_t(40 + index * 9 % 180);
      p[1] = in ? 255 : uint8_t(200 - index * 5 % 150);
      p[2] = in ? 255 : uint8_t(x * 255 / width);
      p[3] = 255;
    }
  return rgba;
}

live::ShownFrame Shown(const std::vector<uint8_t>& rgba, int width, int height, int index, int fps) {
  return {rgba.data(), width, height, width * 4, index, double(index) / fps};
}

// A TCP listener on the loopback that takes connections into its backlog and never answers.
struct SilentListener {
  int fd = -1;
  int port = 0;
  SilentListener() {
    fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0) << std::strerror(errno);
    ::listen(fd, 4);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
  }
  ~SilentListener() { ::close(fd); }
};

// The frame at half its size, each pixel the mean of four.
std::vector<uint8_t> Halve(const std::vector<uint8_t>& rgba, int width, int height) {
  std::vector<uint8_t> half(size_t(width / 2) * (height / 2) * 4);
  for (int y = 0; y < height / 2; ++y)
    for (int x = 0; x < width / 2; ++x)
      for (int c = 0; c < 4; ++c) {
        auto at = [&](int dx, int dy) { return int(rgba[(size_t(2 * y + dy) * width + 2 * x + dx) * 4 + c]); };
        half[(size_t(y) * (width / 2) + x) * 4 + c] = uint8_t((at(0, 0) + at(1, 0) + at(0, 1) + at(1, 1) + 2) / 4);
      }
  return half;
}

// The frame without an odd last column or row.
std::vector<uint8_t> Even(const std::vector<uint8_t>& rgba, int width, int height) {
  std::vector<uint8_t> even;
  for (int y = 0; y < (height & ~1); ++y)
    even.insert(even.end(), rgba.begin() + std::ptrdiff_t{y} * width * 4,
                rgba.begin() + (std::ptrdiff_t{y} * width + (width & ~1)) * 4);
  return even;
}

// Streams `frames` frames of width x height (each a test frame, shown at `fps`) to a UDP port a
// reader listens on, and checks what the reader decodes against them. From frame `grow_at` on,
// the frames given are twice the size (a window made bigger), to be scaled to the first's.
void StreamAndCompare(stream::StreamCodec codec, int width, int height, int out_width, int out_height,
                      const std::string& scheme = "udp", const std::string& path = "", int grow_at = -1) {
  const int fps = 25, frames = 60, port = FreeUdpPort();
  const std::string url = scheme + "://127.0.0.1:" + std::to_string(port) + path;
  std::atomic<bool> listening{false};
  ReadBack got;
  ReadEnd end;
  std::thread reader([&] { got = ReadStream(url, frames, fps, &listening, &end); });
  while (!listening) std::this_thread::sleep_for(1ms);
  std::this_thread::sleep_for(300ms);  // the reader's socket is bound by now

  stream::StreamOptions o;
  o.url = url;
  o.width = out_width, o.height = out_height;
  o.fps = fps;
  o.codec = codec;
  o.queue_frames = 64;  // this test wants every frame, not the lowest latency
  o.retry_seconds = 0.1;
  std::string error;
  auto sender = stream::StreamSender::Start(o, &error);
  ASSERT_TRUE(sender) << error;
  std::map<int, std::vector<uint8_t>> sent;  // at the size sent, for comparison
  for (int i = 0; i < frames; ++i) {
    const int scale = grow_at >= 0 && i >= grow_at ? 2 : 1;
    const std::vector<uint8_t> rgba = TestFrame(width * scale, height * scale, i);
    sender->Deliver(Shown(rgba, width * scale, height * scale, i, fps));
    sent[i] = out_width || scale == 2 ? Halve(rgba, width * scale, height * scale) : Even(rgba, width, height);
    std::this_thread::sleep_for(10ms);
  }
  // Long enough for the queue to empty; the reader stops at its count or after silence.
  for (int i = 0; i < 300 && sender->status().sent + sender->status().dropped < frames; ++i)
    std::this_thread::sleep_for(10ms);
  const stream::StreamStatus status = sender->status();
  sender.reset();
  end.sender_done = true;
  reader.join();

  ASSERT_EQ(got.error, "");
  EXPECT_EQ(status.state, stream::StreamState::kSending) << status.last_error;
  EXPECT_EQ(status.dropped, 0);
  EXPECT_EQ(got.width, out_width ? out_width : width & ~1);
  EXPECT_EQ(got.height, out_height ? out_height : height & ~1);
  EXPECT_EQ(av_cmp_q(got.rate, AVRational{fps, 1}), 0) << got.rate.num << "/" << got.rate.den;
  ASSERT_GE(got.frames.size(), size_t(frames - 15));  // the first ones may come before a key frame
  // Frames decode in order, each matching the one given at its time, within the coding's loss.
  int64_t previous = -1;
  for (const DecodedFrame& d : got.frames) {
    EXPECT_GT(d.index, previous);
    previous = d.index;
    ASSERT_TRUE(sent.count(int(d.index))) << "frame " << d.index;
    EXPECT_LT(MeanDifference(d.rgba, sent[int(d.index)]), 8.0) << "frame " << d.index;
    // ... and not the one before or after (the square moved, the colour changed).
    if (sent.count(int(d.index) + 1)) {
      EXPECT_GT(MeanDifference(d.rgba, sent[int(d.index) + 1]), 5.0) << "frame " << d.index;
    }
  }
}

TEST(StreamSenderTest, UdpStreamDecodesToTheFramesGivenAtTheirSizeAndRate) {
  StreamAndCompare(stream::StreamCodec::kH264, 320, 240, 0, 0);
}

TEST(StreamSenderTest, Mpeg2StreamIsScaledToTheChosenSize) {
  StreamAndCompare(stream::StreamCodec::kMpeg2, 640, 480, 320, 240);
}

// Frames at the size sent are converted as they are handed over, others kept to be scaled: a
// stream that goes from one to the other sends each frame as it was given.
TEST(StreamSenderTest, FramesThatChangeSizeMidStreamKeepTheFirstSize) {
  StreamAndCompare(stream::StreamCodec::kMpeg2, 320, 240, 0, 0, "udp", "", 30);
}

// A window of odd size: sent one column and row smaller, the picture not scaled.
TEST(StreamSenderTest, OddSizedFramesAreSentWithoutTheirLastColumnAndRow) {
  StreamAndCompare(stream::StreamCodec::kH264, 321, 241, 0, 0);
}

TEST(StreamSenderTest, SrtCallsAListenerAndSendsTheFrames) {
  StreamAndCompare(stream::StreamCodec::kAuto, 320, 240, 0, 0, "srt");
}

TEST(StreamSenderTest, RtmpPublishesH264ToAServer) {
  StreamAndCompare(stream::StreamCodec::kAuto, 320, 240, 0, 0, "rtmp", "/live/key");
}

TEST(StreamSenderTest, AddressesThatCannotBeUsedAreRefusedWithTheReason) {
  const std::filesystem::path dir =
      std::filesystem::path(::testing::TempDir()) / ("vl_stream_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string file = (dir / "video0").string();
  std::ofstream(file) << "not a device";
  const std::string fifo = (dir / "fifo").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  struct Case {
    std::string url;
    std::string says;
  };
  const Case cases[] = {
      {"http://127.0.0.1:8000/", "give udp://host:port"},
      {"udp://127.0.0.1", "names no port"},
      {"udp://:5000", "names no host"},
      {"udp://127.0.0.1:99999", "1 to 65535"},
      {"srt://127.0.0.1:12x", "1 to 65535"},
      {"", "give udp://host:port"},
      {file, "is not a video device"},
      {fifo, "is not a video device"},  // opened without waiting for a reader, and refused
      {"/dev/null", "is not a V4L2 video device"},
      {(dir / "missing").string(), "No such file"},
  };
  for (const Case& c : cases) {
    stream::StreamOptions o;
    o.url = c.url;
    std::string error;
    EXPECT_FALSE(stream::StreamSender::Start(o, &error)) << c.url;
    EXPECT_NE(error.find(c.says), std::string::npos) << c.url << ": " << error;
  }
  stream::StreamOptions o;
  o.url = "rtmp://127.0.0.1/live/key";
  o.codec = stream::StreamCodec::kMpeg2;
  std::string error;
  EXPECT_FALSE(stream::StreamSender::Start(o, &error));
  EXPECT_NE(error.find("H.264 only"), std::string::npos) << error;
  o.codec = stream::StreamCodec::kAuto;
  o.width = 320;  // a size needs both numbers
  EXPECT_FALSE(stream::StreamSender::Start(o, &error));
  EXPECT_NE(error.find("both numbers"), std::string::npos) << error;
  std::string kept;
  std::getline(std::ifstream(file), kept);
  EXPECT_EQ(kept, "not a device");  // looked at, never written to
  std::filesystem::remove_all(dir);
}

// Delivers frames at `fps` for `seconds`; the longest a Deliver took.
Clock::duration DeliverFor(stream::StreamSender& sender, double seconds, int fps, int* index) {
  const std::vector<uint8_t> rgba = TestFrame(160, 120, 0);
  Clock::duration longest{};
  const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  while (Clock::now() < end) {
    const auto t = Clock::now();
    sender.Deliver(Shown(rgba, 160, 120, (*index)++, fps));
    longest = std::max(longest, Clock::now() - t);
    std::this_thread::sleep_for(std::chrono::milliseconds(1000 / fps));
  }
  return longest;
}

TEST(StreamSenderTest, ClosedDestinationIsReportedAndRetriedUntilItOpens) {
  const int port = FreeUdpPort();
  stream::StreamOptions o;
  o.url = "udp://127.0.0.1:" + std::to_string(port);
  o.retry_seconds = 0.2;
  std::string error;
  auto sender = stream::StreamSender::Start(o, &error);
  ASSERT_TRUE(sender) << error;
  int index = 0;
  const Clock::duration longest = DeliverFor(*sender, 1.2, 50, &index);
  stream::StreamStatus s = sender->status();
  EXPECT_NE(s.last_error.find("refused"), std::string::npos) << s.last_error;
  EXPECT_GE(s.attempts, 3);  // tried again and again
  EXPECT_GT(s.dropped, 0);
  EXPECT_LT(longest, 100ms);

  // Someone listens now: the next try gets through and frames arrive.
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  const int64_t sent_before = s.sent;
  DeliverFor(*sender, 1.0, 50, &index);
  s = sender->status();
  EXPECT_EQ(s.state, stream::StreamState::kSending) << s.last_error;
  EXPECT_GT(s.sent, sent_before + 10);
  pollfd p{fd, POLLIN, 0};
  EXPECT_EQ(::poll(&p, 1, 1000), 1);
  uint8_t packet[2048];
  EXPECT_EQ(::recv(fd, packet, sizeof packet, 0), 1316);  // seven TS packets
  EXPECT_EQ(packet[0], 0x47);                             // a TS packet's sync byte
  ::close(fd);
  sender->Stop();
  s = sender->status();
  EXPECT_EQ(s.state, stream::StreamState::kStopped);
  EXPECT_EQ(s.sent + s.dropped, index);  // every frame given is accounted for
}

TEST(StreamSenderTest, SilentOrRefusingServersTimeOutAndAreRetriedWithoutHoldingUpFrames) {
  SilentListener silent;              // takes the connection, never answers the handshake
  const int refused = FreeUdpPort();  // the same number as TCP: nobody listens there either
  for (const std::string& url :
       {"rtmp://127.0.0.1:" + std::to_string(silent.port) + "/live/key",
        "rtmp://127.0.0.1:" + std::to_string(refused) + "/live/key", "srt://127.0.0.1:" + std::to_string(refused)}) {
    stream::StreamOptions o;
    o.url = url;
    o.retry_seconds = 0.2;
    o.timeout_seconds = 0.4;
    std::string error;
    auto sender = stream::StreamSender::Start(o, &error);
    ASSERT_TRUE(sender) << error;
    int index = 0;
    const Clock::duration longest = DeliverFor(*sender, 1.5, 50, &index);
    const stream::StreamStatus s = sender->status();
    EXPECT_NE(s.state, stream::StreamState::kSending) << url;
    EXPECT_NE(s.last_error, "") << url;
    EXPECT_GE(s.attempts, 2) << url << ": " << s.last_error;
    EXPECT_EQ(s.sent, 0) << url;
    EXPECT_LT(longest, 100ms) << url;
    const auto t = Clock::now();
    sender.reset();
    EXPECT_LT(Clock::now() - t, 1s) << url << ": stopping waited for the connect";
  }
}

TEST(StreamSenderTest, StopEndsAConnectThatWouldWaitLong) {
  SilentListener silent;
  stream::StreamOptions o;
  o.url = "rtmp://127.0.0.1:" + std::to_string(silent.port) + "/live/key";
  o.timeout_seconds = 60;
  std::string error;
  auto sender = stream::StreamSender::Start(o, &error);
  ASSERT_TRUE(sender) << error;
  int index = 0;
  DeliverFor(*sender, 0.3, 50, &index);
  EXPECT_EQ(sender->status().state, stream::StreamState::kConnecting);
  const auto t = Clock::now();
  sender->Stop();
  EXPECT_LT(Clock::now() - t, 2s);
  EXPECT_EQ(sender->status().state, stream::StreamState::kStopped);
}

TEST(StreamSenderTest, AnEncoderThatFallsBehindDropsAndCountsFrames) {
  const int port = FreeUdpPort();
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);  // a listener, so the destination stays up
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  stream::StreamOptions o;
  o.url = "udp://127.0.0.1:" + std::to_string(port);
  o.fps = 50;
  std::string error;
  auto sender = stream::StreamSender::Start(o, &error);
  ASSERT_TRUE(sender) << error;
  // HD frames as fast as they can be handed over: far faster than they encode.
  const std::vector<uint8_t> rgba = TestFrame(1280, 720, 3);
  const int given = 150;
  for (int i = 0; i < given; ++i) sender->Deliver(Shown(rgba, 1280, 720, i, 50));
  sender->Stop();
  const stream::StreamStatus s = sender->status();
  EXPECT_GT(s.dropped, 0);
  EXPECT_GT(s.sent, 0);
  EXPECT_EQ(s.sent + s.dropped, given);
  ::close(fd);
}

// Bits a second of an H.264 stream of `frames` frames made by `make`, counted by a bare UDP
// listener (MPEG-TS included), for a stream of width x height at 25 frames a second.
template <typename Make>
double StreamedBitsPerSecond(int width, int height, int frames, Make make) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  const int big = 16 << 20;
  ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
  stream::StreamOptions o;
  o.url = "udp://127.0.0.1:" + std::to_string(ntohs(a.sin_port));
  o.codec = stream::StreamCodec::kH264;
  o.queue_frames = frames;  // every frame sent, however slowly it encodes
  std::string error;
  auto sender = stream::StreamSender::Start(o, &error);
  EXPECT_TRUE(sender) << error;
  if (!sender) return ::close(fd), 0.0;
  size_t bytes = 0;
  const auto drain = [&] {
    char buf[65536];
    for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT)) > 0;) bytes += size_t(n);
  };
  for (int i = 0; i < frames; ++i) {
    const std::vector<uint8_t> rgba = make(i);
    sender->Deliver(Shown(rgba, width, height, i, 25));
    for (int wait = 0; wait < 500 && sender->status().sent < i + 1; ++wait) std::this_thread::sleep_for(2ms);
    drain();
  }
  sender->Stop();
  drain();
  EXPECT_EQ(sender->status().sent, frames) << sender->status().last_error;
  ::close(fd);
  return double(bytes) * 8 * 25 / frames;
}

// Without an asked-for rate, the rate (a tenth of a bit a pixel, here 920 kbit/s) is a ceiling:
// an easy picture takes a fraction of it, and noise, which would take megabits at the quality
// kept, is held to it (with room for the MPEG-TS around the video).
TEST(StreamSenderTest, H264SpendsBitsThePictureNeedsUpToTheRate) {
  const int w = 640, h = 480;
  const double rate = 0.12 * w * h * 25;
  const double easy = StreamedBitsPerSecond(w, h, 75, [&](int i) { return TestFrame(w, h, i); });
  EXPECT_LT(easy, rate * 0.6);
  EXPECT_GT(easy, 0);
  uint32_t seed = 7;
  const double noise = StreamedBitsPerSecond(w, h, 75, [&](int) {
    std::vector<uint8_t> rgba(size_t(w) * h * 4);
    for (uint8_t& b : rgba) b = uint8_t((seed = seed * 1664525u + 1013904223u) >> 24);
    return rgba;
  });
  EXPECT_GT(noise, rate / 2);
  EXPECT_LT(noise, rate * 1.3);
}

// A V4L2 loopback device, where the machine has one ("modprobe v4l2loopback"), or empty.
std::string LoopbackDevice() {
  for (int n = 0; n < 64; ++n) {
    std::string path = "/dev/video" + std::to_string(n);
    const int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK);
    if (fd < 0) continue;
    v4l2_capability caps{};
    const bool loopback = ::ioctl(fd, VIDIOC_QUERYCAP, &caps) == 0 &&
                          std::string(reinterpret_cast<char*>(caps.driver)).find("loopback") != std::string::npos;
    ::close(fd);
    if (loopback) return path;
  }
  return "";
}

TEST(StreamSenderTest, LoopbackDeviceShowsTheFramesAsACamera) {
  const std::string device = LoopbackDevice();
  if (device.empty()) GTEST_SKIP() << "skipped: no V4L2 loopback device (/dev/video* of v4l2loopback) on this machine";
  stream::StreamOptions o;
  o.url = device;
  o.width = 320, o.height = 240;
  std::string error;
  auto sender = stream::StreamSender::Start(o, &error);
  ASSERT_TRUE(sender) << error;
  // A flat colour, so the camera's picture can be checked by its luma alone.
  std::vector<uint8_t> red(320 * 240 * 4);
  for (size_t i = 0; i < red.size(); i += 4) red[i] = 255, red[i + 1] = 0, red[i + 2] = 0, red[i + 3] = 255;
  int index = 0;
  for (int i = 0; i < 10; ++i, std::this_thread::sleep_for(20ms)) sender->Deliver(Shown(red, 320, 240, index++, 25));
  ASSERT_EQ(sender->status().state, stream::StreamState::kSending) << sender->status().last_error;
  EXPECT_EQ(sender->status().codec, "rawvideo");

  const int cam = ::open(device.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(cam, 0);
  v4l2_format f{};
  f.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  ASSERT_EQ(::ioctl(cam, VIDIOC_G_FMT, &f), 0);
  EXPECT_EQ(f.fmt.pix.width, 320u);
  EXPECT_EQ(f.fmt.pix.height, 240u);
  EXPECT_EQ(f.fmt.pix.pixelformat, uint32_t(V4L2_PIX_FMT_YUV420));
  std::vector<uint8_t> frame(f.fmt.pix.sizeimage);
  ssize_t n = -1;
  for (int i = 0; i < 50 && n <= 0; ++i) {
    sender->Deliver(Shown(red, 320, 240, index++, 25));
    std::this_thread::sleep_for(20ms);
    n = ::read(cam, frame.data(), frame.size());
  }
  ::close(cam);
  ASSERT_GT(n, 320 * 240);
  // Red is luma 81 in studio-range BT.601.
  EXPECT_NEAR(frame[320 * 120 + 160], 81, 4);
}

}  // namespace

namespace {

// The known studio-range BT.601 values of pure colours, from either byte order; chroma of the
// mean of each 2 x 2 block.
TEST(StreamPixelsTest, ColoursConvertToStudioRangeBt601InEitherByteOrder) {
  struct Colour {
    uint8_t r, g, b;
    int y, u, v;
  };
  const Colour colours[] = {{255, 0, 0, 81, 90, 240},
                            {0, 255, 0, 145, 54, 34},
                            {0, 0, 255, 41, 240, 110},
                            {255, 255, 255, 235, 128, 128},
                            {0, 0, 0, 16, 128, 128}};
  for (const Colour& c : colours)
    for (const bool bgra : {false, true}) {
      const int w = 6, h = 4;
      std::vector<uint8_t> px(w * h * 4);
      for (int i = 0; i < w * h; ++i) {
        px[i * 4 + (bgra ? 2 : 0)] = c.r, px[i * 4 + 1] = c.g, px[i * 4 + (bgra ? 0 : 2)] = c.b;
        px[i * 4 + 3] = 0;  // X: never read
      }
      std::vector<uint8_t> y(w * h), u(w * h / 4), v(w * h / 4);
      uint8_t* planes[3] = {y.data(), u.data(), v.data()};
      const int strides[3] = {w, w / 2, w / 2};
      stream::ToYuv420(px.data(), w * 4, w, h, bgra, planes, strides);
      for (uint8_t s : y) EXPECT_NEAR(s, c.y, 1) << int(c.r) << "," << int(c.g) << "," << int(c.b) << " bgra " << bgra;
      for (uint8_t s : u) EXPECT_NEAR(s, c.u, 1) << int(c.r) << "," << int(c.g) << "," << int(c.b) << " bgra " << bgra;
      for (uint8_t s : v) EXPECT_NEAR(s, c.v, 1) << int(c.r) << "," << int(c.g) << "," << int(c.b) << " bgra " << bgra;
    }
  // A 2 x 2 block of two colours takes their mean chroma: black and white make grey's.
  std::vector<uint8_t> px = {0, 0, 0, 255, 255, 255, 255, 255, 255, 255, 255, 255, 0, 0, 0, 255};
  uint8_t y[4], u[1], v[1];
  uint8_t* planes[3] = {y, u, v};
  const int strides[3] = {2, 1, 1};
  stream::ToYuv420(px.data(), 8, 2, 2, false, planes, strides);
  EXPECT_EQ(y[0], 16);
  EXPECT_EQ(y[1], 235);
  EXPECT_NEAR(u[0], 128, 1);
  EXPECT_NEAR(v[0], 128, 1);
}

}  // namespace

namespace {

// Seeded random pixels, each byte on its own (the padding past `width` pixels of a row too).
std::vector<uint8_t> RandomPixels(int height, int stride, uint32_t seed) {
  std::vector<uint8_t> px(size_t(stride) * height);
  uint32_t s = seed;
  for (uint8_t& b : px) {
    s = s * 1664525u + 1013904223u;
    b = uint8_t(s >> 24);
  }
  return px;
}

struct Planes {
  std::vector<uint8_t> y, u, v;
  int strides[3];
  uint8_t* data[3];
  // Each plane's rows wider than the picture, so a write past a row's end shows in the padding.
  Planes(int width, int height) : strides{width + 5, width / 2 + 3, width / 2 + 3} {
    y.assign(size_t(strides[0]) * height, 0xA5);
    u.assign(size_t(strides[1]) * (height / 2), 0xA5);
    v.assign(size_t(strides[2]) * (height / 2), 0xA5);
    data[0] = y.data(), data[1] = u.data(), data[2] = v.data();
  }
};

// The vector versions take 8 or 16 pixels a step and leave the rest of a row to the plain one:
// widths around those steps, both byte orders, strides with padding, must give the same bytes, and
// nothing past a row's end may be written.
TEST(StreamPixelsTest, VectorConversionGivesThePlainOnesBytesAtEveryWidth) {
  using stream::VectorLevel;
  for (const VectorLevel level : {VectorLevel::kSse41, VectorLevel::kAvx2}) {
    if (!stream::Supported(level)) {
      std::printf("vector level %d: not on this processor, not tested\n", int(level));
      continue;
    }
    for (const int width : {2, 6, 8, 14, 16, 18, 30, 32, 34, 46, 720})
      for (const bool bgra : {false, true}) {
        const int height = 6, stride = width * 4 + (width % 3) * 4;
        const std::vector<uint8_t> px = RandomPixels(height, stride, uint32_t(width * 2 + bgra));
        Planes fast(width, height), plain(width, height);
        ASSERT_TRUE(stream::ToYuv420With(level, px.data(), stride, width, height, bgra, fast.data, fast.strides));
        stream::ToYuv420With(VectorLevel::kPlain, px.data(), stride, width, height, bgra, plain.data, plain.strides);
        const std::string at =
            "level " + std::to_string(int(level)) + " width " + std::to_string(width) + " bgra " + std::to_string(bgra);
        EXPECT_EQ(fast.y, plain.y) << at;
        EXPECT_EQ(fast.u, plain.u) << at;
        EXPECT_EQ(fast.v, plain.v) << at;
        for (int row = 0; row < height; ++row) EXPECT_EQ(fast.y[size_t(row) * fast.strides[0] + width], 0xA5) << at;
        for (int row = 0; row < height / 2; ++row) {
          EXPECT_EQ(fast.u[size_t(row) * fast.strides[1] + width / 2], 0xA5) << at;
          EXPECT_EQ(fast.v[size_t(row) * fast.strides[2] + width / 2], 0xA5) << at;
        }
      }
  }
}

// FFmpeg's converter at the same size, as a viewer's reference.
Planes FFmpegYuv(const std::vector<uint8_t>& px, int width, int height, bool bgra) {
  Planes out(width, height);
  SwsContext* sws = sws_getContext(width, height, bgra ? AV_PIX_FMT_BGRA : AV_PIX_FMT_RGBA, width, height,
                                   AV_PIX_FMT_YUV420P, SWS_BILINEAR, nullptr, nullptr, nullptr);
  EXPECT_TRUE(sws);
  const uint8_t* src[4] = {px.data(), nullptr, nullptr, nullptr};
  const int src_stride[4] = {width * 4, 0, 0, 0};
  if (sws) sws_scale(sws, src, src_stride, 0, height, out.data, out.strides);
  sws_freeContext(sws);
  return out;
}

// What a viewer decodes must be the colours FFmpeg's own converter would have given, within a
// level: the luma of random pictures everywhere, and the chroma inside flat areas (pictures of
// random 8 x 8 blocks). At a colour edge the two differ by design: FFmpeg filters chroma over
// neighbouring pixels, this takes the mean of each 2 x 2 block.
TEST(StreamPixelsTest, ConversionMatchesFFmpegsConverterOnRandomPictures) {
  const int width = 96, height = 64;
  for (const bool bgra : {false, true})
    for (uint32_t seed : {1u, 2u, 3u}) {
      const std::vector<uint8_t> noise = RandomPixels(height, width * 4, seed);
      std::vector<uint8_t> blocks(noise.size());
      for (int row = 0; row < height; ++row)
        for (int x = 0; x < width; ++x)
          std::memcpy(&blocks[(size_t(row) * width + x) * 4], &noise[(size_t(row / 8 * 8) * width + x / 8 * 8) * 4], 4);
      for (const std::vector<uint8_t>* px : {&noise, static_cast<const std::vector<uint8_t>*>(&blocks)}) {
        Planes ours(width, height);
        stream::ToYuv420(px->data(), width * 4, width, height, bgra, ours.data, ours.strides);
        const Planes theirs = FFmpegYuv(*px, width, height, bgra);
        const char* what = px == &noise ? "noise" : "blocks";
        int worst_y = 0, worst_uv = 0;
        for (int row = 0; row < height; ++row)
          for (int x = 0; x < width; ++x) {
            const size_t i = size_t(row) * ours.strides[0] + x;
            worst_y = std::max(worst_y, std::abs(ours.y[i] - theirs.y[i]));
          }
        // Chroma samples 1 and 2 of each block's four in either direction: no edge within reach.
        for (int row = 0; row < height / 2 && px == &blocks; ++row)
          for (int x = 0; x < width / 2; ++x) {
            if (x % 4 == 0 || x % 4 == 3 || row % 4 == 0 || row % 4 == 3) continue;
            const size_t i = size_t(row) * ours.strides[1] + x;
            worst_uv = std::max({worst_uv, std::abs(ours.u[i] - theirs.u[i]), std::abs(ours.v[i] - theirs.v[i])});
          }
        EXPECT_LE(worst_y, 1) << what << " seed " << seed << " bgra " << bgra;
        EXPECT_LE(worst_uv, 1) << what << " seed " << seed << " bgra " << bgra;
      }
    }
}

}  // namespace
