// Headless rendering speed at 720 x 576 on the software GL: frames per second with every switch
// off, and with the trail, the glow captures and the echoes on. cpu_ms: the whole process's processor
// time per frame (the rasteriser's threads too), which a busy machine hardly inflates.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <memory>

#include "engine/sequence_loader.h"
#include "engine/sequence_writer.h"
#include "platform/headless/loop_run.h"
#include "render/offline_player.h"

#include <GL/gl.h>

namespace {

using namespace vl;

constexpr int kW = 720, kH = 576;

// Processor time of the whole process, the rasteriser's threads included: unlike the wall time it
// hardly grows when other programs share the machine.
double ProcessCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

std::filesystem::path WriteLoop(bool effects) {
  auto scene = std::make_unique<engine::SceneState>();
  engine::ResetToLoadDefaults(*scene);
  scene->keyframe_count = 1;
  (*scene->keyframe_frame)[0] = 0;
  (*scene->keyframe_frame)[1] = 500;
  auto& s = scene->settings;
  s.fx_text = s.text_on = 0;
  if (effects) {
    // Trail with an update every tick, the scene echo late, and all three model echoes.
    s.trail_on = 2.0f;
    s.fx_text = 2.0f;
    s.fx_model_2 = 2.0f;
    s.echo_model_1_on = s.echo_model_2_on = s.echo_model_3_on = 2.0f;
  }
  auto path = std::filesystem::temp_directory_path() /
              ("vl_render_bench_" + std::to_string(::getpid()) + (effects ? "_fx.lqf" : "_plain.lqf"));
  engine::WriteSequenceFile(*scene, path);
  return path;
}

void RenderLoop(benchmark::State& state, bool effects) {
  headless::LoopRunSetup setup;
  setup.width = kW;
  setup.height = kH;
  setup.prepare_assets = [](render::RenderAssets& assets) { assets.set_quiet(true); };
  setup.make_layers = [](render::RenderAssets&, Random&) { return std::make_unique<render::SceneLayers>(); };
  std::string error;
  auto run = headless::LoopRun::Create(setup, &error);
  if (!run) {
    state.SkipWithError(error.c_str());
    return;
  }
  auto path = WriteLoop(effects);
  if (Status err = run->Load(path)) {
    state.SkipWithError(err->ToString().c_str());
    return;
  }
  std::filesystem::remove(path);
  run->scene().trail_rate = 0.0f;
  const double cpu_start = ProcessCpuSeconds();
  for (auto _ : state) {
    run->DrawNextFrame();
    glFinish();  // count the GPU-side work, not just the command submission
  }
  state.counters["fps"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  state.counters["cpu_ms"] = (ProcessCpuSeconds() - cpu_start) * 1000.0 / static_cast<double>(state.iterations());
  state.SetLabel(run->context().Description());
}

void BM_RenderAllSwitchesOff(benchmark::State& state) { RenderLoop(state, false); }
void BM_RenderTrailCapturesEchoes(benchmark::State& state) { RenderLoop(state, true); }

BENCHMARK(BM_RenderAllSwitchesOff)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);
BENCHMARK(BM_RenderTrailCapturesEchoes)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);

}  // namespace

BENCHMARK_MAIN();
