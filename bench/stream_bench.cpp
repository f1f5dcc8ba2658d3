// What streaming the shown picture costs: processor time of every thread per frame of the
// bundled default and fountain loops drawn with all their layers at 720 x 576 and read back (as
// the desktop does for the screen), then
// the same with each frame streamed to a UDP port on the loopback, by codec (and MPEG-2 at half the
// size, scaled by the sender, as a chosen stream size smaller than the window is). The stream should add
// at most 15%. Frames are drawn at 25 a second; the dropped count says whether the encoder kept up.
// On a busy machine the whole process's figure moves by more than the stream costs, so the stream's
// own share is counted apart too: the player thread's time in Deliver per frame (`deliver_ms`) and
// the time of the threads the sender started per frame they sent (`worker_ms`; a busy machine makes
// the worker drop frames, which would make a figure per frame shown look cheaper), together
// `stream_ms`, what each frame streamed costs. A table at the end puts each stream beside its
// loop drawn alone: the whole process's share added, and the stream's own time as a share.
//
//   build/bench/stream_bench [--benchmark_filter=default/]
#include <benchmark/benchmark.h>

#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "engine/random.h"
#include "engine/sequence_loader.h"
#include "platform/headless/loop_run.h"
#include "platform/stream/stream_sender.h"
#include "render/offline_player.h"

#include <GL/gl.h>

namespace {

using namespace vl;

constexpr int kW = 720, kH = 576, kFps = 25;

double ProcessCpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

double ThreadCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

// The process's threads, by id.
std::set<int> Threads() {
  std::set<int> ids;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task"))
    ids.insert(std::stoi(entry.path().filename()));
  return ids;
}

// Processor time of the given threads of this process so far (the scheduler's count, in ns).
double ThreadsCpuSeconds(const std::set<int>& ids) {
  double total = 0;
  for (int id : ids) {
    std::ifstream in("/proc/self/task/" + std::to_string(id) + "/schedstat");
    double ns = 0;
    if (in >> ns) total += ns * 1e-9;
  }
  return total;
}

// A bound UDP socket on the loopback that takes the stream (and lets the kernel discard it).
struct Sink {
  int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  int port = 0;
  Sink() {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) std::perror("stream_bench: bind");
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
  }
  ~Sink() { ::close(fd); }
};

// Per loop, per run ("DrawAndReadBack", "StreamH264", ...): what the table at the end shows.
struct Figures {
  double cpu_ms = 0, stream_ms = 0, dropped = 0;
};
std::map<std::string, std::map<std::string, Figures>> g_figures;
// By codec + 1, as Register names them.
constexpr const char* kRunNames[] = {"DrawAndReadBack", "StreamH264", "StreamMpeg2", "StreamMpeg2Half"};

// codec < 0: no stream; 0 H.264; 1 MPEG-2; 2 MPEG-2 at half the size drawn (scaled by the sender).
void DrawAndStream(benchmark::State& state, const char* name, int codec) {
  headless::LoopRunSetup setup;
  setup.width = kW;
  setup.height = kH;
  setup.fps = kFps;
  setup.prepare_assets = [](render::RenderAssets& assets) { assets.set_quiet(true); };
  std::string error;
  auto run = headless::LoopRun::Create(setup, &error);
  if (!run) return state.SkipWithError(error.c_str());
  const auto loop = std::filesystem::path(VL_BIN_DIR) / "Sequences" / (std::string(name) + ".lqf");
  if (Status err = run->Load(loop)) return state.SkipWithError(err->ToString().c_str());

  Sink sink;
  std::unique_ptr<stream::StreamSender> sender;
  const std::set<int> drawing_threads = Threads();
  if (codec >= 0) {
    stream::StreamOptions o;
    o.url = "udp://127.0.0.1:" + std::to_string(sink.port);
    o.fps = kFps;
    o.codec = codec == 0 ? stream::StreamCodec::kH264 : stream::StreamCodec::kMpeg2;
    if (codec == 2) o.width = kW / 2, o.height = kH / 2;
    sender = stream::StreamSender::Start(o, &error);
    if (!sender) return state.SkipWithError(error.c_str());
  }
  std::vector<uint8_t> rgba(size_t(kW) * kH * 4);
  for (int i = 0; i < 10; ++i) run->DrawNextFrame();  // the loop's assets and the encoder warm
  // Paced as a player is, a frame every 1/25 s: the encoder works while the player waits, as it
  // would, and nothing polls. The sender's ending is counted, so no frame's encoding is missed.
  int64_t frames = 0;
  std::set<int> stream_threads;
  for (int id : Threads())
    if (!drawing_threads.count(id)) stream_threads.insert(id);
  const double worker_before = ThreadsCpuSeconds(stream_threads);
  double deliver = 0;
  const double before = ProcessCpuSeconds();
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    run->DrawNextFrame();
    glReadPixels(0, 0, kW, kH, GL_RGBA, GL_UNSIGNED_BYTE, rgba.data());
    if (sender) {
      const double t = ThreadCpuSeconds();
      sender->Deliver({rgba.data(), kW, kH, kW * 4, frames, double(frames) / kFps});
      deliver += ThreadCpuSeconds() - t;
    }
    ++frames;
    std::this_thread::sleep_until(start + std::chrono::microseconds(frames * 1000000 / kFps));
  }
  // The worker's time is read while it runs (it ends with Stop); its ending is left out.
  const double worker = ThreadsCpuSeconds(stream_threads) - worker_before;
  const int64_t sent = sender ? sender->status().sent : 0;
  if (sender) sender->Stop();
  const double cpu = ProcessCpuSeconds() - before;
  const double per_frame = 1000.0 / double(std::max<int64_t>(frames, 1));
  state.counters["cpu_ms_per_frame"] = cpu * per_frame;
  if (sender) {
    state.counters["deliver_ms"] = deliver * per_frame;
    const double per_sent = 1000.0 / double(std::max<int64_t>(sent, 1));
    state.counters["worker_ms"] = worker * per_sent;
    state.counters["stream_ms"] = deliver * per_frame + worker * per_sent;
    const stream::StreamStatus s = sender->status();
    state.counters["dropped"] = double(s.dropped);
    if (!s.last_error.empty()) state.SetLabel(s.last_error);
    else state.SetLabel(s.codec);
  }
  g_figures[name][kRunNames[codec + 1]] = {cpu * per_frame, state.counters["stream_ms"], state.counters["dropped"]};
}

// Each stream beside its loop drawn alone: "+%" is the whole process's processor time added (moved
// by anything else the machine does), "own %" the stream's own threads' time against the frame.
void PrintTable() {
  std::printf("\n%-10s %-16s %9s %7s %10s %7s %8s\n", "loop", "run", "cpu ms", "+%", "stream ms", "own %", "dropped");
  for (const auto& [loop, runs] : g_figures) {
    const auto alone = runs.find("DrawAndReadBack");
    const double base = alone == runs.end() ? 0 : alone->second.cpu_ms;
    for (const auto& [run, f] : runs) {
      if (run == "DrawAndReadBack" || base <= 0) {
        std::printf("%-10s %-16s %9.2f\n", loop.c_str(), run.c_str(), f.cpu_ms);
        continue;
      }
      std::printf("%-10s %-16s %9.2f %+6.1f%% %10.2f %6.1f%% %8.0f\n", loop.c_str(), run.c_str(), f.cpu_ms,
                  100 * (f.cpu_ms / base - 1), f.stream_ms, 100 * f.stream_ms / base, f.dropped);
    }
  }
  double load[3] = {};
  if (getloadavg(load, 3) == 3) std::printf("load average %.2f %.2f %.2f\n", load[0], load[1], load[2]);
}

// Each loop drawn alone, then streamed with each codec; the share the stream adds is
// cpu_ms_per_frame against the first line of its loop.
void Register(const char* loop) {
  for (int codec = -1; codec <= 2; ++codec)
    benchmark::RegisterBenchmark((std::string(loop) + "/" + kRunNames[codec + 1]).c_str(), DrawAndStream, loop, codec)
        ->Unit(benchmark::kMillisecond)
        ->Iterations(250);
}

}  // namespace

int main(int argc, char** argv) {
  for (const char* loop : {"default", "fountain"}) Register(loop);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  PrintTable();
  benchmark::Shutdown();
}
