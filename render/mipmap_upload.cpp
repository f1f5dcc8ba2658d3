#include "render/mipmap_upload.h"

#include <GL/gl.h>

#include <algorithm>
#include <cmath>
#include <new>
#include <utility>

// The filters below must round exactly as the GLU builder does, so that a texture is the same
// whichever made it: single-precision sums in the same order, no fused multiply-adds (the
// library's CMakeLists builds this file with -ffp-contract=off).

namespace vl::render {
namespace {

size_t RowBytes(int32_t width, int32_t components, int32_t alignment) {
  const size_t tight = size_t(width) * size_t(components);
  return (tight + size_t(alignment) - 1) / size_t(alignment) * size_t(alignment);
}

// Halves a picture whose sides are powers of two: each 2 x 2 block becomes its average, rounded
// to nearest; a picture one pixel high or wide averages pairs, rounded down (GLU's quirk, kept).
// `in` and `out` may be the same buffer: every output byte lies at or before the input bytes
// still to be read, and the output rows are packed.
void Halve(int32_t components, int32_t width, int32_t height, const uint8_t* in, size_t in_row, uint8_t* out) {
  const size_t c = size_t(components);
  if (width == 1 || height == 1) {
    const size_t neighbour = height == 1 ? c : in_row;
    const int32_t pairs = std::max(width, height) / 2;
    for (int32_t j = 0; j < pairs; ++j) {
      const uint8_t* p = in + size_t(j) * 2 * neighbour;
      for (size_t k = 0; k < c; ++k) out[size_t(j) * c + k] = uint8_t((p[k] + p[neighbour + k]) / 2);
    }
    return;
  }
  const int32_t half_width = width / 2, half_height = height / 2;
  for (int32_t i = 0; i < half_height; ++i) {
    const uint8_t* top = in + size_t(i) * 2 * in_row;
    const uint8_t* bottom = top + in_row;
    uint8_t* o = out + size_t(i) * size_t(half_width) * c;
    for (int32_t j = 0; j < half_width; ++j) {
      const size_t a = size_t(j) * 2 * c, b = a + c;
      for (size_t k = 0; k < c; ++k)
        o[size_t(j) * c + k] = uint8_t((top[a + k] + top[b + k] + bottom[a + k] + bottom[b + k] + 2) / 4);
    }
  }
}

// One output pixel's box over the input: the whole pixels it spans run from the *_int indices,
// the first and last covered in part by the fractions.
struct Box {
  int32_t low_x_int, high_x_int, low_y_int, high_y_int;
  float low_x, high_x, low_y, high_y;
};

// Adds the box's area-weighted input pixels to `totals` in GLU's order (the order of the float
// sums is what keeps the results the same).
template <typename At>
void BoxTotals(const Box& box, size_t c, At at, float totals[4]) {
  const auto [low_x_int, high_x_int, low_y_int, high_y_int, low_x, high_x, low_y, high_y] = box;
  auto add = [&](const uint8_t* p, float weight) {
    for (size_t k = 0; k < c; ++k) totals[k] += float(p[k]) * weight;
  };
  if (high_y_int > low_y_int && high_x_int > low_x_int) {
    // The box spans rows and columns: its first row, its last row, the side columns of the
    // rows between, in that order.
    float y_weight = 1 - low_y;
    add(at(low_x_int, low_y_int), y_weight * (1 - low_x));
    for (int32_t l = low_x_int + 1; l < high_x_int; ++l) add(at(l, low_y_int), y_weight);
    add(at(high_x_int, low_y_int), y_weight * high_x);
    y_weight = high_y;
    add(at(low_x_int, high_y_int), y_weight * (1 - low_x));
    for (int32_t l = low_x_int + 1; l < high_x_int; ++l) add(at(l, high_y_int), y_weight);
    add(at(high_x_int, high_y_int), y_weight * high_x);
    for (int32_t m = low_y_int + 1; m < high_y_int; ++m) {
      const uint8_t* left = at(low_x_int, m);
      const uint8_t* right = at(high_x_int, m);
      for (size_t k = 0; k < c; ++k) totals[k] += float(left[k]) * (1 - low_x) + float(right[k]) * high_x;
    }
  } else if (high_y_int > low_y_int) {
    // One column, several rows.
    const float x_weight = high_x - low_x;
    add(at(low_x_int, low_y_int), (1 - low_y) * x_weight);
    for (int32_t m = low_y_int + 1; m < high_y_int; ++m) add(at(low_x_int, m), x_weight);
    add(at(low_x_int, high_y_int), x_weight * high_y);
  } else if (high_x_int > low_x_int) {
    // One row, several columns.
    const float y_weight = high_y - low_y;
    add(at(low_x_int, low_y_int), (1 - low_x) * y_weight);
    for (int32_t l = low_x_int + 1; l < high_x_int; ++l) add(at(l, low_y_int), y_weight);
    add(at(high_x_int, low_y_int), y_weight * high_x);
  } else {
    add(at(low_x_int, low_y_int), (high_y - low_y) * (high_x - low_x));
  }
  // The whole pixels inside the box.
  for (int32_t m = low_y_int + 1; m < high_y_int; ++m)
    for (int32_t l = low_x_int + 1; l < high_x_int; ++l) {
      const uint8_t* p = at(l, m);
      for (size_t k = 0; k < c; ++k) totals[k] += float(p[k]);
    }
}

// Resizes a picture with GLU's box filter: each output pixel is the area-weighted average of the
// input pixels its box covers, the box edges stepping by float increments. Where those steps run
// a hair past the last column, GLU reads the pixel after the row; this reads the last column
// instead (the weight there is at most a rounding error). `out` is packed.
void Scale(int32_t components, int32_t in_width, int32_t in_height, const uint8_t* in, size_t in_row, int32_t out_width,
           int32_t out_height, uint8_t* out) {
  if (in_width == out_width * 2 && in_height == out_height * 2) {
    Halve(components, in_width, in_height, in, in_row, out);
    return;
  }
  const size_t c = size_t(components);
  const float conv_y = float(in_height) / float(out_height);
  const float conv_x = float(in_width) / float(out_width);
  const int32_t conv_y_int = int32_t(std::floor(double(conv_y)));
  const float conv_y_frac = conv_y - float(conv_y_int);
  const int32_t conv_x_int = int32_t(std::floor(double(conv_x)));
  const float conv_x_frac = conv_x - float(conv_x_int);
  const float area = conv_x * conv_y;
  auto at = [&](int32_t x, int32_t y) { return in + size_t(y) * in_row + size_t(std::min(x, in_width - 1)) * c; };

  int32_t low_y_int = 0, high_y_int = conv_y_int;
  float low_y = 0, high_y = conv_y_frac;
  for (int32_t i = 0; i < out_height; ++i) {
    if (high_y_int >= in_height) high_y_int = in_height - 1;  // carried into the next row, as GLU does
    int32_t low_x_int = 0, high_x_int = conv_x_int;
    float low_x = 0, high_x = conv_x_frac;
    for (int32_t j = 0; j < out_width; ++j) {
      float totals[4] = {0, 0, 0, 0};
      BoxTotals({low_x_int, high_x_int, low_y_int, high_y_int, low_x, high_x, low_y, high_y}, c, at, totals);
      uint8_t* o = out + (size_t(i) * size_t(out_width) + size_t(j)) * c;
      // Truncated through int, as the x86 conversion of the C original does.
      for (size_t k = 0; k < c; ++k) o[k] = uint8_t(int32_t(totals[k] / area));

      low_x_int = high_x_int;
      low_x = high_x;
      high_x_int += conv_x_int;
      high_x += conv_x_frac;
      if (high_x > 1) {
        high_x -= 1;
        ++high_x_int;
      }
    }
    low_y_int = high_y_int;
    low_y = high_y;
    high_y_int += conv_y_int;
    high_y += conv_y_frac;
    if (high_y > 1) {
      high_y -= 1;
      ++high_y_int;
    }
  }
}

// Drops errors left by earlier calls, so that the checks below see only their own.
void ClearGlErrors() {
  for (int i = 0; i < 16 && glGetError() != GL_NO_ERROR; ++i) {}
}

}  // namespace

int32_t NearestPowerOfTwo(int32_t value) {
  if (value < 1) return 1;
  int32_t power = 1;
  for (uint32_t v = uint32_t(value);; v >>= 1, power *= 2) {
    if (v == 1) return power;
    if (v == 3) return power * 4;
  }
}

MipmapSize FitMipmapSize(int32_t width, int32_t height, int32_t internal_format, uint32_t format) {
  MipmapSize size{NearestPowerOfTwo(width), NearestPowerOfTwo(height)};
  // Asked as GLU asks: does level 1 of a texture this size, with all its mipmaps, fit?
  for (;;) {
    const int32_t level_one_width = size.width > 1 ? size.width / 2 : 1;
    const int32_t level_one_height = size.height > 1 ? size.height / 2 : 1;
    glTexImage2D(GL_PROXY_TEXTURE_2D, 1, internal_format, level_one_width, level_one_height, 0, format,
                 GL_UNSIGNED_BYTE, nullptr);
    GLint fits = 0;
    glGetTexLevelParameteriv(GL_PROXY_TEXTURE_2D, 1, GL_TEXTURE_WIDTH, &fits);
    if (fits != 0) return size;
    if (size.width == 1 && size.height == 1) break;
    size = {level_one_width, level_one_height};
  }
  // Not even 1 x 1 fits: the proxy is of no use, so clamp to the largest size GL names.
  GLint max_size = 0;
  glGetIntegerv(GL_MAX_TEXTURE_SIZE, &max_size);
  max_size = std::max<GLint>(max_size, 1);
  return {std::min<int32_t>(NearestPowerOfTwo(width), max_size),
          std::min<int32_t>(NearestPowerOfTwo(height), max_size)};
}

bool UploadMipmaps(MipmapSource source, int32_t internal_format, std::string* why) {
  auto fail = [&](std::string reason) {
    if (why) *why = std::move(reason);
    return false;
  };
  const int32_t c = source.components;
  const int32_t align = source.alignment;
  if (source.width < 1 || source.height < 1 || c < 1 || c > 4 || (align != 1 && align != 2 && align != 4 && align != 8))
    return fail("the picture has no usable size or layout");
  size_t row = RowBytes(source.width, c, align);
  if (source.pixels.size() < row * size_t(source.height - 1) + size_t(source.width) * size_t(c))
    return fail("the pixels do not fill a " + std::to_string(source.width) + " x " + std::to_string(source.height) +
                " picture");

  const MipmapSize size = FitMipmapSize(source.width, source.height, internal_format, source.format);
  std::vector<uint8_t> level = std::move(source.pixels);
  int32_t level_align = align;
  if (size.width != source.width || size.height != source.height) {
    // Resized into a buffer of the texture's size; the picture's own goes as soon as that is done.
    std::vector<uint8_t> resized;
    try {
      resized.resize(size_t(size.width) * size_t(size.height) * size_t(c));
    } catch (const std::bad_alloc&) {
      return fail("no memory to resize the picture to " + std::to_string(size.width) + " x " +
                  std::to_string(size.height));
    }
    Scale(c, source.width, source.height, level.data(), row, size.width, size.height, resized.data());
    level = std::move(resized);
    row = size_t(size.width) * size_t(c);
    level_align = 1;
  }

  GLint saved_alignment = 4;
  glGetIntegerv(GL_UNPACK_ALIGNMENT, &saved_alignment);
  glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
  glPixelStorei(GL_UNPACK_SKIP_ROWS, 0);
  glPixelStorei(GL_UNPACK_SKIP_PIXELS, 0);
  glPixelStorei(GL_UNPACK_SWAP_BYTES, GL_FALSE);
  // A mipmap filter before level 0 tells GL to lay out the whole chain at once; otherwise it
  // keeps level 0 apart and copies it when level 1 arrives.
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR_MIPMAP_NEAREST);
  ClearGlErrors();
  bool ok = true;
  int32_t w = size.width, h = size.height;
  for (GLint index = 0; ok; ++index) {
    glPixelStorei(GL_UNPACK_ALIGNMENT, level_align);
    glTexImage2D(GL_TEXTURE_2D, index, internal_format, w, h, 0, source.format, GL_UNSIGNED_BYTE, level.data());
    if (const GLenum error = glGetError(); error != GL_NO_ERROR) {
      ok = fail(error == GL_OUT_OF_MEMORY ? "GL has no memory for a " + std::to_string(size.width) + " x " +
                                                std::to_string(size.height) + " texture"
                                          : "GL refused mipmap level " + std::to_string(index));
      break;
    }
    if (w == 1 && h == 1) break;
    Halve(c, w, h, level.data(), row, level.data());
    w = std::max(w / 2, 1);
    h = std::max(h / 2, 1);
    row = size_t(w) * size_t(c);
    level_align = 1;
  }
  glPixelStorei(GL_UNPACK_ALIGNMENT, saved_alignment);
  return ok;
}

}  // namespace vl::render
