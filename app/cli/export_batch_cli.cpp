#include "app/cli/export_batch_cli.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <system_error>

#include "app/cli/command.h"
#include "engine/asset_paths.h"
#include "engine/load_error.h"
#include "platform/export/export_batch.h"

namespace vl::cli {
namespace {

namespace fs = std::filesystem;
namespace ex = vl::exporting;
constexpr const char* kName = "export";

// The user's own loops, where the desktop program lists them.
fs::path UserSequences() {
  const fs::path data = UserDataFolder();
  return data.empty() ? fs::path() : data / "Sequences";
}

// The program as another process on this machine, or one with the same files, starts it.
std::string ThisProgram() {
  std::error_code ec;
  const fs::path self = fs::read_symlink("/proc/self/exe", ec);
  return ec ? std::string("vantaloop-cli") : self.string();
}

std::string Describe(const ex::BatchJob& job) {
  return fs::path(job.loop).filename().string() + " at preset " + std::to_string(job.preset);
}

int ListJobs(const std::vector<ex::BatchJob>& jobs, const ExportBatchOptions& o) {
  // Every job names its library and files in full, so it runs the same from any folder and over ssh.
  std::error_code ec;
  const fs::path library = fs::absolute(ProgramFolder(), ec).lexically_normal();
  const std::string head =
      ex::ShellQuote(ThisProgram()) + " --library " + ex::ShellQuote(library.string()) + " " + kName;
  std::string tail;
  for (const std::string& arg : o.job_args) tail += " " + ex::ShellQuote(arg);
  int done = 0, unlisted = 0;
  for (const ex::BatchJob& job : jobs) {
    if (ex::OutputDone(job)) {
      ++done;
      continue;
    }
    // One job a line: a name with a line break (or any control character) cannot be one.
    if (ex::HasControlCharacter(job.loop) || ex::HasControlCharacter(job.out)) {
      std::fprintf(stderr, "vantaloop-cli: export: %s: cannot be listed: its name holds control characters\n",
                   EscapeControl(job.loop).c_str());
      ++unlisted;
      continue;
    }
    std::printf("%s %s %s --preset %d%s\n", head.c_str(), ex::ShellQuote(job.loop).c_str(),
                ex::ShellQuote(job.out).c_str(), job.preset, tail.c_str());
  }
  if (done > 0) std::fprintf(stderr, "export: %d of %zu jobs are done already and not listed\n", done, jobs.size());
  return unlisted > 0 ? 1 : 0;
}

}  // namespace

int RunExportBatch(const ExportBatchOptions& o, const ExportOneJob& run_one) {
  ex::BatchRequest request;
  request.loops = o.loops;
  request.presets = o.presets;
  request.out_dir = o.out_dir;
  request.pattern = o.pattern;
  request.loops_recorded = o.loops_recorded;
  request.preroll = o.preroll;
  if (!o.format.empty()) {
    const auto format = ex::ParseExportFormat(o.format);
    if (!format) return UsageError(kName, "--format: no format is called " + o.format + " (see --help)");
    request.format = *format;
  }
  std::string why;
  std::optional<ex::Shard> shard;
  if (!o.shard.empty() && !(shard = ex::ParseShard(o.shard, &why))) return UsageError(kName, why);
  if (o.all) {
    const fs::path bundled = ProgramFolder() / "Sequences";
    const auto library = ex::LoopsInFolders({bundled, UserSequences()});
    if (library.empty()) return Fail(kName, "--all: the library " + bundled.string() + " has no loops");
    request.loops.insert(request.loops.end(), library.begin(), library.end());
  }
  const auto planned = ex::PlanBatch(request, &why);
  if (!planned) return UsageError(kName, why);
  const std::vector<ex::BatchJob> jobs = shard ? ex::ShardJobs(*planned, *shard) : *planned;

  std::error_code ec;
  fs::create_directories(o.out_dir, ec);
  if (!fs::is_directory(o.out_dir)) return Fail(kName, o.out_dir + ": cannot make the output folder: " + ec.message());
  if (o.list) return ListJobs(jobs, o);

  const std::atomic<bool>& interrupted = CatchInterrupts();
  int done = 0, skipped = 0, not_started = 0;
  std::vector<std::string> failures;
  for (size_t i = 0; i < jobs.size(); ++i) {
    const ex::BatchJob& job = jobs[i];
    if (interrupted) {
      not_started = static_cast<int>(jobs.size() - i);
      break;
    }
    if (ex::OutputDone(job)) {
      ++skipped;
      std::printf("%s: there already, skipped\n", EscapeControl(job.out).c_str());
      continue;
    }
    std::fprintf(stderr, "export: job %zu of %zu: %s\n", i + 1, jobs.size(), EscapeControl(Describe(job)).c_str());
    std::fflush(stdout);
    std::string job_why;
    if (run_one(job.loop, job.out, job.preset, &job_why) == 0) {
      ++done;
    } else if (interrupted) {
      not_started = static_cast<int>(jobs.size() - i);
      break;
    } else {
      failures.push_back(job.out + " (" + Describe(job) + "): " + job_why);
    }
  }
  std::printf("export: %d done, %d skipped (there already), %zu failed", done, skipped, failures.size());
  if (shard) std::printf(" in shard %d/%d", shard->index, shard->count);
  if (not_started > 0) std::printf("; interrupted, %d not finished", not_started);
  std::printf("\n");
  for (const std::string& failure : failures) std::printf("  failed: %s\n", EscapeControl(failure).c_str());
  return failures.empty() && not_started == 0 ? 0 : 1;
}

}  // namespace vl::cli
