#include "platform/midi/midi_clock.h"

#include <algorithm>
#include <cmath>

namespace vl::midi {

namespace {
// Clocks further apart than this (under 5 BPM) mean the sender stopped: the tempo starts anew.
constexpr double kGapSeconds = 0.5;
// Intervals needed before a tempo is given: a quarter of a beat.
constexpr int kMinIntervals = 6;
}  // namespace

MidiClock::Event MidiClock::Feed(std::span<const uint8_t> bytes, double now) {
  if (bytes.empty()) return Event::kNone;
  switch (bytes[0]) {
    case 0xF8: {
      if (count_ > 0 && now - times_[static_cast<size_t>(newest_)] > kGapSeconds) count_ = 0;
      newest_ = (newest_ + 1) % kWindow;
      times_[static_cast<size_t>(newest_)] = now;
      count_ = std::min(count_ + 1, kWindow);
      if (armed_) {
        armed_ = false;
        clocks_ = 0;
        last_clock_ = now;
      } else if (running_ && clocks_ >= 0) {
        ++clocks_;
        last_clock_ = now;
      }
      return Event::kTick;
    }
    case 0xFA:
      running_ = true;
      armed_ = true;
      clocks_ = -1;
      return Event::kStart;
    case 0xFB:
      running_ = true;
      // Continue before any Start resumes from the top.
      if (clocks_ < 0) armed_ = true;
      return Event::kContinue;
    case 0xFC:
      running_ = false;
      armed_ = false;
      return Event::kStop;
    case 0xF2: {
      if (bytes.size() < 3 || bytes[1] >= 0x80 || bytes[2] >= 0x80) return Event::kNone;
      // Sixteenth notes since the start of the song: 6 clocks each. The next clock moves on
      // from there.
      const int64_t sixteenths = bytes[1] | bytes[2] << 7;
      clocks_ = sixteenths * 6 - 1;
      armed_ = false;
      last_clock_ = now;
      return Event::kPosition;
    }
    default: return Event::kNone;
  }
}

double MidiClock::Tempo(double now) const {
  if (count_ < kMinIntervals + 1) return 0.0;
  const double newest = times_[static_cast<size_t>(newest_)];
  if (now - newest > kGapSeconds) return 0.0;
  const int oldest_index = (newest_ - (count_ - 1) + kWindow) % kWindow;
  const double span = newest - times_[static_cast<size_t>(oldest_index)];
  if (span <= 0) return 0.0;
  return 60.0 * (count_ - 1) / (kClocksPerBeat * span);
}

double MidiClock::BeatAt(double now) const {
  if (clocks_ < 0) return 0.0;
  double beats = static_cast<double>(clocks_) / kClocksPerBeat;
  const double bpm = Tempo(now);
  if (running_ && bpm > 0 && now > last_clock_) {
    const double since = (now - last_clock_) * bpm / 60.0;
    beats += std::min(since, 1.0 / kClocksPerBeat);
  }
  return beats;
}

double MidiClock::LoopPhase(int beats_per_loop, double now) const {
  if (beats_per_loop <= 0 || clocks_ < 0) return 0.0;
  const double phase = std::fmod(BeatAt(now), beats_per_loop) / beats_per_loop;
  return phase < 0 ? phase + 1.0 : phase;
}

}  // namespace vl::midi
