// Exporting many loops at many presets: the jobs, their output names, which of them are already
// done, and how they split into shards of about equal work for job arrays and several machines.
// Every process that plans the same batch gets the same jobs in the same order and the same
// shards, so engines outside this program (GNU parallel, Slurm) can run them. No OpenGL.
#pragma once
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/export/loop_export.h"

namespace vl::exporting {

inline constexpr const char* kDefaultNamePattern = "{loop}_{preset}.{ext}";

struct BatchRequest {
  std::vector<std::string> loops;  // as given; duplicates (the same file) count once
  std::vector<int> presets;        // duplicates count once
  ExportFormat format = ExportFormat::kPresetOwn;
  std::string out_dir;
  std::string pattern = kDefaultNamePattern;
  int loops_recorded = 1;  // only for the cost estimate
  bool preroll = true;     // only for the cost estimate
};

struct BatchJob {
  std::string loop;  // absolute
  int preset = 0;
  std::string out;      // absolute, in out_dir
  bool folder = false;  // a PNG sequence
  // Estimated work: frames drawn x pixels. A loop that cannot be read costs 0; its job fails
  // when it runs, saying why.
  int64_t cost = 0;
  bool operator==(const BatchJob&) const = default;
};

// The output name of one job: `pattern` with {loop} (the loop's name without extension),
// {preset} (its number) and {ext} (the format's extension without the dot) filled in. A PNG
// sequence is a folder without extension: ".{ext}" is dropped with its dot. Nullopt with the
// reason for an unknown {token}, a '/' or a name that is empty, "." or "..".
std::optional<std::string> ExpandNamePattern(std::string_view pattern, std::string_view loop, int preset,
                                             std::string_view ext, std::string* error);

// Every loop with every preset, loops in the order given. Nullopt with the reason for what the
// command line got wrong: a preset that does not exist or cannot be written in `format`, a bad
// pattern, two jobs that would write the same file, an output that is one of the loops.
std::optional<std::vector<BatchJob>> PlanBatch(const BatchRequest& request, std::string* error);

// "K/N" with 0 <= K < N: the K-th of N shards (K as a job array numbers its tasks, from 0).
struct Shard {
  int index = 0;
  int count = 1;
};
std::optional<Shard> ParseShard(std::string_view text, std::string* error);

// The jobs of one shard, in batch order. Jobs are dealt largest first to the shard with the least
// work so far (ties to the lower job and shard), so the shards are balanced by estimated cost and
// every process computes the same split.
std::vector<BatchJob> ShardJobs(const std::vector<BatchJob>& jobs, Shard shard);

// Whether the job's output is already there. Outputs only appear under their name once complete,
// so a non-empty file (or a PNG folder with its first frame) is a finished export.
bool OutputDone(const BatchJob& job);

// The loop files (*.lqf, hidden ones skipped) of each folder, sorted by name within a folder,
// folders in the order given; a missing folder gives none.
std::vector<std::string> LoopsInFolders(const std::vector<std::filesystem::path>& folders);

// A word for a POSIX shell: as it is when it holds only characters no shell treats specially,
// else in single quotes. Not for names with control characters (see HasControlCharacter).
std::string ShellQuote(std::string_view word);
bool HasControlCharacter(std::string_view text);

}  // namespace vl::exporting
