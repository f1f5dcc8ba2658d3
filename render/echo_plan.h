// What an echo's summing passes draw, worked out without GL: the layers as the quads would draw
// them, which go to the fast sums' reduced part, how the output's tiles group into passes, and
// the constants and background-table rows that stand for the layers a pass leaves out.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "render/echo_tiles.h"

namespace vl::render {

// The fixed-function pipeline's float to 8-bit conversion: clamped to [0, 1], scaled by 255,
// rounded to nearest even.
int ToUnorm8(float value);

// One layer of an echo as the quads draw it: the inset t (the layer samples the capture from t to
// 1 - t) and its 8-bit alpha.
struct EchoLayer {
  float inset = 0.0f;
  int alpha8 = 0;
};

// Everything that decides an echo's pixels for one frame.
struct EchoInputs {
  uint32_t texture = 0;
  std::vector<EchoLayer> layers;  // only layers with a nonzero alpha
  std::array<float, 3> colour{};  // the colour the layers set (lighting may change it)
  int64_t serial = 0;             // which frame's captures
  bool lit = false;               // drawn with lighting on: the colour varies across the quad
  int grey = -1;                  // the capture's one grey level when known (nothing sampled)
  bool operator==(const EchoInputs& o) const;
};

// What one layer of a capture that holds the single grey level `grey8` adds to a channel of
// colour `colour`: the 8-bit product of colour and grey, times the layer's alpha, rounded.
int ConstantLayerValue(float colour, int grey8, int alpha8);

// The unlit second sum of AddWithLate.
struct LateSum {
  std::vector<int> alpha8;
  std::array<float, 3> colour{};
  int alpha_total = 0;
  bool same = false;  // no repeat of its own: the sum itself goes to the second output
};

// The tiles that sample the same layers, drawn in the same passes.
struct PassGroup {
  int first = 0, last = -1;  // the layers sampled
  std::vector<size_t> members;
  std::array<int, 3> flat{}, late_flat{};  // what the layers left out add, unlit (levels)
  bool drawn = true;                       // false: adds nothing
};

// The fast sums' reduced size: half the output in each direction.
int ReducedSize(int n);

// Which layers of an echo (1 per layer) the fast sums add at reduced size over width x height.
std::vector<char> SoftLayers(const EchoInputs& inputs, int width, int height);

// The tiles (all but the flat ones) grouped by the layers they sample, each group with what the
// layers it leaves out add over the capture's `background` level (unlit; lit, `table` says the
// background table adds it instead). With `late`, the unlit repeat's constants too, and in
// `late_all` what all its layers add.
std::vector<PassGroup> PlanGroups(const EchoInputs& inputs, const std::vector<EchoTile>& tiles,
                                  const std::vector<char>& is_flat, int background, bool table, const LateSum* late,
                                  std::array<int, 3>* late_all);

// The background table: for each group a row of 256, what its left-out layers add (at most 255)
// for each 8-bit product of the pixel's colour and the background.
std::vector<float> BackgroundRows(const EchoInputs& inputs, const std::vector<PassGroup>& groups);

}  // namespace vl::render
