// vantaloop-cli export with several loops or presets: runs, lists or shards the jobs of a batch,
// each job done exactly as the single export LOOP OUT --preset N does it.
#pragma once
#include <functional>
#include <string>
#include <vector>

namespace vl::cli {

struct ExportBatchOptions {
  std::vector<std::string> loops;
  bool all = false;  // the library's loops too
  std::vector<int> presets;
  std::string format;  // as given to --format; empty for each preset's own
  std::string out_dir, pattern, shard;
  bool list = false;
  int loops_recorded = 1;
  bool preroll = true;
  // The options every job shares, as they are written on a single export's command line.
  std::vector<std::string> job_args;
};

// Runs one export as the single-job command line does; returns its exit code, and why it failed
// in *why.
using ExportOneJob = std::function<int(const std::string& loop, const std::string& out, int preset, std::string* why)>;

// The exit code: 0 when every job is done or was already, 1 when any failed or the batch was
// interrupted, 2 for a command line that cannot make a batch.
int RunExportBatch(const ExportBatchOptions& options, const ExportOneJob& run_one);

}  // namespace vl::cli
