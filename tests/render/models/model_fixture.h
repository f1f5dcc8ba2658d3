// Shared pieces of the model pass tests: scene layers that hold only the model pass, a loop run
// with them on virtual time, small meshes built in memory, and pixel helpers.
#pragma once
#include <gtest/gtest.h>

#include <GL/gl.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "assets/model_3ds.h"
#include "engine/asset_paths.h"
#include "platform/headless/loop_run.h"
#include "render/model_layer.h"
#include "render/offline_player.h"
#include "tests/render/gl_test_context.h"
#include "tests/render/loop_fixture.h"

namespace vl::test {

// The renderer's model slots forwarded to the model pass; every other layer draws nothing.
class ModelLayers : public render::SceneLayers {
 public:
  explicit ModelLayers(const std::array<Model, 3>& models) : pass(models) {}
  void DrawModel(engine::SceneState& s, int slot) override { pass.DrawMainFrameBlock(s, slot); }
  void DrawModelGlow(engine::SceneState& s, int slot) override { pass.DrawGlowPass(s, slot); }
  void DrawGlowScene(engine::SceneState& s, render::GlowVariant v) override { pass.DrawGlowSceneModel1(s, v); }
  render::ModelLayer pass;
};

// A loaded loop played with the model pass in its own headless context. Assets come from the
// build's program folder (default pictures, the bundled model). gl, scene, assets, layers and
// player point into the run.
struct ModelRun {
  std::unique_ptr<headless::LoopRun> run;
  headless::HeadlessContext* gl = nullptr;
  engine::SceneState* scene = nullptr;
  render::RenderAssets* assets = nullptr;
  ModelLayers* layers = nullptr;
  render::OfflinePlayer* player = nullptr;
  std::string reports;  // what the asset loads said

  bool Load(const std::filesystem::path& loop, int width, int height, std::string* error) {
    SetProgramFolder(VL_BIN_DIR);
    headless::LoopRunSetup setup;
    setup.width = width;
    setup.height = height;
    setup.prepare_assets = [this](render::RenderAssets& a) {
      a.set_reporter([this](const std::string& line) { reports += line + "\n"; });
    };
    setup.make_layers = [this](render::RenderAssets& a, Random&) {
      auto made = std::make_unique<ModelLayers>(a.models());
      layers = made.get();
      return made;
    };
    run = headless::LoopRun::Create(setup, error);
    if (!run) return false;
    gl = &run->context();
    scene = &run->scene();
    assets = &run->assets();
    player = &run->player();
    if (Status err = run->Load(loop)) {
      *error += err->ToString();
      return false;
    }
    return true;
  }
  headless::Image Frame() {
    player->DrawNextFrame();
    return gl->ReadPixels();
  }
};

#define VL_MODEL_RUN(var, loop, w, h) \
  ::vl::test::ModelRun var; \
  { \
    std::string var##_error; \
    if (!(var).Load((loop), (w), (h), &var##_error)) { \
      if (!(var).gl && !::vl::test::RunningInCi()) GTEST_SKIP() << var##_error; \
      FAIL() << var##_error; \
    } \
  }

// A loop of `frames` frames in which every track holds its load default (LoopBuilder's own
// holds, the model echo colours at 0, stay), so a test keys only what it changes.
inline LoopBuilder StillLoop(int frames) {
  LoopBuilder loop(frames);
  for (int i = 0; i < engine::kTrackCount; ++i) {
    const auto t = static_cast<engine::Track>(i);
    loop.Hold(t, engine::kTrackCatalogue[static_cast<size_t>(i)].load_default);
  }
  loop.Hold(engine::Track::model_1_echo_b, 0)
      .Hold(engine::Track::model_2_echo_r, 0)
      .Hold(engine::Track::model_3_echo_r, 0);
  return loop;
}

// A square of side 2 * half in the x-y plane facing +z, corners counter-clockwise from
// (-half, -half) with texture coordinates (0, 0), (1, 0), (1, 1), (0, 1); uv_count of them stored.
inline ModelObject Panel(float half, int32_t uv_count = 4) {
  ModelObject o;
  o.name = "panel";
  o.vertex_count = 4;
  o.face_count = 2;
  o.uv_count = uv_count;
  o.has_texture = true;
  o.vertices = {-half, -half, 0, half, -half, 0, half, half, 0, -half, half, 0};
  o.normals = {0, 0, 1, 0, 0, 1, 0, 0, 1, 0, 0, 1};
  const float uv[8] = {0, 0, 1, 0, 1, 1, 0, 1};
  o.uvs.assign(uv, uv + 2 * std::min(uv_count, 4));
  o.faces = {{0, 1, 2}, {0, 2, 3}};
  return o;
}

inline Model ModelOf(std::initializer_list<ModelObject> objects) {
  Model m;
  m.objects = objects;
  m.object_count = static_cast<int32_t>(m.objects.size());
  return m;
}

inline std::filesystem::path BundledModelFile() { return std::filesystem::path(VL_BIN_DIR) / "model" / "Tardis.3ds"; }

inline bool Near(const uint8_t* px, int r, int g, int b, int tol = 2) {
  return std::abs(px[0] - r) <= tol && std::abs(px[1] - g) <= tol && std::abs(px[2] - b) <= tol;
}

// Near, saying what the pixel was when it is not.
inline ::testing::AssertionResult PixelNear(const uint8_t* px, int r, int g, int b, int tol = 2) {
  if (Near(px, r, g, b, tol)) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "pixel (" << int(px[0]) << ", " << int(px[1]) << ", " << int(px[2])
                                       << "), expected (" << r << ", " << g << ", " << b << ") within " << tol;
}

inline int Brightness(const uint8_t* px) { return px[0] + px[1] + px[2]; }

// Pixels that differ from (r, g, b) by more than tol in any channel.
inline int CountNotNear(const headless::Image& img, int r, int g, int b, int tol = 2) {
  int n = 0;
  for (int y = 0; y < img.height; ++y)
    for (int x = 0; x < img.width; ++x) n += !Near(img.Pixel(x, y), r, g, b, tol);
  return n;
}

}  // namespace vl::test
