// The lit-corner probes: what the current lighting makes of the layers' quad, read back by GL
// feedback, and how the rasteriser cuts a quad, so that a lit echo over a flat capture can be
// drawn as constants where the lit colour keeps every pixel at the same levels. The level
// arithmetic over the corners needs no GL and is tested without a context.
#pragma once
#include <array>
#include <map>
#include <vector>

#include "render/echo_plan.h"

namespace vl::render {

// A corner of the layers' quad after lighting: where it lands in the viewport (0 to 1 across)
// and its colour.
struct LitCorner {
  double x = 0, y = 0;
  std::array<float, 3> colour{};
};

// What all an echo's layers add, for each 8-bit product of colour and grey.
std::array<int, 256> AllLayersLevels(const EchoInputs& inputs);

// Whether every colour from `lo` to `hi` (per channel) makes, with the background level `grey8`,
// an 8-bit product (as the summing program forms it) for which `levels` is the same; that value
// in `value`. `levels` never falls as the product grows.
bool SameLevels(const std::array<float, 3>& lo, const std::array<float, 3>& hi, int grey8,
                const std::array<int, 256>& levels, std::array<int, 3>* value);

// Of the tiles that sample no layer of a lit echo over the background level `background`, those
// over which every pixel adds the same levels, by those levels (and marked in `is_flat`), given
// the quad's lit corners in drawing order and how the rasteriser cuts it.
void FlatTilesOver(const EchoInputs& inputs, const std::array<LitCorner, 4>& corners, bool through_first,
                   const std::vector<EchoTile>& tiles, int width, int height, int background,
                   std::map<std::array<int, 3>, std::vector<size_t>>* flat, std::vector<char>* is_flat);

class LitProbes {
 public:
  // The layers' quad in `colour` through the current lighting, returned by feedback instead of
  // drawn: its corners in drawing order. False when feedback does not give all four or the
  // lighting colours a vertex in ways feedback does not show.
  bool Corners(const std::array<float, 3>& colour, std::array<LitCorner, 4>* corners);
  // Whether the rasteriser cuts a quad into triangles along its first and third vertices (else
  // along the second and fourth); found once by drawing one.
  bool QuadSplitsThroughFirstVertex();
  // FlatTilesOver with the corners probed now.
  void FlatTiles(const EchoInputs& inputs, const std::vector<EchoTile>& tiles, int width, int height, int background,
                 std::map<std::array<int, 3>, std::vector<size_t>>* flat, std::vector<char>* is_flat);
  // A lit echo of a capture of one grey level (inputs.grey): true when the lit colour stays
  // within a range over which every pixel adds the same levels, given in `sum`.
  bool GreyLevels(const EchoInputs& inputs, std::array<int, 3>* sum);

 private:
  int quad_split_ = -1;  // -1 not yet known
};

}  // namespace vl::render
