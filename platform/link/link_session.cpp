#include "platform/link/link_session.h"

#include <algorithm>

#include <ableton/Link.hpp>

namespace vl::link {

namespace {
// Link's own limits on a session tempo.
constexpr double kMinBpm = 20.0;
constexpr double kMaxBpm = 999.0;

double Quantum(int beats_per_loop) { return std::max(1, beats_per_loop); }
}  // namespace

struct LinkSession::Impl {
  explicit Impl(double bpm) : link(std::clamp(bpm, kMinBpm, kMaxBpm)) {}
  ableton::Link link;
};

LinkSession::LinkSession(double bpm) : impl_(std::make_unique<Impl>(bpm)) {}

LinkSession::~LinkSession() { impl_->link.enable(false); }

void LinkSession::Join(bool on) { impl_->link.enable(on); }
bool LinkSession::joined() const { return impl_->link.isEnabled(); }
std::size_t LinkSession::Peers() const { return impl_->link.isEnabled() ? impl_->link.numPeers() : 0; }
double LinkSession::Tempo() const { return impl_->link.captureAppSessionState().tempo(); }

void LinkSession::ProposeTempo(double bpm) {
  if (!(bpm >= kMinBpm && bpm <= kMaxBpm)) return;  // NaN too
  auto state = impl_->link.captureAppSessionState();
  state.setTempo(bpm, impl_->link.clock().micros());
  impl_->link.commitAppSessionState(state);
}

double LinkSession::BeatNow(int beats_per_loop) const {
  const auto state = impl_->link.captureAppSessionState();
  return state.beatAtTime(impl_->link.clock().micros(), Quantum(beats_per_loop));
}

double LinkSession::LoopPhase(int beats_per_loop) const {
  const double quantum = Quantum(beats_per_loop);
  const auto state = impl_->link.captureAppSessionState();
  const double phase = state.phaseAtTime(impl_->link.clock().micros(), quantum) / quantum;
  return std::clamp(phase, 0.0, 1.0);
}

void LinkSession::RequestDownbeatNow(int beats_per_loop) {
  auto state = impl_->link.captureAppSessionState();
  state.requestBeatAtTime(0.0, impl_->link.clock().micros(), Quantum(beats_per_loop));
  impl_->link.commitAppSessionState(state);
}

}  // namespace vl::link
