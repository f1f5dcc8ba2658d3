#include "engine/beat_clock.h"

#include <algorithm>
#include <cmath>

namespace vl::engine {

namespace {
// Times and tempi come from outside (OSC, MIDI, a tap); none of them may poison the arithmetic.
bool Usable(double v) { return std::isfinite(v); }
}  // namespace

double BeatClock::RawBeatAt(double now) const {
  if (tempo_ <= 0.0 || !Usable(now)) return anchor_beat_;
  return anchor_beat_ + (now - anchor_seconds_) * tempo_ / 60.0;
}

void BeatClock::SetTempo(double bpm, double now) {
  if (!Usable(bpm) || bpm < 0.0 || !Usable(now)) return;
  anchor_beat_ = RawBeatAt(now);
  anchor_seconds_ = now;
  tempo_ = bpm;
}

double BeatClock::Tempo() const { return tempo_; }

void BeatClock::SetBeatsPerLoop(int beats, double now) {
  if (beats < 0 || !Usable(now)) return;
  // The beats keep counting from the last downbeat the music gave, so a bar of 4 inside a loop of
  // 8 stays on the music's bars.
  anchor_beat_ = RawBeatAt(now);
  anchor_seconds_ = now;
  beats_per_loop_ = std::min(beats, kMaxBeatsPerLoop);
}

int BeatClock::BeatsPerLoop() const { return beats_per_loop_; }

bool BeatClock::Locked() const { return tempo_ > 0.0 && beats_per_loop_ > 0; }

void BeatClock::Tap(double now) {
  if (!Usable(now)) return;
  if (tap_count_ > 0 && (now - taps_[tap_count_ - 1] >= kTapGapSeconds || now <= taps_[tap_count_ - 1])) tap_count_ = 0;
  if (tap_count_ == kTapsKept) {
    std::copy(taps_ + 1, taps_ + kTapsKept, taps_);
    --tap_count_;
  }
  taps_[tap_count_++] = now;
  if (tap_count_ >= 2) {
    // The mean interval of the taps kept: first to last over the gaps between them.
    const double interval = (taps_[tap_count_ - 1] - taps_[0]) / (tap_count_ - 1);
    tempo_ = std::clamp(60.0 / interval, kMinTempo, kMaxTempo);
  }
  anchor_beat_ = 0.0;
  anchor_seconds_ = now;
}

void BeatClock::SetLoopPhase(double phase, double now) {
  if (!Usable(phase) || !Usable(now)) return;
  phase -= std::floor(phase);
  anchor_beat_ = phase * (beats_per_loop_ > 0 ? beats_per_loop_ : 1);
  anchor_seconds_ = now;
}

double BeatClock::BeatAt(double now) const {
  const double raw = RawBeatAt(now);
  if (beats_per_loop_ <= 0) return raw;
  const double b = std::fmod(raw, static_cast<double>(beats_per_loop_));
  return b < 0.0 ? b + beats_per_loop_ : b;
}

int BeatClock::FrameAt(double now, int frame_count) const {
  if (frame_count <= 0) return 0;
  if (beats_per_loop_ <= 0) return 0;
  const double phase = BeatAt(now) / beats_per_loop_;
  // A hair of slack so a time exactly on a frame's start (a tap, a downbeat) gives that frame and
  // not the one before it through rounding.
  const int frame = static_cast<int>(std::floor(phase * frame_count + 1e-7));
  return std::clamp(frame, 0, frame_count - 1);
}

}  // namespace vl::engine
