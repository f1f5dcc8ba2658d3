// The echo sums' programs: their shader text, and a cache that builds each on first use, keeps it
// for the context's life, remembers one that failed (not tried again) and finds its uniforms once,
// at link. Programs are per context; the renderer keeps one cache per context.
#pragma once
#include <compare>
#include <cstdint>
#include <functional>
#include <map>
#include <string>

namespace vl::render {

// Builds a program from a fragment shader's text (with the sums' vertex stage, or the
// fixed-function one when vertex_stage is false); 0 when it does not compile or link.
using ProgramBuilder = std::function<uint32_t(const std::string& fragment, bool vertex_stage)>;

// What a summing program is built for.
struct SumProgramKey {
  int layers = 0;      // layers sampled per pass
  bool lit = false;    // the colour per pixel read from an image of the lit quad
  bool table = false;  // the background table adds what the layers left out add
  bool late = false;   // also sums the unlit late repeat into a second output
  bool same = false;   // the sum goes to a second output as well
  auto operator<=>(const SumProgramKey&) const = default;
};

// A summing program and its uniforms' locations (-1 where the program has none).
struct SumProgram {
  uint32_t id = 0;
  int grey = -1, background_row = -1, alpha_sum = -1, flat_sum = -1, layer = -1;
  int late_alpha = -1, late_colour = -1, late_flat_sum = -1, late_alpha_sum = -1;
};

// The fragment shader of a summing pass.
std::string SumFragmentSource(const SumProgramKey& key);

// A program in use for the life of the object, then the one before: programs are built while an
// echo is planned, between draws that expect the fixed-function pipeline.
class ProgramInUse {
 public:
  explicit ProgramInUse(uint32_t program);
  ProgramInUse(const ProgramInUse&) = delete;
  ProgramInUse& operator=(const ProgramInUse&) = delete;
  ~ProgramInUse();

 private:
  int previous_ = 0;
};

class EchoPrograms {
 public:
  // The real builder; tests wrap it to count builds or make one fail.
  static uint32_t Link(const std::string& fragment, bool vertex_stage);
  void set_builder(ProgramBuilder builder) { builder_ = std::move(builder); }

  // Null when it cannot be built.
  const SumProgram* Sum(const SumProgramKey& key);
  // Adds a kept or reduced sum (its texture on unit 0) over the viewport; 0 when it cannot be built.
  uint32_t Add();
  // Writes one value (uniform vec4 at flat_value()) everywhere; 0 when it cannot be built.
  uint32_t Flat();
  int flat_value() const { return flat_value_; }
  // Summing programs asked for so far, built or not.
  int sums_built() const { return static_cast<int>(sums_.size()); }

 private:
  ProgramBuilder builder_ = Link;
  std::map<SumProgramKey, SumProgram> sums_;  // id 0: failed to build
  uint32_t add_ = 0, flat_ = 0;
  bool add_failed_ = false, flat_failed_ = false;
  int flat_value_ = -1;
};

}  // namespace vl::render
