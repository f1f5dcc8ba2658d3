// Reading and expanding a long loop: a 10,000-frame loop with 400 keys.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>

#include "engine/keyframes.h"
#include "engine/sequence_loader.h"
#include "engine/sequence_writer.h"

namespace {

using namespace vl::engine;

std::vector<uint8_t> LongLoop() {
  auto scene = std::make_unique<SceneState>();
  ResetToLoadDefaults(*scene);
  ClearKeyframes(*scene);
  scene->keyframe_count = 399;
  for (int k = 0; k < 400; ++k) {
    const int frame = k == 399 ? 9999 : k * 25;
    (*scene->keyframe_frame)[static_cast<size_t>(k)] = frame;
    for (int t = 0; t < kTrackCount; ++t)
      scene->tracks[static_cast<size_t>(t)].key_values[frame] = static_cast<float>((k * 7 + t) % 360);
  }
  return WriteSequence(*scene);
}

void BM_ReadAndExpand10000Frames(benchmark::State& state) {
  const auto bytes = LongLoop();
  auto scene = std::make_unique<SceneState>();
  SequenceAssets none;
  for (auto _ : state) {
    auto parsed = ParseSequence(bytes, "long.lqf");
    ApplySequence(*scene, *parsed, none);
    benchmark::DoNotOptimize(scene->tracks[0].frame_values[9998]);
  }
  const double track_frames = static_cast<double>(kTrackCount) * 9999.0;
  // Seconds per track-frame, shown with an SI prefix (e.g. 2.2n = 2.2 ns).
  state.counters["per_track_frame"] =
      benchmark::Counter(track_frames, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  state.SetLabel(std::to_string(bytes.size()) + " byte file, 400 keys, 215 x 9999 track-frames");
}

void BM_ExpandOnly(benchmark::State& state) {
  const auto bytes = LongLoop();
  auto scene = std::make_unique<SceneState>();
  SequenceAssets none;
  ApplySequence(*scene, *ParseSequence(bytes, "long.lqf"), none);
  for (auto _ : state) {
    scene->bake_segment = 0;
    scene->frame_count = scene->baked_frame_count = 0;
    ExpandKeyframes(*scene);
    benchmark::DoNotOptimize(scene->tracks[0].frame_values[9998]);
  }
}

}  // namespace

BENCHMARK(BM_ReadAndExpand10000Frames)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_ExpandOnly)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK_MAIN();
