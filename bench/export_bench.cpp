// Export speed: for each bundled loop and each export preset in its own format, exact and fast,
// the wall time of an export as a multiple of the loop's duration (below 1: faster than real
// time), and the shares of it spent encoding and in the preroll. Each export records the first N
// frames (--frames N, default 30) after a preroll of as many, and the multiple is scaled to the
// loop's full length (preroll and recording both cover the whole loop in a real export). --frames
// 0 exports the whole loop with its whole preroll (as many cycles as its particles need): the
// figures an export of it takes, e.g. for the HD presets: --frames 0 --benchmark_filter='/1[56]/'.
// cpu_x_realtime is the same in CPU seconds of all threads, which a busy machine does not
// inflate. At the end a table gives both figures per loop and preset, exact beside fast.
//
//   build/bench/export_bench [--frames N] [--fast | --exact] [--benchmark_filter=default/16/]
#include <benchmark/benchmark.h>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "engine/asset_paths.h"
#include "platform/export/loop_export.h"

namespace {

namespace fs = std::filesystem;
using namespace vl;

int g_frames = 30;
bool g_run_exact = true, g_run_fast = true;

// x_realtime and cpu_x_realtime of each export run, by loop, preset and mode (fast or not).
struct Figures {
  double wall = 0, cpu = 0;
};
std::map<std::tuple<std::string, int, bool>, Figures> g_figures;

// CPU seconds of the whole process (every thread, llvmpipe's included): unlike the wall time it
// does not grow when other programs share the machine.
double ProcessCpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

fs::path ScratchFolder() {
  static const fs::path dir = fs::temp_directory_path() / ("vl_export_bench_" + std::to_string(::getpid()));
  fs::create_directories(dir);
  return dir;
}

void ExportPreset(benchmark::State& state, const fs::path& loop, int preset, bool fast) {
  const exporting::PresetFormat& p = *exporting::PresetFormatOf(preset);
  for (auto _ : state) {
    exporting::ExportRequest request;
    request.loop_path = loop.string();
    request.out_path = (ScratchFolder() / (std::string("bench") + p.extension)).string();
    request.preset = preset;
    request.frame_limit = g_frames;
    request.fast = fast;
    exporting::ExportObserver observer;
    observer.warning = [](const std::string&) {};
    const double cpu_before = ProcessCpuSeconds();
    const exporting::ExportResult r = exporting::ExportLoop(request, observer);
    const double cpu = ProcessCpuSeconds() - cpu_before;
    if (!r.ok) {
      state.SkipWithError(r.error.c_str());
      return;
    }
    state.SetIterationTime(r.total_s);
    // Per frame of the loop: the preroll draws one, the recording draws, reads and encodes one.
    // A whole export: its wall time against the loop's length.
    const double per_frame =
        g_frames == 0 ? r.total_s / r.frames_written : (r.preroll_s + r.render_s + r.encode_s) / r.frames_written;
    state.counters["x_realtime"] = per_frame * r.fps;
    // The same as CPU time: what it takes on an otherwise idle machine with one core to spare.
    state.counters["cpu_x_realtime"] = cpu / r.frames_written * r.fps;
    g_figures[{loop.stem().string(), preset, fast}] = {per_frame * r.fps, cpu / r.frames_written * r.fps};
    state.counters["encode_%"] = 100.0 * r.encode_s / (r.preroll_s + r.render_s + r.encode_s);
    state.counters["preroll_%"] = 100.0 * r.preroll_s / (r.preroll_s + r.render_s + r.encode_s);
    state.counters["loop_s"] = static_cast<double>(r.loop_frames) / r.fps;
    state.counters["preroll_cycles"] = r.preroll_cycles;
    state.SetLabel(std::string(p.name) + " " + std::to_string(p.width) + "x" + std::to_string(p.height) + " " +
                   r.encoder + (fast ? " fast" : " exact"));
  }
}

// Exact beside fast for every loop and preset that ran, with the load the figures were taken under.
void PrintTable() {
  if (g_figures.empty()) return;
  double load[3] = {0, 0, 0};
  if (FILE* f = std::fopen("/proc/loadavg", "r")) {
    if (std::fscanf(f, "%lf %lf %lf", &load[0], &load[1], &load[2]) != 3) load[0] = load[1] = load[2] = 0;
    std::fclose(f);
  }
  std::printf("\nx real time (wall / CPU of all threads), load average %.2f %.2f %.2f\n", load[0], load[1], load[2]);
  std::printf("%-14s %6s %16s %16s\n", "loop", "preset", "exact", "fast");
  std::map<std::pair<std::string, int>, std::pair<const Figures*, const Figures*>> rows;
  for (const auto& [key, figures] : g_figures) {
    auto& row = rows[{std::get<0>(key), std::get<1>(key)}];
    (std::get<2>(key) ? row.second : row.first) = &figures;
  }
  auto cell = [](const Figures* f) {
    char text[32] = "-";
    if (f) std::snprintf(text, sizeof text, "%.2f / %.2f", f->wall, f->cpu);
    return std::string(text);
  };
  for (const auto& [key, row] : rows)
    std::printf("%-14s %6d %16s %16s\n", key.first.c_str(), key.second, cell(row.first).c_str(),
                cell(row.second).c_str());
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<char*> rest;
  for (int i = 0; i < argc; ++i) {
    if (std::strcmp(argv[i], "--frames") == 0 && i + 1 < argc) {
      g_frames = std::max(0, std::atoi(argv[++i]));
      continue;
    }
    if (std::strcmp(argv[i], "--fast") == 0 || std::strcmp(argv[i], "--exact") == 0) {
      g_run_exact = argv[i][2] == 'e';
      g_run_fast = !g_run_exact;
      continue;
    }
    rest.push_back(argv[i]);
  }
  SetProgramFolder(VL_BIN_DIR);
  std::vector<fs::path> loops;
  for (const auto& e : fs::directory_iterator(fs::path(VL_BIN_DIR) / "Sequences"))
    if (e.path().extension() == ".lqf") loops.push_back(e.path());
  std::sort(loops.begin(), loops.end());
  for (const fs::path& loop : loops)
    for (int preset = 0; preset < exporting::kPresetCount; ++preset)
      for (const bool fast : {false, true}) {
        if (!(fast ? g_run_fast : g_run_exact)) continue;
        const std::string name = loop.stem().string() + "/" + std::to_string(preset) + (fast ? "/fast" : "/exact");
        benchmark::RegisterBenchmark(name.c_str(),
                                     [loop, preset, fast](benchmark::State& s) { ExportPreset(s, loop, preset, fast); })
            ->Iterations(1)
            ->UseManualTime()
            ->Unit(benchmark::kSecond);
      }
  int count = static_cast<int>(rest.size());
  benchmark::Initialize(&count, rest.data());
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  PrintTable();
  fs::remove_all(ScratchFolder());
  return 0;
}
