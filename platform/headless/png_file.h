// Writing frames as PNG files. The output depends only on the pixels: no time stamp or text chunk,
// fixed compression settings, so the same frame always gives the same bytes.
#pragma once
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/headless/headless_context.h"

namespace vl::headless {

// Encodes as 8-bit RGB (alpha is dropped: frames are opaque on screen). Empty on failure.
std::vector<uint8_t> EncodePng(const Image& image, std::string* error);

// Writes to a temporary file beside `path` and renames it over it. False with *error on failure.
bool WritePngFile(const Image& image, const std::filesystem::path& path, std::string* error);

// A smaller copy by averaging boxes of source pixels (for contact sheets).
Image Downscale(const Image& image, int width, int height);

// Copies `tile` into `sheet` with its top-left corner at (x, y), clipped to the sheet.
void Blit(const Image& tile, Image& sheet, int x, int y);

}  // namespace vl::headless
