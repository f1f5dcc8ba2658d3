// Where an exported frame's time goes, in CPU seconds of the whole process (llvmpipe's threads
// included, so a busy machine does not inflate it): for each loop at an export size, a frame
// drawn whole in each mode, the same with its echoes left undrawn (the difference is what the
// echoes cost), the preroll's picture-unseen frame, single layers and the glow left out, and the
// read-back of a frame into a fresh picture. Loops by absolute path (a name the loader cannot
// find plays the default loop).
//
//   build/bench/frame_parts_bench [--size WxH] [--frames N] [--only PART] [LOOP.lqf ...]
#include <sys/resource.h>

#include <GL/gl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/asset_paths.h"
#include "platform/headless/loop_run.h"

namespace {

namespace fs = std::filesystem;
using vl::render::RenderMode;

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

struct Part {
  const char* name;
  RenderMode mode;
  bool echoes_unseen, picture_unseen;
  void (*tweak)(vl::engine::SceneState&) = nullptr;
};

// Milliseconds of CPU per frame for `frames` frames from frame 10.
// `read_ms`, when given: the same for reading the frame into a fresh picture.
double Measure(const fs::path& loop, int w, int h, int frames, const Part& part, double* read_ms = nullptr) {
  vl::headless::LoopRunSetup setup;
  setup.width = w;
  setup.height = h;
  setup.mode = part.mode;
  setup.prepare_assets = [](vl::render::RenderAssets& a) { a.set_quiet(true); };
  std::string error;
  auto run = vl::headless::LoopRun::Create(setup, &error);
  if (!run || run->Load(loop)) return -1;
  if (part.tweak) part.tweak(run->scene());
  run->Seek(10);
  run->renderer().set_picture_unseen(part.picture_unseen);  // sets the echoes too
  if (part.echoes_unseen) run->renderer().set_echoes_unseen(true);
  run->DrawNextFrame();  // programs built, targets made
  run->ReadPixels();
  const double t0 = CpuSeconds();
  for (int k = 0; k < frames; ++k) {
    run->DrawNextFrame();
    glFinish();
  }
  const double drawn = (CpuSeconds() - t0) * 1000.0 / frames;
  if (read_ms) {
    const double t1 = CpuSeconds();
    for (int k = 0; k < frames; ++k) run->ReadPixels();
    *read_ms = (CpuSeconds() - t1) * 1000.0 / frames;
  }
  return drawn;
}

}  // namespace

int main(int argc, char** argv) {
  int w = 1280, h = 720, frames = 20;
  std::vector<fs::path> loops;
  std::string only;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--size") == 0 && i + 1 < argc) {
      std::sscanf(argv[++i], "%dx%d", &w, &h);
    } else if (std::strcmp(argv[i], "--only") == 0 && i + 1 < argc) {
      only = argv[++i];
    } else if (std::strcmp(argv[i], "--frames") == 0 && i + 1 < argc) {
      frames = std::max(1, std::atoi(argv[++i]));
    } else {
      loops.emplace_back(argv[i]);
    }
  }
  vl::SetProgramFolder(VL_BIN_DIR);
  if (loops.empty())
    for (const char* name : {"default", "embers", "model_trio", "tunnel"})
      loops.push_back(fs::path(VL_BIN_DIR) / "Sequences" / (std::string(name) + ".lqf"));
  const Part parts[] = {
      {"exact", RenderMode::kExact, false, false},
      {"fast", RenderMode::kFast, false, false},
      {"no echoes", RenderMode::kExact, true, false},
      {"preroll", RenderMode::kExact, true, true},
      {"no chrome", RenderMode::kExact, false, false, [](vl::engine::SceneState& s) { s.settings.text_chrome = 0; }},
      {"no text", RenderMode::kExact, false, false,
       [](vl::engine::SceneState& s) { s.settings.text_chrome = 0, s.settings.text_on = 0; }},
      {"no models", RenderMode::kExact, false, false,
       [](vl::engine::SceneState& s) { s.settings.model_1_on = s.settings.model_2_on = s.settings.model_3_on = 0; }},
      {"no glow", RenderMode::kExact, false, false,
       [](vl::engine::SceneState& s) {
         auto& t = s.settings;
         t.fx_text = t.fx_sprites = t.fx_particles = t.fx_vortex = t.fx_model_1 = t.fx_model_2 = t.fx_model_3 = 0;
         t.echo_model_1_on = t.echo_model_2_on = t.echo_model_3_on = t.scene_echo_on = 0;
       }},
  };
  std::printf("CPU ms per frame at %dx%d (%d frames)\n%-12s", w, h, frames, "loop");
  for (const Part& p : parts) std::printf(" %10s", p.name);
  std::printf(" %10s\n", "read");
  for (const fs::path& loop : loops) {
    std::printf("%-12s", loop.stem().c_str());
    double read_ms = -1;
    for (const Part& p : parts) {
      if (!only.empty() && only != p.name) continue;
      std::printf(" %10.1f", Measure(loop, w, h, frames, p, &p == parts ? &read_ms : nullptr));
    }
    std::printf(" %10.1f\n", read_ms);
    std::fflush(stdout);
  }
  return 0;
}
