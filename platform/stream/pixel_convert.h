// RGB(A) frames to the planar YUV 4:2:0 encoders and cameras take, on the player's thread as a
// frame is handed over: the one step of streaming that touches every pixel, so it is kept lean (studio-range BT.601, each
// chroma sample the mean of four pixels).
#pragma once
#include <cstdint>

namespace vl::stream {

// width and height even. `bgra`: the bytes are B, G, R, X (a screen image) rather than R, G, B, A.
void ToYuv420(const uint8_t* src, int stride, int width, int height, bool bgra, uint8_t* const planes[3],
              const int strides[3]);

// The instructions a conversion may use. ToYuv420 takes the best this processor has; each gives
// the plain version's bytes exactly.
enum class VectorLevel { kPlain, kSse41, kAvx2 };
bool Supported(VectorLevel level);
// false (and nothing written) when the processor lacks the level.
bool ToYuv420With(VectorLevel level, const uint8_t* src, int stride, int width, int height, bool bgra,
                  uint8_t* const planes[3], const int strides[3]);

}  // namespace vl::stream
