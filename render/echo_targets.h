// The images the echo compositor sums into, and the framebuffers that draw into two of them at
// once, owned in one place: made on first use at the size asked for, kept for reuse, and
// released together while their context is current.
#pragma once
#include <array>
#include <cstdint>
#include <vector>

#include "render/echo_plan.h"

namespace vl::render {

// Tiles of the output (kEchoTile pixels square) that a sum drew into.
struct TileMap {
  int cols = 0, rows = 0;
  std::vector<uint8_t> drawn;
};
// A tile map over width x height with nothing drawn.
void ClearTiles(TileMap* map, int width, int height);
// Marks the tiles that the pixels [x0, x1) x [y0, y1) touch.
void MarkTiles(TileMap* map, int x0, int x1, int y0, int y1);

// An 8-bit image with its framebuffer, and the sum it holds.
struct SumTarget {
  uint32_t framebuffer = 0;
  uint32_t texture = 0;
  int width = 0, height = 0;
  bool filled = false;
  EchoInputs inputs;
  TileMap tiles;
};

class EchoTargets {
 public:
  static constexpr int kKeptSlots = 4;

  // Makes `target` an image of width x height (kept when it already is); false when its
  // framebuffer is incomplete, which leaves it unsized so the next call tries again.
  bool Prepare(SumTarget& target, int width, int height);
  // The sum kept for a repeat, by slot (any slot >= 0).
  SumTarget& kept(int slot) { return kept_[static_cast<size_t>(slot) % kept_.size()]; }
  SumTarget& scratch() { return scratch_; }
  SumTarget& early_sum() { return early_sum_; }    // the lit sum of a sum with its late repeat
  SumTarget& soft_early() { return soft_early_; }  // ... and the reduced parts of both
  SumTarget& soft_kept() { return soft_kept_; }

  // Draws into `first` and `second` at once (both prepared at one size): binds the framebuffer
  // that holds both and gives whether it is complete. The caller restores the binding.
  bool BindBoth(const SumTarget& first, const SumTarget& second);
  // Makes the colour buffer the current draw framebuffer renders into the first output, and
  // `kept` the second, of a framebuffer of their own (not bound); false when the current one is
  // not a framebuffer object's single-image colour buffer or the pair is incomplete.
  bool BorrowFrame(const SumTarget& kept);
  uint32_t frame_pair() const { return frame_pair_; }

  // A float image of width x height (the lit layers' colour per pixel); fast sums need two sizes
  // in one echo, so the last two sizes are kept. Its framebuffer and texture.
  std::array<uint32_t, 2> LitColour(int width, int height);
  // The background table's texture, made on first use.
  uint32_t BackgroundTexture();

  // Deletes every image and framebuffer (the context current); they are made again when next
  // asked for. The GL names held, for tests.
  void Release();
  std::vector<uint32_t> textures() const;
  std::vector<uint32_t> framebuffers() const;

 private:
  std::array<SumTarget, kKeptSlots> kept_{};
  SumTarget scratch_, early_sum_, soft_early_, soft_kept_;
  std::array<SumTarget, 2> lit_colour_{};
  size_t lit_colour_last_ = 1;
  uint32_t pair_ = 0;        // two sum targets at once
  uint32_t frame_pair_ = 0;  // the frame's colour buffer and a kept target at once
  uint32_t background_texture_ = 0;
};

}  // namespace vl::render
