// Time sources for playback: the frame-rate lock, the frame-rate label and the trail clock all
// read an injected clock, so a headless render runs on virtual time and is the same every run.
// No OpenGL.
#pragma once
#include <chrono>
#include <cstdint>
#include <thread>

namespace vl::render {

// Milliseconds from an arbitrary start; only differences matter.
class Clock {
 public:
  virtual ~Clock() = default;
  virtual int32_t NowMs() const = 0;
};

// The frame step's pause; the desktop program sleeps, a headless render does not.
class Sleeper {
 public:
  virtual ~Sleeper() = default;
  virtual void SleepMs(int ms) = 0;
};

// Real time for the desktop program: a monotonic clock starting near 0 at construction, so the
// first ticks behave like the player's freshly started process clock.
class SteadyClock final : public Clock {
 public:
  int32_t NowMs() const override {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start_);
    return static_cast<int32_t>(ms.count() & 0x7fffffff);
  }

 private:
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

class ThreadSleeper final : public Sleeper {
 public:
  void SleepMs(int ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
};

// Virtual time, set by whoever drives playback.
class ManualClock final : public Clock {
 public:
  int32_t NowMs() const override { return now_ms_; }
  void Set(int32_t ms) { now_ms_ = ms; }
  void Advance(int32_t ms) { now_ms_ += ms; }

 private:
  int32_t now_ms_ = 0;
};

class NoSleep final : public Sleeper {
 public:
  void SleepMs(int ms) override { slept_ms += ms; }
  int64_t slept_ms = 0;  // what the desktop program would have slept
};

}  // namespace vl::render
