// Keeps the player's beat clock on an outside beat (a Link session, MIDI clock): once a frame the
// clock takes the source's tempo and, when the loop is locked to a number of beats, its place in
// the loop, so frame 0 falls on the source's downbeat. Header only; the caller links the engine.
#pragma once
#include <cmath>
#include <optional>

#include "engine/beat_clock.h"
#include "platform/link/link_session.h"
#include "platform/midi/midi_clock.h"

namespace vl::link {

struct OutsideBeat {
  double bpm = 0.0;                  // 0: the source has no tempo now
  std::optional<double> loop_phase;  // 0..1 of one pass, when the source has a timeline
};

inline OutsideBeat LinkBeat(const LinkSession& session, int beats_per_loop) {
  if (!session.joined()) return {};
  return {session.Tempo(), session.LoopPhase(beats_per_loop)};
}

// `steady_now` on the time base of the MIDI messages (midi::SteadySeconds()).
inline OutsideBeat MidiClockBeat(const midi::MidiClock& clock, int beats_per_loop, double steady_now) {
  OutsideBeat beat{clock.Tempo(steady_now), std::nullopt};
  if (beat.bpm > 0 && clock.Running()) beat.loop_phase = clock.LoopPhase(beats_per_loop, steady_now);
  return beat;
}

inline void FollowBeat(engine::BeatClock& beat, const OutsideBeat& source, double now_seconds) {
  if (!(source.bpm >= engine::BeatClock::kMinTempo && source.bpm <= engine::BeatClock::kMaxTempo)) return;
  // A smoothed tempo wavers in its last digits: re-anchoring the clock for that would only add
  // rounding.
  if (std::abs(beat.Tempo() - source.bpm) > 1e-3) beat.SetTempo(source.bpm, now_seconds);
  if (source.loop_phase && beat.BeatsPerLoop() > 0) beat.SetLoopPhase(*source.loop_phase, now_seconds);
}

}  // namespace vl::link
