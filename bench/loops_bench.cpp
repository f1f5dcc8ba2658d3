// Plays every bundled loop headless at 720 x 576 in each render mode and prints frames per second
// for the reference path, exact and fast, and the speed-ups over the reference, in one run.
//   build/bench/loops_bench [--frames N] [--first F] [--size WxH] [--only reference|exact|fast] [LOOP.lqf ...]
// Frames are drawn back to back on virtual time after two warm-up frames (which build the
// programs); a frame counts until its pixels are finished (glFinish), as a player would show it.
#include <GL/gl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "engine/asset_paths.h"
#include "engine/sequence_loader.h"
#include "platform/headless/loop_run.h"
#include "render/offline_player.h"
#include "render/player_layers.h"

namespace fs = std::filesystem;
using vl::render::RenderMode;

namespace {

double CpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

struct Speed {
  double fps = 0;
  double cpu_ms = 0;  // processor time per frame, all threads (the rasteriser's included)
};

Speed Measure(const fs::path& loop, int width, int height, int first, int frames, RenderMode mode) {
  vl::headless::LoopRunSetup setup;
  setup.width = width;
  setup.height = height;
  setup.mode = mode;
  setup.prepare_assets = [](vl::render::RenderAssets& assets) { assets.set_quiet(true); };
  std::string error;
  auto run = vl::headless::LoopRun::Create(setup, &error);
  if (!run) {
    std::fprintf(stderr, "loops_bench: %s\n", error.c_str());
    std::exit(1);
  }
  vl::render::OfflinePlayer& player = run->player();
  if (vl::Status err = run->Load(loop)) {
    std::fprintf(stderr, "loops_bench: %s\n", err->ToString().c_str());
    return {};
  }
  player.Seek(first);
  for (int i = 0; i < 2; ++i) player.DrawNextFrame();
  glFinish();
  const auto start = std::chrono::steady_clock::now();
  const double cpu_start = CpuSeconds();
  for (int i = 0; i < frames; ++i) {
    player.DrawNextFrame();
    glFinish();
  }
  const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  Speed speed;
  speed.fps = s > 0 ? frames / s : 0;
  speed.cpu_ms = (CpuSeconds() - cpu_start) * 1000.0 / frames;
  return speed;
}

std::string LoadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string a, b, c;
  in >> a >> b >> c;
  return a + " " + b + " " + c;
}

}  // namespace

int main(int argc, char** argv) {
  int frames = 12, first = 10, width = 720, height = 576;
  std::vector<fs::path> loops;
  std::string only;  // one mode alone (for profiling); the others print 0
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--frames" && i + 1 < argc) {
      frames = std::max(1, std::atoi(argv[++i]));
    } else if (a == "--first" && i + 1 < argc) {
      first = std::max(0, std::atoi(argv[++i]));
    } else if (a == "--size" && i + 1 < argc) {
      if (std::sscanf(argv[++i], "%dx%d", &width, &height) != 2 || width < 16 || height < 16) {
        std::fprintf(stderr, "loops_bench: --size wants WxH\n");
        return 2;
      }
    } else if (a == "--only" && i + 1 < argc) {
      only = argv[++i];
      if (only != "reference" && only != "exact" && only != "fast") {
        std::fprintf(stderr, "loops_bench: --only wants reference, exact or fast\n");
        return 2;
      }
    } else if (a.rfind("--", 0) == 0) {
      std::fprintf(stderr, "usage: loops_bench [--frames N] [--first F] [--size WxH] [--only MODE] [LOOP.lqf ...]\n");
      return 2;
    } else {
      loops.push_back(fs::absolute(a));
    }
  }
  vl::SetProgramFolder(VL_BIN_DIR);
  if (loops.empty()) {
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(fs::path(VL_BIN_DIR) / "Sequences", ec))
      if (e.path().extension() == ".lqf") loops.push_back(e.path());
    std::sort(loops.begin(), loops.end());
  }
  if (loops.empty()) {
    std::fprintf(stderr, "loops_bench: no loops (build the loop library first)\n");
    return 1;
  }
  std::printf("%d frames from frame %d at %dx%d, load average %s\n", frames, first, width, height,
              LoadAverage().c_str());
  std::printf("frames per second (wall clock), then processor ms per frame (all threads)\n");
  std::printf("%-18s %9s %7s %7s %8s %7s | %9s %7s %7s\n", "loop", "reference", "exact", "fast", "exact x", "fast x",
              "ref cpu", "exact", "fast");
  for (const fs::path& loop : loops) {
    auto run = [&](RenderMode mode) {
      return only.empty() || only == vl::render::RenderModeName(mode)
                 ? Measure(loop, width, height, first, frames, mode)
                 : Speed{};
    };
    const Speed ref = run(RenderMode::kReference);
    const Speed exact = run(RenderMode::kExact);
    const Speed fast = run(RenderMode::kFast);
    std::printf("%-18s %9.1f %7.1f %7.1f %8.2f %7.2f | %9.1f %7.1f %7.1f\n", loop.filename().string().c_str(), ref.fps,
                exact.fps, fast.fps, ref.fps > 0 ? exact.fps / ref.fps : 0, ref.fps > 0 ? fast.fps / ref.fps : 0,
                ref.cpu_ms, exact.cpu_ms, fast.cpu_ms);
    std::fflush(stdout);
  }
  std::printf("load average at the end %s\n", LoadAverage().c_str());
  return 0;
}
