// What an edit costs on a 10,000-frame loop: the tracks it touched are expanded again, and
// nothing else. A key drag or a typed value should stay far below 2 ms per touched track, and
// the moves of a drag that come between two frames cost the playing scene one move.
#include <benchmark/benchmark.h>

#include <memory>

#include "engine/keyframes.h"
#include "engine/loop_edit.h"
#include "engine/sequence_loader.h"
#include "engine/sequence_writer.h"

namespace {

using namespace vl::engine;

// Keys 0, 1000, ..., 9000 and 9999: every segment a thousand frames long.
std::unique_ptr<SceneState> LongLoop() {
  auto scene = std::make_unique<SceneState>();
  ResetToLoadDefaults(*scene);
  ClearKeyframes(*scene);
  scene->keyframe_count = 10;
  for (int k = 0; k <= 10; ++k) {
    const int frame = k == 10 ? 9999 : k * 1000;
    (*scene->keyframe_frame)[static_cast<size_t>(k)] = frame;
    for (int t = 0; t < kTrackCount; ++t)
      scene->tracks[static_cast<size_t>(t)].key_values[frame] = static_cast<float>((k * 37 + t) % 360);
  }
  auto loaded = std::make_unique<SceneState>();
  SequenceAssets none;
  ApplySequence(*loaded, *ParseSequence(WriteSequence(*scene), "long.lqf"), none);
  return loaded;
}

void PerFrame(benchmark::State& state, double frames) {
  state.counters["per_frame"] =
      benchmark::Counter(frames, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// One track through all 9,999 frames: what a change to its initial value costs.
void BM_ExpandOneTrack10000Frames(benchmark::State& state) {
  auto scene = LongLoop();
  for (auto _ : state) {
    ExpandTrack(*scene, Track::text_rot_y, 0);
    benchmark::DoNotOptimize(scene->track(Track::text_rot_y).frame_values[9998]);
  }
  PerFrame(state, 9999.0);
  state.SetLabel("1 track, 9999 frames");
}

// A typed value at the second key, and its undo: the track from its first segment on, twice.
void BM_SetKeyValueAndUndo(benchmark::State& state) {
  auto scene = LongLoop();
  float v = 0.0f;
  for (auto _ : state) {
    auto done = ApplyEdit(*scene, SetKeyValueEdit(Track::text_rot_y, 1, v += 1.0f));
    ApplyEdit(*scene, done->undo);
    benchmark::DoNotOptimize(scene->track(Track::text_rot_y).frame_values[9998]);
  }
  state.SetLabel("1 track, 2 x 9999 frames");
}

// A drag of one key in time: every track's keys move, so all 215 tracks from the key's segment on.
void BM_MoveKeyAndBack(benchmark::State& state) {
  auto scene = LongLoop();
  for (auto _ : state) {
    auto done = ApplyEdit(*scene, MoveKeyEdit(5, 5010));
    ApplyEdit(*scene, done->undo);
    benchmark::DoNotOptimize(scene->track(Track::text_rot_y).frame_values[9998]);
  }
  state.SetLabel("215 tracks, 2 x 5999 frames");
}

// A key row added on the playhead and taken away again.
void BM_InsertAndDeleteKey(benchmark::State& state) {
  auto scene = LongLoop();
  for (auto _ : state) {
    auto done = ApplyEdit(*scene, InsertKeyEdit(500));
    ApplyEdit(*scene, done->undo);
    benchmark::DoNotOptimize(scene->track(Track::text_rot_y).frame_values[9998]);
  }
  state.SetLabel("215 tracks, 2 x 9999 frames");
}

// One frame's worth of a drag in time and value (four moves of the mouse, key 5 of three tracks):
// what the playing scene is given between two frames, each move made (range 0) or the moves
// queued as the editor hands them (range 1), and the drag taken back.
LoopEdit DragMove(int step) {
  std::vector<int32_t> frames;
  for (int k = 0; k <= 10; ++k) frames.push_back(k == 10 ? 9999 : k * 1000);
  frames[5] += step;
  std::vector<LoopEdit> steps;
  for (Track t : {Track::background_r, Track::background_g, Track::background_b})
    steps.push_back(SetKeyValueEdit(t, 5, static_cast<float>(step)));
  steps.push_back(SetKeyFramesEdit(std::move(frames)));
  return GroupEdit(std::move(steps), "Drag keys");
}

void BM_DragMovesOfOneFrame(benchmark::State& state) {
  auto scene = LongLoop();
  const bool queued = state.range(0) != 0;
  for (auto _ : state) {
    std::vector<LoopEdit> moves;
    for (int step = 1; step <= 4; ++step) {
      if (queued) QueueEdit(moves, DragMove(step));
      else moves.push_back(DragMove(step));
    }
    for (const LoopEdit& e : moves) ApplyEdit(*scene, e);
    ApplyEdit(*scene, DragMove(0));
    benchmark::DoNotOptimize(scene->track(Track::background_r).frame_values[9998]);
  }
  state.SetLabel(queued ? "queued: 1 move made" : "4 moves made");
}

// For comparison: what a whole load's expansion of the same loop costs.
void BM_ExpandWholeLoop(benchmark::State& state) {
  auto scene = LongLoop();
  for (auto _ : state) {
    scene->bake_segment = 0;
    scene->frame_count = scene->baked_frame_count = 0;
    ExpandKeyframes(*scene);
    benchmark::DoNotOptimize(scene->tracks[0].frame_values[9998]);
  }
  state.SetLabel("215 tracks, 9999 frames");
}

}  // namespace

BENCHMARK(BM_ExpandOneTrack10000Frames)->Unit(benchmark::kMicrosecond)->Repetitions(3)->ReportAggregatesOnly(true);
BENCHMARK(BM_SetKeyValueAndUndo)->Unit(benchmark::kMicrosecond)->Repetitions(3)->ReportAggregatesOnly(true);
BENCHMARK(BM_MoveKeyAndBack)->Unit(benchmark::kMillisecond)->Repetitions(3)->ReportAggregatesOnly(true);
BENCHMARK(BM_InsertAndDeleteKey)->Unit(benchmark::kMillisecond)->Repetitions(3)->ReportAggregatesOnly(true);
BENCHMARK(BM_DragMovesOfOneFrame)
    ->Arg(0)
    ->Arg(1)
    ->ArgName("queued")
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(3)
    ->ReportAggregatesOnly(true);
BENCHMARK(BM_ExpandWholeLoop)->Unit(benchmark::kMillisecond)->Repetitions(3)->ReportAggregatesOnly(true);
BENCHMARK_MAIN();
