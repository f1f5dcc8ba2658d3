// The program's own random generator, the same sequence on every platform: the classic runtime
// rand() (multiplier 214013, increment 2531011, 15 bits out). Loops that look random still render
// the same every time. No OpenGL.
#pragma once
#include <cstdint>

namespace vl::render {

class RuntimeRandom {
 public:
  static constexpr int kMax = 0x7fff;
  explicit RuntimeRandom(uint32_t seed = 1) : state_(seed) {}
  void Seed(uint32_t seed) { state_ = seed; }
  int Next() {
    state_ = state_ * 214013u + 2531011u;
    return static_cast<int>((state_ >> 16) & 0x7fff);
  }

 private:
  uint32_t state_;
};

}  // namespace vl::render
