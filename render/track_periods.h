// How far a track's value moves before the picture it draws repeats: the passes turn angles in
// degrees and scroll textures that repeat, so a whole turn or a whole texture later they draw the
// same again. The loop check measures seams by these; the passes scale their values by the same
// constants. No OpenGL.
#pragma once
#include "engine/scene_state.h"

namespace vl::render {

inline constexpr float kDegreesPerTurn = 360.0f;
// Backdrop and trail scrolls are hundredths of their texture.
inline constexpr float kScrollPerTexture = 100.0f;
// Model texture scrolls are 360ths of the texture.
inline constexpr float kModelScrollPerTexture = 360.0f;
// The vortex rolls a fifth of a degree per unit of vortex_roll.
inline constexpr float kVortexRollPerDegree = 5.0f;
// Each character turns by char_rot / 10 degrees more than the one before it.
inline constexpr float kCharRotPerDegree = 10.0f;

// The shift of the track's value after which its picture repeats; 0 for a track whose picture
// never does (positions, colours, counts).
double TrackPeriod(engine::Track track);

}  // namespace vl::render
