#include "engine/keyframes.h"

#include <algorithm>

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
  constexpr int kBlock = 8;
  double step[kTrackCount];
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

    // Start values and the change over the segment, per track.
    for (int t = 0; t < kTrackCount; ++t) {
      ParameterTrack& track = scene.tracks[static_cast<size_t>(t)];
      if (first) {
        track.running_value = track.initial_value;
        step[t] = static_cast<double>(track.key_values[end]) - static_cast<double>(track.initial_value);
      } else {
        track.running_value = track.frame_values[start - 1];
        track.segment_target = track.key_values[end];
        step[t] = static_cast<double>(track.segment_target) - static_cast<double>(track.previous_target);
      }
      if (length > 0) step[t] /= static_cast<double>(length);
    }
    // Accumulate frame by frame. Tracks are independent, so a block of them is carried along
    // together: each frame is one dependent add per track, and the block hides that latency.
    if (length > 0) {
      for (int t0 = 0; t0 < kTrackCount; t0 += kBlock) {
        const int n = std::min(kBlock, kTrackCount - t0);
        float running[kBlock];
        double block_step[kBlock];
        float* out[kBlock];
        for (int j = 0; j < kBlock; ++j) {
          const int t = std::min(t0 + j, kTrackCount - 1);
          running[j] = scene.tracks[static_cast<size_t>(t)].running_value;
          block_step[j] = step[t];
          out[j] = scene.tracks[static_cast<size_t>(t)].frame_values;
        }
        for (int32_t f = start; f < end; ++f) {
          for (int j = 0; j < kBlock; ++j)
            running[j] = static_cast<float>(static_cast<double>(running[j]) + block_step[j]);
          for (int j = 0; j < n; ++j) out[j][f] = running[j];
        }
        for (int j = 0; j < n; ++j) scene.tracks[static_cast<size_t>(t0 + j)].running_value = running[j];
      }
    }
    for (int t = 0; t < kTrackCount; ++t) {
      ParameterTrack& track = scene.tracks[static_cast<size_t>(t)];
      track.previous_target = first ? track.running_value : track.segment_target;
    }
    if (length > 0) scene.bake_frame = end;
    scene.baked_frame_count += length;
    scene.bake_segment = k + 1;
  }
}

}  // namespace vl::engine
