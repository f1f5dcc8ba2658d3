// MIDI clock as a tempo source: 24 clock messages (0xF8) per quarter note give the tempo, smoothed
// over the last beat; Start (0xFA) puts the downbeat on the next clock, Continue (0xFB) resumes
// where Stop (0xFC) left off, Song Position (0xF2) moves the count. No clock of its own: every
// call is told the time, in seconds on any steady clock.
#pragma once
#include <array>
#include <cstdint>
#include <span>

namespace vl::midi {

inline constexpr int kClocksPerBeat = 24;

class MidiClock {
 public:
  enum class Event : uint8_t { kNone, kTick, kStart, kContinue, kStop, kPosition };
  // One real-time or system-common message (status first). Anything else is kNone.
  Event Feed(std::span<const uint8_t> bytes, double now_seconds);

  // Beats per minute, smoothed; 0 until a few clocks have come, or when they stopped coming.
  double Tempo(double now_seconds) const;
  // Started or continued and not stopped.
  bool Running() const { return running_; }
  // Beats since the downbeat of Start, as of now: counted clocks, and between two clocks the time
  // since the last one at the tempo (never past the next clock's place).
  double BeatAt(double now_seconds) const;
  // Where a loop of `beats_per_loop` beats is at now, 0..1 (0 when there is no count yet).
  double LoopPhase(int beats_per_loop, double now_seconds) const;

 private:
  static constexpr int kWindow = kClocksPerBeat + 1;  // clock times kept: one beat's intervals
  std::array<double, kWindow> times_{};
  int count_ = 0;    // clock times held (up to kWindow)
  int newest_ = -1;  // index of the newest
  bool running_ = false;
  bool armed_ = false;     // Start came: the next clock is the downbeat
  int64_t clocks_ = -1;    // clocks since the downbeat; -1 before the first
  double last_clock_ = 0;  // when the newest counted clock came
};

}  // namespace vl::midi
