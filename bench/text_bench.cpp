// The outline text: building the 256 glyph lists (done on every load), its parts (face matching,
// outlines and tessellation), and drawing a 40-character text per frame on the headless context.
#include <GL/gl.h>
#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <string>

#include "engine/scene_state.h"
#include "platform/headless/headless_context.h"
#include "render/glyph_lists.h"
#include "render/text_layer.h"
#include "render/view_setup.h"

namespace {

using namespace vl::render;
using vl::engine::SceneState;

constexpr int kWidth = 640, kHeight = 480;

vl::headless::HeadlessContext* Context() {
  static std::unique_ptr<vl::headless::HeadlessContext> gl = [] {
    std::string error;
    auto c = vl::headless::HeadlessContext::Create(kWidth, kHeight, &error);
    if (!c) std::fprintf(stderr, "no headless GL context: %s\n", error.c_str());
    return c;
  }();
  return gl.get();
}

SceneState& Scene() {
  static std::unique_ptr<SceneState> scene = std::make_unique<SceneState>();
  return *scene;
}

void BM_FindFont(benchmark::State& state) {
  const FontRequest request{"Arial Black", 0, false};
  for (auto _ : state) benchmark::DoNotOptimize(FindFontCandidates(request));
}
BENCHMARK(BM_FindFont)->Unit(benchmark::kMillisecond);

// Outlines and fills of codes 0..254 without GL.
void BM_Shapes255(benchmark::State& state) {
  auto candidates = FindFontCandidates({"Arial Black", 0, false});
  if (candidates.empty()) return state.SkipWithError("no outline font");
  auto font = OutlineFont::Open(candidates.front());
  if (!font) return state.SkipWithError(font.error().ToString().c_str());
  size_t triangles = 0;
  for (auto _ : state) {
    triangles = 0;
    for (int c = 0; c < kConvertedGlyphs; ++c) triangles += font->Shape(static_cast<uint8_t>(c)).triangles.size() / 3;
  }
  state.counters["triangles"] = static_cast<double>(triangles);
}
BENCHMARK(BM_Shapes255)->Unit(benchmark::kMillisecond);

// The whole rebuild a load triggers: match, open, outline, fill and compile 256 lists.
void BM_BuildGlyphLists(benchmark::State& state) {
  if (!Context()) return state.SkipWithError("no GL context");
  SceneState& scene = Scene();
  scene.settings.text_wireframe = state.range(0) ? 2.0f : 0.0f;
  TextLayer text;
  for (auto _ : state) {
    text.BuildGlyphLists(scene);
    glFinish();
  }
  text.DeleteGlyphLists();
  scene.settings.text_wireframe = 0.0f;
}
BENCHMARK(BM_BuildGlyphLists)->Arg(0)->Arg(1)->ArgName("wireframe")->Unit(benchmark::kMillisecond);

// One frame's text pass for a 40-character line (style 2; range(1) turns per-character rotation
// on), finished on the software rasteriser so the figure is the whole cost.
void BM_DrawText40(benchmark::State& state) {
  if (!Context()) return state.SkipWithError("no GL context");
  SceneState& scene = Scene();
  scene.settings.text_wireframe = state.range(0) ? 2.0f : 0.0f;
  TextLayer text;
  text.BuildGlyphLists(scene);
  ApplyViewSize(scene, kWidth, kHeight);
  scene.settings.text_string = "The quick brown fox jumps over the lazy!";  // 40 characters
  scene.settings.text_on = 2.0f;
  scene.settings.text_style = 2.0f;
  scene.work.text_pos_z = -600.0f;
  scene.work.char_rot_x = state.range(1) ? 90.0f : 0.0f;
  scene.work.char_rot_y = state.range(1) ? 15.0f : 0.0f;
  glEnable(GL_DEPTH_TEST);
  for (auto _ : state) {
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    glLoadIdentity();
    text.DrawTextPass(scene);
    glFinish();
  }
  text.DeleteGlyphLists();
  scene.settings.text_wireframe = 0.0f;
}
BENCHMARK(BM_DrawText40)
    ->Args({0, 0})
    ->Args({0, 1})
    ->Args({1, 0})
    ->ArgNames({"wireframe", "tumbling"})
    ->Unit(benchmark::kMillisecond);

// The same frame without the text, so the text's share can be read off.
void BM_ClearOnly(benchmark::State& state) {
  if (!Context()) return state.SkipWithError("no GL context");
  for (auto _ : state) {
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    glFinish();
  }
}
BENCHMARK(BM_ClearOnly)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
