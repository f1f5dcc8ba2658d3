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

// Output tiles, in pixels, over which the layers that read anything but the capture's background
// are found.
inline constexpr int kEchoTile = 32;
// Longer echoes are summed in several passes; saturating adds of non-negative values do not
// depend on how they are grouped. Keeps each program small enough for any uniform limit.
inline constexpr int kMaxLayersPerPass = 16;

// The layer count a pass's program is built for: the count rounded up to a multiple of four, the
// layers beyond the pass's own having alpha 0, which adds exactly nothing. Each size is a program
// the GL driver compiles and keeps for the program's life (on a software renderer about a megabyte
// each, more the more layers), so passes of every count share a few small programs instead of
// building one per count, and the padding costs at most three layers' sampling.
int ProgramSize(int count);

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

// The output's tiles with the layers each must sample. `content`: what the capture holds, or null
// when unknown (every layer sampled everywhere); a capture of one grey level (inputs.grey) samples
// nothing anywhere.
std::vector<EchoTile> EchoTilesOf(const EchoInputs& inputs, const CaptureContent* content, int width, int height);

// The rectangles (pixels: x0, y0, x1, y1) that cover the tiles `members` (ascending, tiles row
// by row): runs along each row, merged down the rows where the same run comes again.
std::vector<std::array<int, 4>> MemberRects(const std::vector<EchoTile>& tiles, const std::vector<size_t>& members);

// Roughly what summing `inputs` over width x height costs, in texture reads over the output;
// `content` as for EchoTilesOf. `drawn_area`: the pixels of the tiles that draw anything.
double SumCost(const EchoInputs& inputs, const CaptureContent* content, int width, int height, double* drawn_area);

// Whether summing `soft` at reduced size and `sharp` at full size, then adding the reduced sum
// `reduced_adds` times, costs less than summing `all` at full size and adding that `full_adds`
// times. Fast sums take the cheaper way: the full size is also the exact one.
bool ReducedPays(const CaptureContent* content, const EchoInputs& all, const EchoInputs& sharp, const EchoInputs& soft,
                 int width, int height, int reduced_adds, int full_adds);

}  // namespace vl::render
