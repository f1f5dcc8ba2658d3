// The program's one random generator. Every random choice (particles, fountain, sprite colours,
// the random start-up loop) draws from it, so a headless render gives the same frames on every
// machine and every run. It is the classic linear congruential generator that loops were made
// with: state = state * 214013 + 2531011, result (state >> 16) & 0x7FFF. No OpenGL, no Qt.
#pragma once
#include <cstdint>

namespace vl {

class Random {
 public:
  static constexpr int kMax = 0x7FFF;

  void Seed(uint32_t seed) { state_ = seed; }
  // 0 .. 32767.
  int Next() {
    state_ = state_ * 214013u + 2531011u;
    return static_cast<int>((state_ >> 16) & 0x7FFFu);
  }
  uint32_t state() const { return state_; }

 private:
  uint32_t state_ = 1;  // as if never seeded
};

// The generator shared by the whole program.
Random& ProgramRandom();

}  // namespace vl
