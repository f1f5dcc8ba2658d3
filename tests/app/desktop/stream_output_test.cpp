// Options > Stream Output on the real program: a stream to a port nobody reads is said to fail
// and is tried again; once a viewer (FFmpeg) listens it gets the picture shown, at its size.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "tests/app/desktop/x_session.h"

namespace vl::xtest {
namespace {

const QColor kRed(255, 0, 0);

int FreeUdpPort() {
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0) << std::strerror(errno);
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(fd);
  return ntohs(a.sin_port);
}

bool StatusHas(const Program& program, const std::string& text, int ms) {
  return program.WaitForStatus([&](const std::string& s) { return s.find(text) != std::string::npos; }, ms);
}

TEST(DesktopStreamOutput, AClosedPortIsRetriedAndAViewerGetsThePictureShown) {
  if (!HaveCommand("ffmpeg")) GTEST_SKIP() << "skipped: no ffmpeg program to watch the stream with";
  VL_X_SERVER_WITH_WM(x, "1280x1024x24");
  const fs::path home = Scratch("stream-output");
  Program::WriteSettings(home, 3, 1);
  const fs::path loop = CompileLoop(home, "red", PlainLoopSource(kRed.red(), kRed.green(), kRed.blue()));
  Program program(*x, home, {loop.string()});
  auto main = program.MainWindow();
  ASSERT_TRUE(main) << program.Stderr();
  ASSERT_TRUE(StatusHas(program, "Playing red.lqf", 15000)) << program.Stdout();

  // Options (two menus right of File), its second item.
  bool opened = false;
  for (int attempt = 0; attempt < 3 && !opened; ++attempt) {
    x->FocusWindowAt("Vantaloop", main->center());
    x->Run("xdotool key alt+f sleep 0.3 key Right sleep 0.2 key Right sleep 0.2 key Down");
    if (!StatusHas(program, "Send the picture shown to other programs", 3000)) {
      x->Run("xdotool key Escape sleep 0.2 key Escape");
      continue;
    }
    x->Run("xdotool key Return");
    opened = x->WaitForWindow("Stream Output", 5000).has_value();
  }
  ASSERT_TRUE(opened) << program.Stdout();
  const int port = FreeUdpPort();
  const std::string url = "udp://127.0.0.1:" + std::to_string(port);
  SleepMs(500);
  x->Run("xdotool key ctrl+a type --delay 20 '" + url + "'");
  x->Run("xdotool key Return");  // Start is the default button
  EXPECT_TRUE(StatusHas(program, "Stream " + url + ": failed", 8000)) << program.Stdout();
  EXPECT_TRUE(StatusHas(program, "Connection refused; retrying", 100)) << program.Stdout();

  // A viewer comes: within a retry or two the frames reach it.
  const fs::path out = home / "seen";
  fs::create_directories(out);
  const pid_t viewer = Spawn({"ffmpeg", "-nostdin", "-loglevel", "error", "-i", url + "?timeout=20000000", "-frames:v",
                              "10", "-fps_mode", "passthrough", (out / "f%02d.png").string()},
                             {}, home / "ffmpeg.out", home / "ffmpeg.err");
  EXPECT_TRUE(StatusHas(program, "Stream " + url + ": sending", 15000)) << program.Stdout();
  int status = -1;
  for (int waited = 0; waited < 20000 && status < 0; waited += 100) {
    if (::waitpid(viewer, &status, WNOHANG) == 0) status = -1;
    SleepMs(100);
  }
  if (status < 0) EndChild(viewer);
  ASSERT_EQ(status, 0) << ReadAll(home / "ffmpeg.err");
  const QImage seen((out / "f10.png").string().c_str());
  ASSERT_FALSE(seen.isNull()) << ReadAll(home / "ffmpeg.err");
  // The stream is the view's picture, at the view's size, in its colour (within the coding's loss).
  const ColourArea view = FindColour(x->Grab(), kRed);
  EXPECT_EQ(seen.size(), view.box.size());
  const ColourArea red = FindColour(seen.convertToFormat(QImage::Format_RGB32), kRed, 12);
  EXPECT_GT(red.count, int64_t(seen.width()) * seen.height() * 95 / 100);
}

}  // namespace
}  // namespace vl::xtest
