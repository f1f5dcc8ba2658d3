// Font bytes through the glyph shape pipeline: FreeType outlines, our flattening, the non-zero
// fill and the walls. A damaged font on the system must never crash the text. Seed with any
// TrueType or OpenType files, e.g. the faces of fonts-liberation2.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "render/glyph_lists.h"

// Fontconfig keeps its configuration for the life of the process (until FcFini, which a
// program that draws text to the end never calls); the leak checker would report it at exit.
// NOLINTNEXTLINE(bugprone-reserved-identifier): the name the leak checker looks for
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto font = vl::render::OutlineFont::OpenBytes(std::vector<uint8_t>(data, data + size), "fuzz input");
  if (!font) return 0;
  for (int code = 0; code < vl::render::kConvertedGlyphs; ++code) {
    const vl::render::GlyphShape shape = font->Shape(static_cast<uint8_t>(code));
    if (shape.triangles.size() % 3 != 0) std::abort();
    for (const auto& c : shape.contours)
      if (c.size() < 3) std::abort();
    (void)vl::render::GlyphWalls(shape);
  }
  return 0;
}
