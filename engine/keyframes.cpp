#include "engine/keyframes.h"

namespace vl::engine {

void ClearKeyframes(SceneState& scene) {
  scene.frame_count = 0;
  scene.keyframe_count = 0;
  scene.baked_frame_count = 0;
  auto& keys = *scene.keyframe_frame;
  for (int i = 1; i <= kClearedSlots; ++i) keys[static_cast<size_t>(i)] = 0;
  for (int t = 0; t < kTrackCount; ++t) {
    ParameterTrack& track = scene.tracks[static_cast<size_t>(t)];
    for (int i = 1; i <= kClearedSlots; ++i) {
      track.key_values[i] = 0.0f;
      track.frame_values[i] = 0.0f;
    }
  }
}

void ExpandKeyframes(SceneState& scene) {
  const int32_t count = scene.keyframe_count;
  const auto& keys = *scene.keyframe_frame;
  while (scene.bake_segment != count) {
    const int32_t k = scene.bake_segment;
    const bool first = k == 0;
    const int32_t start = keys[static_cast<size_t>(k)];
    const int32_t end = keys[static_cast<size_t>(k) + 1];
    const int32_t length = end - start;
    scene.bake_frame = start;
    scene.bake_segment_end = end;
    scene.bake_segment_length = length;
    scene.frame_count += length;

    // Tracks are independent, so each is run over the whole segment in turn (the same values as
    // frame-by-frame order, but walking memory in sequence).
    for (int t = 0; t < kTrackCount; ++t) {
      ParameterTrack& track = scene.tracks[static_cast<size_t>(t)];
      double change;
      if (first) {
        track.running_value = track.initial_value;
        change = static_cast<double>(track.key_values[end]) - static_cast<double>(track.initial_value);
      } else {
        track.running_value = track.frame_values[start - 1];
        track.segment_target = track.key_values[end];
        change = static_cast<double>(track.segment_target) - static_cast<double>(track.previous_target);
      }
      if (length > 0) {
        const double step = change / static_cast<double>(length);
        float running = track.running_value;
        for (int32_t f = start; f < end; ++f) {
          running = static_cast<float>(static_cast<double>(running) + step);
          track.frame_values[f] = running;
        }
        track.running_value = running;
      }
      track.previous_target = first ? track.running_value : track.segment_target;
    }
    if (length > 0) scene.bake_frame = end;
    scene.baked_frame_count += length;
    scene.bake_segment = k + 1;
  }
}

}  // namespace vl::engine
