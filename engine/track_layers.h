// Which layer draws with each track's values, in one table for every reader that asks whether a
// track can be seen (the loop check leaves the tracks of a layer that is off out of its seams).
// No OpenGL, no Qt.
#pragma once
#include <cstdint>

#include "engine/scene_state.h"

namespace vl::engine {

// The model echoes are layers apart from their models: each has its own switch. The sprite tint
// is read only when the sprites are drawn tinted.
enum class TrackLayer : uint8_t {
  kBackground,
  kText,
  kSceneEcho,
  kSprites,
  kSpriteTint,
  kParticles,
  kVortex,
  kTunnel,
  kBackdrops,
  kTrail,
  kPhotos,
  kModel1,
  kModel2,
  kModel3,
  kModel1Echo,
  kModel2Echo,
  kModel3Echo,
};

TrackLayer LayerOfTrack(Track track);

}  // namespace vl::engine
