#include "platform/stream/pixel_convert.h"

#include <cstddef>

namespace vl::stream {
namespace {

// R and B are the byte offsets of red and blue in a pixel; written so the compiler vectorises
// the rows (this file is built with -O3).
template <int R, int B>
void Convert(const uint8_t* src, int stride, int width, int height, uint8_t* const planes[3], const int strides[3]) {
  for (int row = 0; row + 1 < height; row += 2) {
    const uint8_t* a = src + size_t(row) * stride;
    const uint8_t* b = a + stride;
    uint8_t* y0 = planes[0] + size_t(row) * strides[0];
    uint8_t* y1 = y0 + strides[0];
    uint8_t* u = planes[1] + size_t(row / 2) * strides[1];
    uint8_t* v = planes[2] + size_t(row / 2) * strides[2];
    for (int x = 0; x < width; ++x) {
      y0[x] = uint8_t(((66 * a[4 * x + R] + 129 * a[4 * x + 1] + 25 * a[4 * x + B] + 128) >> 8) + 16);
      y1[x] = uint8_t(((66 * b[4 * x + R] + 129 * b[4 * x + 1] + 25 * b[4 * x + B] + 128) >> 8) + 16);
    }
    for (int x = 0; x < width / 2; ++x) {
      const int r = a[8 * x + R] + a[8 * x + 4 + R] + b[8 * x + R] + b[8 * x + 4 + R];
      const int g = a[8 * x + 1] + a[8 * x + 5] + b[8 * x + 1] + b[8 * x + 5];
      const int bl = a[8 * x + B] + a[8 * x + 4 + B] + b[8 * x + B] + b[8 * x + 4 + B];
      u[x] = uint8_t(((-38 * r - 74 * g + 112 * bl + 512) >> 10) + 128);
      v[x] = uint8_t(((112 * r - 94 * g - 18 * bl + 512) >> 10) + 128);
    }
  }
}

}  // namespace

void ToYuv420(const uint8_t* src, int stride, int width, int height, bool bgra, uint8_t* const planes[3],
              const int strides[3]) {
  if (bgra)
    Convert<2, 0>(src, stride, width, height, planes, strides);
  else
    Convert<0, 2>(src, stride, width, height, planes, strides);
}

}  // namespace vl::stream
