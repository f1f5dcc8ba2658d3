// Frames per second of the image layers at 720 x 576 on the headless context: each layer alone,
// then everything at once with the glow capture and the trail (all layers, 26 vortex elements,
// the full sprite ring, every glow piece redrawn into the capture and the trail each frame).
// Argument 1 picks the geometry path: 0 immediate mode, 1 vertex arrays. The fps counter is
// wall-clock: the software rasteriser works on threads of its own, so CPU time of this thread
// says little; cpu_ms is the whole process's processor time per frame, the figure to compare on a
// busy machine. Fill rate dominates the heavy cases.
#include <GL/gl.h>
#include <benchmark/benchmark.h>

#include <cstdio>
#include <ctime>
#include <memory>
#include <string>

#include "platform/headless/headless_context.h"
#include "tests/render/layers/layers_rig.h"

namespace {

using vl::engine::SequenceSettings;
using vl::engine::Track;

constexpr int kWidth = 720, kHeight = 576;

// Processor time of the whole process, the rasteriser's threads included: unlike the wall time it
// hardly grows when other programs share the machine.
double ProcessCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

vl::headless::HeadlessContext* Context() {
  static std::unique_ptr<vl::headless::HeadlessContext> gl = [] {
    std::string error;
    auto c = vl::headless::HeadlessContext::Create(kWidth, kHeight, &error);
    if (!c) std::fprintf(stderr, "layers_bench: no headless context: %s\n", error.c_str());
    return c;
  }();
  return gl.get();
}

constexpr float SequenceSettings::*kLayers[] = {
    &SequenceSettings::backdrop_on, &SequenceSettings::tunnel_on,    &SequenceSettings::photo_on,
    &SequenceSettings::vortex_on,   &SequenceSettings::particles_on, &SequenceSettings::sprites_on,
};
const char* const kLayerNames[] = {"backdrop", "tunnel", "photos", "vortex", "particles", "sprites", "everything"};

void RunFrames(benchmark::State& state, vl::test::LayerRig& rig) {
  rig.Frames(3);  // start-up frames: particle reset, prewarm, first fountain particles
  glFinish();
  int64_t frames = 0;
  const double cpu_start = ProcessCpuSeconds();
  for (auto _ : state) {
    rig.Frames(1);
    glFinish();
    ++frames;
  }
  state.counters["fps"] = benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
  if (frames > 0) state.counters["cpu_ms"] = (ProcessCpuSeconds() - cpu_start) * 1000.0 / static_cast<double>(frames);
}

void BM_Layer(benchmark::State& state) {
  if (!Context()) {
    state.SkipWithError("no headless GL context");
    return;
  }
  const int layer = static_cast<int>(state.range(0));
  state.SetLabel(std::string(kLayerNames[layer]) + (state.range(1) ? " arrays" : " immediate"));
  vl::test::LayerRig rig(kWidth, kHeight);
  rig.slots.image.set_use_arrays(state.range(1) != 0);
  auto& set = rig.scene->settings;
  // The longest vortex a loop can ask for, with a fountain step that keeps about 200 particles
  // alive (the default emit value gives a negative step: an empty vortex).
  rig.Key(Track::vortex_spacing, 118);
  rig.Key(Track::vortex_emit, -100);
  if (layer < 6) {
    set.*kLayers[layer] = 2.0f;
  } else {
    for (auto on : kLayers) set.*on = 2.0f;
    set.fx_sprites = set.fx_particles = set.fx_vortex = 2.0f;
    set.trail_on = 2.0f;
    set.echo_model_1_on = 2.0f;  // keeps the glow capture running while the trail is on
    rig.Key(Track::sprite_count, static_cast<float>(vl::render::kMaxSprites));
  }
  RunFrames(state, rig);
}

BENCHMARK(BM_Layer)
    ->ArgsProduct({{0, 1, 2, 3, 4, 5, 6}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->MinTime(0.5)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
