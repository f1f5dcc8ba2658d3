#include "platform/headless/png_file.h"

#include "engine/asset_paths.h"

#include <png.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <system_error>

namespace vl::headless {
namespace {

struct WriteState {
  std::vector<uint8_t>* out;
  std::string error;
};

void OnWrite(png_structp png, png_bytep data, png_size_t length) {
  auto* state = static_cast<WriteState*>(png_get_io_ptr(png));
  state->out->insert(state->out->end(), data, data + length);
}

void OnFlush(png_structp) {}

void OnError(png_structp png, png_const_charp message) {
  auto* state = static_cast<WriteState*>(png_get_error_ptr(png));
  state->error = message ? message : "libpng error";
  png_longjmp(png, 1);
}

void OnWarning(png_structp, png_const_charp) {}

}  // namespace

std::vector<uint8_t> EncodePng(const Image& image, std::string* error) {
  std::vector<uint8_t> out;
  if (image.width < 1 || image.height < 1 || image.rgba.size() != static_cast<size_t>(image.width) * image.height * 4) {
    if (error) *error = "image has no pixels or a wrong buffer size";
    return {};
  }
  WriteState state{&out, {}};
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &state, OnError, OnWarning);
  if (!png) {
    if (error) *error = "cannot start the PNG encoder";
    return {};
  }
  png_infop info = png_create_info_struct(png);
  // Rows are converted into this buffer before setjmp so that no C++ object needs unwinding.
  std::vector<uint8_t> row(static_cast<size_t>(image.width) * 3);
  if (!info || setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, info ? &info : nullptr);
    if (error) *error = state.error.empty() ? "PNG encoding failed" : state.error;
    return {};
  }
  png_set_write_fn(png, &state, OnWrite, OnFlush);
  png_set_IHDR(png, info, image.width, image.height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_set_compression_level(png, 6);
  png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_SUB);
  png_write_info(png, info);
  for (int y = 0; y < image.height; ++y) {
    const uint8_t* src = &image.rgba[static_cast<size_t>(y) * image.width * 4];
    for (int x = 0; x < image.width; ++x) {
      row[x * 3 + 0] = src[x * 4 + 0];
      row[x * 3 + 1] = src[x * 4 + 1];
      row[x * 3 + 2] = src[x * 4 + 2];
    }
    png_write_row(png, row.data());
  }
  png_write_end(png, info);
  png_destroy_write_struct(&png, &info);
  return out;
}

bool WritePngFile(const Image& image, const std::filesystem::path& path, std::string* error) {
  std::string why;
  std::vector<uint8_t> bytes = EncodePng(image, &why);
  if (bytes.empty()) {
    if (error) *error = path.string() + ": " + why;
    return false;
  }
  if (Status failed = WriteFileBytes(path, bytes)) {
    if (error) *error = failed->ToString();
    return false;
  }
  return true;
}

Image Downscale(const Image& image, int width, int height) {
  Image out;
  if (width < 1 || height < 1 || image.width < 1 || image.height < 1) return out;
  out.width = width;
  out.height = height;
  out.rgba.assign(static_cast<size_t>(width) * height * 4, 0);
  for (int y = 0; y < height; ++y) {
    int y0 = static_cast<int>(static_cast<int64_t>(y) * image.height / height);
    int y1 = std::max(y0 + 1, static_cast<int>(static_cast<int64_t>(y + 1) * image.height / height));
    for (int x = 0; x < width; ++x) {
      int x0 = static_cast<int>(static_cast<int64_t>(x) * image.width / width);
      int x1 = std::max(x0 + 1, static_cast<int>(static_cast<int64_t>(x + 1) * image.width / width));
      uint32_t sum[4] = {0, 0, 0, 0};
      for (int sy = y0; sy < y1 && sy < image.height; ++sy)
        for (int sx = x0; sx < x1 && sx < image.width; ++sx)
          for (int c = 0; c < 4; ++c) sum[c] += image.Pixel(sx, sy)[c];
      uint32_t n = static_cast<uint32_t>((std::min(y1, image.height) - y0) * (std::min(x1, image.width) - x0));
      uint8_t* dst = &out.rgba[(static_cast<size_t>(y) * width + x) * 4];
      for (int c = 0; c < 4; ++c) dst[c] = static_cast<uint8_t>((sum[c] + n / 2) / n);
    }
  }
  return out;
}

void Blit(const Image& tile, Image& sheet, int x, int y) {
  for (int ty = 0; ty < tile.height; ++ty) {
    int sy = y + ty;
    if (sy < 0 || sy >= sheet.height) continue;
    for (int tx = 0; tx < tile.width; ++tx) {
      int sx = x + tx;
      if (sx < 0 || sx >= sheet.width) continue;
      const uint8_t* src = tile.Pixel(tx, ty);
      uint8_t* dst = &sheet.rgba[(static_cast<size_t>(sy) * sheet.width + sx) * 4];
      for (int c = 0; c < 4; ++c) dst[c] = src[c];
    }
  }
}

}  // namespace vl::headless
