// Clearing the key list and expanding keys into one value per frame and per track.
// No OpenGL, no Qt.
#pragma once
#include "engine/scene_state.h"

namespace vl::engine {

// Zeroes the frame totals and the key count, and slots 1 .. 601 of the key list and of every
// track's key and frame values. Slot 0 and slots from 602 on keep what an earlier loop left.
void ClearKeyframes(SceneState& scene);

// Expands segments bake_segment .. keyframe_count - 1 into every track's frame_values,
// accumulating linearly from frame to frame. Resumable: leaves bake_segment at keyframe_count.
// Key frame numbers must already be valid (0 .. 9,999; segments after the first start at 1 or later).
void ExpandKeyframes(SceneState& scene);

}  // namespace vl::engine
