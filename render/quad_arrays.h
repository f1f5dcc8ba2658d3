// Drawing a batch of textured, coloured quads from client-side arrays (GL 1.1 vertex arrays):
// 3 position floats, 2 texture coordinates and 4 colour floats per corner, 4 corners a quad.
#pragma once
#include <cstddef>

namespace vl::render {

void DrawQuadArrays(const float* positions, const float* texcoords, const float* colours, size_t quads);

}  // namespace vl::render
