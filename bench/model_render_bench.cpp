// Model pass speed at 720 x 576 on the software GL: whole frames with three models (a 48,000-face
// asteroid and two copies of the bundled cabinet, lit, textured, chrome) with and without their
// glow captures and echoes, each with the geometry sent as vertex arrays and in immediate mode;
// and the large mesh alone both ways. The asteroid comes from glmark2-data, which
// scripts/fetch-test-data unpacks under build/test-data.
#include <benchmark/benchmark.h>

#include <GL/gl.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>

#include "engine/asset_paths.h"
#include "engine/sequence_loader.h"
#include "engine/sequence_writer.h"
#include "platform/headless/loop_run.h"
#include "render/model_layer.h"
#include "render/offline_player.h"
#include "render/view_setup.h"

namespace {

using namespace vl;
using engine::Track;

constexpr int kW = 720, kH = 576;

std::filesystem::path AsteroidFile() {
  return std::filesystem::path(VL_BIN_DIR) / ".." / "test-data" / "glmark2-data" / "usr" / "share" / "glmark2" /
         "models" / "asteroid-high.3ds";
}

class ModelLayers : public render::SceneLayers {
 public:
  explicit ModelLayers(const std::array<Model, 3>& models) : pass(models) {}
  void DrawModel(engine::SceneState& s, int slot) override { pass.DrawMainFrameBlock(s, slot); }
  void DrawModelGlow(engine::SceneState& s, int slot) override { pass.DrawGlowPass(s, slot); }
  void DrawGlowScene(engine::SceneState& s, render::GlowVariant v) override { pass.DrawGlowSceneModel1(s, v); }
  render::ModelLayer pass;
};

// Three cabinets, turning over 500 frames; slot 1 is swapped for the asteroid after the load.
std::filesystem::path WriteLoop(bool glow) {
  auto scene = std::make_unique<engine::SceneState>();
  engine::ResetToLoadDefaults(*scene);
  scene->keyframe_count = 1;
  (*scene->keyframe_frame)[0] = 0;
  (*scene->keyframe_frame)[1] = 500;
  auto& s = scene->settings;
  s.fx_text = s.text_on = 0;
  s.model_1_on = s.model_2_on = s.model_3_on = 2.0f;
  s.model_1_load = s.model_2_load = s.model_3_load = 2.0f;
  s.model_1_file_name = s.model_2_file_name = s.model_3_file_name = "model/Tardis.3ds";
  s.model_1_texture_name = s.model_2_texture_name = s.model_3_texture_name = "Textures/TardisImages3.jpg";
  s.model_1_chrome = s.model_2_chrome = s.model_3_chrome = 2.0f;
  s.model_3_sphere_map = 2.0f;
  if (glow) {
    s.fx_model_1 = s.fx_model_2 = s.fx_model_3 = 2.0f;
    s.echo_model_1_on = s.echo_model_2_on = s.echo_model_3_on = 2.0f;
  }
  auto hold = [&](Track t, float v0, float v1) {
    scene->track(t).initial_value = v0;
    scene->track(t).key_values[0] = v0;
    scene->track(t).key_values[500] = v1;
  };
  for (Track t : {Track::model_1_scale_x, Track::model_1_scale_y, Track::model_1_scale_z}) hold(t, 400, 400);
  for (Track t : {Track::model_2_scale_x, Track::model_2_scale_y, Track::model_2_scale_z, Track::model_3_scale_x,
                  Track::model_3_scale_y, Track::model_3_scale_z})
    hold(t, 150, 150);
  hold(Track::model_1_rot_y, 0, 360);
  hold(Track::model_2_rot_y, 0, -360);
  hold(Track::model_3_rot_y, 0, 360);
  hold(Track::model_2_x, 13, 13);
  hold(Track::model_3_x, -13, -13);
  for (Track t : {Track::model_1_z, Track::model_2_z, Track::model_3_z}) hold(t, -40, -40);
  for (Track t : {Track::model_1_alpha, Track::model_2_alpha, Track::model_3_alpha, Track::model_1_r, Track::model_1_g,
                  Track::model_1_b, Track::model_2_r, Track::model_2_g, Track::model_2_b, Track::model_3_r,
                  Track::model_3_g, Track::model_3_b})
    hold(t, 255, 255);
  for (Track t : {Track::model_1_light_z, Track::model_2_light_z, Track::model_3_light_z}) hold(t, 4000, 4000);
  auto path = std::filesystem::temp_directory_path() /
              ("vl_model_bench_" + std::to_string(::getpid()) + (glow ? "_glow.lqf" : "_plain.lqf"));
  engine::WriteSequenceFile(*scene, path);
  return path;
}

void ThreeModels(benchmark::State& state, bool glow, render::MeshSubmission how) {
  SetProgramFolder(VL_BIN_DIR);
  headless::LoopRunSetup setup;
  setup.width = kW;
  setup.height = kH;
  setup.prepare_assets = [](render::RenderAssets& assets) { assets.set_quiet(true); };
  setup.make_layers = [how](render::RenderAssets& assets, Random&) {
    auto layers = std::make_unique<ModelLayers>(assets.models());
    layers->pass.set_submission(how);
    return layers;
  };
  std::string error;
  auto run = headless::LoopRun::Create(setup, &error);
  if (!run) {
    state.SkipWithError(error.c_str());
    return;
  }
  render::RenderAssets& assets = run->assets();
  render::OfflinePlayer& player = run->player();
  const auto path = WriteLoop(glow);
  const Status err = run->Load(path);
  std::filesystem::remove(path);
  if (err) {
    state.SkipWithError(err->ToString().c_str());
    return;
  }
  auto asteroid = Import3ds(AsteroidFile(), assets.models()[0]);
  if (!asteroid) {
    state.SkipWithError((asteroid.error().ToString() + " (run scripts/fetch-test-data)").c_str());
    return;
  }
  int64_t triangles = 0;
  for (const auto& m : assets.models())
    for (const auto& o : m.objects) triangles += o.face_count;
  for (auto _ : state) {
    player.DrawNextFrame();
    glFinish();  // count the rasterising, not just the submission
  }
  state.counters["fps"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  state.counters["triangles"] = static_cast<double>(triangles);
  state.SetLabel(run->context().Description());
}

// The asteroid alone, lit and chrome: mostly the cost of sending 2 x 48,000 triangles.
void LargeMesh(benchmark::State& state, render::MeshSubmission how) {
  std::string error;
  auto gl = headless::HeadlessContext::Create(kW, kH, &error);
  if (!gl) {
    state.SkipWithError(error.c_str());
    return;
  }
  auto scene = std::make_unique<engine::SceneState>();
  engine::ResetToLoadDefaults(*scene);
  render::ApplyViewSize(*scene, kW, kH);
  scene->settings.model_1_chrome = 2.0f;
  scene->work.model_1_scale_x = scene->work.model_1_scale_y = scene->work.model_1_scale_z = 400.0f;
  std::array<Model, 3> models;
  auto asteroid = Import3ds(AsteroidFile(), models[0]);
  if (!asteroid) {
    state.SkipWithError((asteroid.error().ToString() + " (run scripts/fetch-test-data)").c_str());
    return;
  }
  render::ModelLayer layer(models);
  layer.set_submission(how);
  glEnable(GL_NORMALIZE);
  for (auto _ : state) {
    scene->work.model_1_rot_y += 1.0f;
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    layer.DrawMainFrameBlock(*scene, 1);
    glFinish();
  }
  state.counters["fps"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

using render::MeshSubmission;
void BM_ThreeModels_Arrays(benchmark::State& s) { ThreeModels(s, false, MeshSubmission::kVertexArrays); }
void BM_ThreeModels_Immediate(benchmark::State& s) { ThreeModels(s, false, MeshSubmission::kImmediate); }
void BM_ThreeModelsGlowEchoes_Arrays(benchmark::State& s) { ThreeModels(s, true, MeshSubmission::kVertexArrays); }
void BM_ThreeModelsGlowEchoes_Immediate(benchmark::State& s) { ThreeModels(s, true, MeshSubmission::kImmediate); }
void BM_LargeMesh_Arrays(benchmark::State& s) { LargeMesh(s, MeshSubmission::kVertexArrays); }
void BM_LargeMesh_Immediate(benchmark::State& s) { LargeMesh(s, MeshSubmission::kImmediate); }

BENCHMARK(BM_ThreeModels_Arrays)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);
BENCHMARK(BM_ThreeModels_Immediate)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);
BENCHMARK(BM_ThreeModelsGlowEchoes_Arrays)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);
BENCHMARK(BM_ThreeModelsGlowEchoes_Immediate)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);
BENCHMARK(BM_LargeMesh_Arrays)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);
BENCHMARK(BM_LargeMesh_Immediate)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);

}  // namespace
BENCHMARK_MAIN();
