// A Link session (the beat shared by music programs on the local network): join and leave, the
// session's tempo, where a loop of N beats is on its timeline now, and how many peers there are.
// Link's threads and sockets stay inside; this header pulls in neither Link nor asio.
#pragma once
#include <cstddef>
#include <memory>

namespace vl::link {

class LinkSession {
 public:
  // `bpm` is the tempo offered to a session that has none yet.
  explicit LinkSession(double bpm = 120.0);
  ~LinkSession();
  LinkSession(const LinkSession&) = delete;
  LinkSession& operator=(const LinkSession&) = delete;

  void Join(bool on);
  bool joined() const;
  // Other programs in the session (0 when not joined).
  std::size_t Peers() const;
  // The session's tempo (ours while alone).
  double Tempo() const;
  // Offers a tempo to the session (a tap, the tempo field): everyone follows it.
  void ProposeTempo(double bpm);
  // Beats on the session's timeline now, with the bar (quantum) of `beats_per_loop` beats.
  double BeatNow(int beats_per_loop) const;
  // Where a loop of `beats_per_loop` beats is now, 0..1: its frame 0 falls on the session's bar.
  double LoopPhase(int beats_per_loop) const;
  // Moves the session's beat so the bar starts now (a tap while alone; with peers it waits for
  // the next bar of theirs, as Link asks).
  void RequestDownbeatNow(int beats_per_loop);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace vl::link
