// Loops for the GL tests, built with the engine's writer and loaded the way vantaloop-cli render
// loads them, played on virtual time in a headless context.
#pragma once
#include <gtest/gtest.h>

#include <GL/gl.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include <unistd.h>

#include "engine/sequence_loader.h"
#include "engine/sequence_writer.h"
#include "platform/headless/loop_run.h"
#include "tests/render/gl_test_context.h"

namespace vl::test {

// A loop whose frames run 0 .. last_frame - 1, every track held at its value from `setup`.
class LoopBuilder {
 public:
  explicit LoopBuilder(int last_frame) : scene_(std::make_unique<engine::SceneState>()), last_(last_frame) {
    engine::ResetToLoadDefaults(*scene_);
    // Nothing on but what a test switches on.
    auto& s = scene_->settings;
    s.fx_text = s.fx_sprites = s.fx_particles = s.fx_vortex = 0;
    s.fx_model_1 = s.fx_model_2 = s.fx_model_3 = 0;
    s.text_on = s.trail_on = s.scene_echo_on = 0;
    Hold(engine::Track::model_1_echo_b, 0);
    Hold(engine::Track::model_2_echo_r, 0);
    Hold(engine::Track::model_3_echo_r, 0);
  }
  engine::SequenceSettings& settings() { return scene_->settings; }
  // Keeps a track at one value for the whole loop.
  LoopBuilder& Hold(engine::Track t, float value) {
    auto& track = scene_->track(t);
    track.initial_value = value;
    track.key_values[0] = value;
    track.key_values[last_] = value;
    return *this;
  }
  std::filesystem::path Write(const std::string& name) {
    scene_->keyframe_count = 1;
    (*scene_->keyframe_frame)[0] = 0;
    (*scene_->keyframe_frame)[1] = last_;
    auto dir = std::filesystem::temp_directory_path() / ("vl_render_test_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    auto path = dir / name;
    auto err = engine::WriteSequenceFile(*scene_, path);
    EXPECT_FALSE(err.has_value()) << (err ? err->ToString() : "");
    return path;
  }

 private:
  std::unique_ptr<engine::SceneState> scene_;
  int last_;
};

// A loaded loop in its own context with layers that draw nothing, ready to tick. gl, scene and
// player point into the run.
struct LoadedLoop {
  std::unique_ptr<headless::LoopRun> run;
  headless::HeadlessContext* gl = nullptr;
  engine::SceneState* scene = nullptr;
  render::OfflinePlayer* player = nullptr;

  bool Load(const std::filesystem::path& loop, int width, int height, std::string* error, int fps = 25) {
    headless::LoopRunSetup setup;
    setup.width = width;
    setup.height = height;
    setup.fps = fps;
    setup.prepare_assets = [](render::RenderAssets& a) { a.set_quiet(true); };
    setup.make_layers = [](render::RenderAssets&, Random&) { return std::make_unique<render::SceneLayers>(); };
    run = headless::LoopRun::Create(setup, error);
    if (!run) return false;
    gl = &run->context();
    scene = &run->scene();
    player = &run->player();
    if (Status err = run->Load(loop)) {
      *error = err->ToString();
      return false;
    }
    return true;
  }
};

// Loads `loop` or fails / skips the test (no context outside CI).
#define VL_LOAD_LOOP(var, loop, w, h) \
  ::vl::test::LoadedLoop var; \
  { \
    std::string var##_error; \
    if (!(var).Load((loop), (w), (h), &var##_error)) { \
      if (!(var).gl && !::vl::test::RunningInCi()) GTEST_SKIP() << var##_error; \
      FAIL() << var##_error; \
    } \
  }

}  // namespace vl::test
