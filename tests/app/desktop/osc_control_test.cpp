// The desktop program driven over OSC on the loopback, with its port from the settings: the
// picture on screen follows /track, /state answers, bad traffic leaves it playing, and T taps the
// tempo.
#include <gtest/gtest.h>

#include <random>

#include "tests/app/desktop/x_session.h"
#include "tests/platform/live/osc_client.h"

namespace vl::xtest {
namespace {

TEST(DesktopOsc, TracksHeldOverOscShowOnScreenAndBadTrafficLeavesItPlaying) {
  VL_X_SERVER(x, "1024x768x24");
  const fs::path home = Scratch("osc");
  const int port = vl::testing::FreeUdpPort();
  Program::WriteSettings(home, 3, 1, 0, 1, "[Live]\nOSC%20Port=" + std::to_string(port) + "\n");
  const fs::path loop = CompileLoop(home, "plain", PlainLoopSource(0, 0, 120));
  Program program(*x, home, {loop.string()});
  auto main = program.MainWindow();
  ASSERT_TRUE(main) << program.Stderr();
  ASSERT_TRUE(program.WaitForStatus([](const std::string& s) { return s.rfind("Playing plain.lqf", 0) == 0; }, 15000))
      << program.Stdout() << program.Stderr();
  const QPoint centre = main->center();
  auto colour = [&] { return QColor(x->Grab().pixel(centre)); };
  auto wait_for = [&](const std::function<bool(QColor)>& match, int ms) {
    for (int waited = 0; waited <= ms; waited += 20) {
      if (match(colour())) return true;
      SleepMs(20);
    }
    return false;
  };
  ASSERT_TRUE(wait_for([](QColor c) { return c.blue() == 120 && c.red() == 0; }, 5000));

  vl::testing::Controller c(port);
  auto state = c.AwaitPlayer(10);
  ASSERT_TRUE(state) << program.Stderr();
  EXPECT_EQ(state->loop, "plain.lqf");
  EXPECT_EQ(state->frame_count, 100);
  EXPECT_EQ(state->playing, 1);

  const auto sent = std::chrono::steady_clock::now();
  c.Send("/vantaloop/track", "si", "background_r", 255);
  c.Send("/vantaloop/track", "sf", "background_b", 0.0);
  EXPECT_TRUE(wait_for([](QColor c) { return c.red() == 255 && c.blue() == 0; }, 3000)) << program.Stderr();
  std::printf(
      "OSC message to red on screen: %d ms\n",
      static_cast<int>(
          std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - sent).count()));

  // Hostile traffic: random datagrams, and names and types that are wrong.
  const int s = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::mt19937 rng(11);
  for (int i = 0; i < 200; ++i) {
    std::vector<uint8_t> bytes(rng() % 300);
    for (auto& b : bytes) b = static_cast<uint8_t>(rng());
    ::sendto(s, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  }
  ::close(s);
  c.Send("/vantaloop/track", "sf", "no_such_track", 1.0);
  c.Send("/vantaloop/speed", "f", static_cast<double>(NAN));
  c.Send("/vantaloop/frame", "s", "twelve");
  c.Send("/vantaloop/\x1b[2J", "");
  EXPECT_TRUE(program.WaitForStatus(
      [](const std::string& s) {
        return s.find("OSC: ignored /vantaloop/track: no track named \"no_such_track\"") == 0;
      },
      5000))
      << program.Stdout();
  ASSERT_TRUE(c.AwaitPlayer(5));
  EXPECT_TRUE(program.Running());
  EXPECT_EQ(program.Stdout().find('\x1b'), std::string::npos);

  // Released, the loop's own colour is back.
  c.Send("/vantaloop/release");
  EXPECT_TRUE(wait_for([](QColor c) { return c.blue() == 120 && c.red() == 0; }, 3000));

  // On the beat: one pass of the 100 frames every 8 beats at 120 BPM, 4 s.
  c.Send("/vantaloop/tempo", "f", 120.0);
  c.Send("/vantaloop/beats", "i", 8);
  ASSERT_TRUE(c.AskState());
  const vl::testing::Pace pace = vl::testing::MeasurePace(c, 4.5);
  EXPECT_EQ(pace.tempo, 120.0f);
  EXPECT_EQ(pace.beats, 8);
  EXPECT_NEAR(pace.pass_seconds, 4.0, 0.4) << pace.trace;
}

TEST(DesktopOsc, TapTempoOnTAndThePortInUseIsSaid) {
  VL_X_SERVER(x, "1024x768x24");
  const fs::path home = Scratch("tap");
  // The port is taken: the program says so and plays on.
  const int s = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  ASSERT_EQ(::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  socklen_t n = sizeof a;
  ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &n);
  const int port = ntohs(a.sin_port);
  Program::WriteSettings(home, 3, 1, 0, 1, "[Live]\nOSC%20Port=" + std::to_string(port) + "\n");
  const fs::path loop = CompileLoop(home, "plain", PlainLoopSource(0, 0, 120));
  Program program(*x, home, {loop.string()});
  auto main = program.MainWindow();
  ASSERT_TRUE(main) << program.Stderr();
  EXPECT_TRUE(program.WaitForStatus(
      [&](const std::string& s) { return s.find("cannot listen for OSC on UDP port " + std::to_string(port)) == 0; },
      15000))
      << program.Stdout();
  ::close(s);
  ASSERT_TRUE(program.WaitForStatus([](const std::string& s) { return s.rfind("Playing plain.lqf", 0) == 0; }, 15000));

  // Four taps half a second apart: about 120 BPM.
  x->FocusWindowAt("Vantaloop", main->center());
  x->Run("xdotool key t sleep 0.5 key t sleep 0.5 key t sleep 0.5 key t");
  double bpm = 0;
  EXPECT_TRUE(program.WaitForStatus(
      [&](const std::string& s) { return std::sscanf(s.c_str(), "Tap: %lf BPM", &bpm) == 1 && bpm > 0; }, 5000))
      << program.Stdout();
  // The last status is the tempo of all four taps; xdotool's sleeps are not exact.
  for (const std::string& line : program.StatusLines()) std::sscanf(line.c_str(), "Tap: %lf BPM", &bpm);
  EXPECT_NEAR(bpm, 120.0, 15.0) << program.Stdout();
  EXPECT_TRUE(program.Running());
}

}  // namespace
}  // namespace vl::xtest
