// Loops locked to the beat: a tempo and a number of beats per pass through the loop decide which
// frame is shown at a time. Pure arithmetic, no clock of its own: every call is told the time.
// No OpenGL, no Qt.
#pragma once

namespace vl::engine {

class BeatClock {
 public:
  void SetTempo(double bpm, double now_seconds);  // 0 = no tempo; keeps the beat position at now
  double Tempo() const;
  void SetBeatsPerLoop(int beats, double now_seconds);  // 0 = not locked
  int BeatsPerLoop() const;
  bool Locked() const;  // a tempo and a number of beats

  // Tap tempo: the interval of taps closer than 2 s apart gives the tempo; every tap puts beat 0
  // (frame 0 of the loop) on the tap.
  void Tap(double now_seconds);
  // An outside beat timeline (Link, MIDI clock): where one pass through the loop is at now, 0..1.
  void SetLoopPhase(double phase, double now_seconds);

  double BeatAt(double now_seconds) const;  // beats since the last downbeat of the loop
  // The frame a loop of frame_count frames shows at now when locked (0 .. frame_count - 1).
  int FrameAt(double now_seconds, int frame_count) const;

  // Tempi a person can mean; others are refused by the callers that take them from outside.
  static constexpr double kMinTempo = 20.0;
  static constexpr double kMaxTempo = 999.0;
  static constexpr int kMaxBeatsPerLoop = 1024;
  // Taps further apart than this start a new count instead of giving a tempo.
  static constexpr double kTapGapSeconds = 2.0;

 private:
  // Beats counted since the anchor, unwrapped: the loop's downbeats are its multiples of
  // beats_per_loop_.
  double RawBeatAt(double now_seconds) const;

  double tempo_ = 0.0;
  int beats_per_loop_ = 0;
  double anchor_seconds_ = 0.0;  // when the raw beat count was anchor_beat_
  double anchor_beat_ = 0.0;
  // The taps of the current count, oldest first; only the last few give the tempo, so a drummer
  // who drifts is followed.
  static constexpr int kTapsKept = 5;
  double taps_[kTapsKept] = {};
  int tap_count_ = 0;
};

}  // namespace vl::engine
