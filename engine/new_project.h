// The new-project reset: drops the loaded loop's keys and puts the scene back to the blank default
// project (gold text texture, default photo, "Moxtrel" in "Arial Black", playback stopped).
// Asset loads go through SequenceAssets; the caller asks the user first and applies the clear
// colour in its GL context. No OpenGL, no Qt.
#pragma once
#include "engine/sequence_loader.h"

namespace vl::engine {

inline constexpr const char* kNewProjectTexture = "Textures/Gold.jpg";
inline constexpr const char* kNewProjectPhoto = "Images/video-girl.jpg";

void NewProject(SceneState& scene, SequenceAssets& assets);

}  // namespace vl::engine
