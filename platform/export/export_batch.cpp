#include "platform/export/export_batch.h"

#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <memory>
#include <numeric>
#include <set>
#include <utility>
#include <system_error>

#include "engine/output_file.h"
#include "engine/scene_state.h"
#include "engine/sequence_loader.h"

namespace vl::exporting {
namespace {

namespace fs = std::filesystem;

// Frames one export of the loop draws, or 0 when it cannot be read: its job then fails on its
// own, and every process still plans the same shards.
int64_t FramesOfLoop(const fs::path& loop) {
  if (!WhyNotReadable(loop).empty()) return 0;
  auto scene = std::make_unique<engine::SceneState>();
  engine::SequenceAssets no_assets;  // the frame count needs no pictures, fonts or models
  if (engine::LoadSequence(*scene, loop.string(), no_assets)) return 0;
  return engine::HasFramesToPlay(*scene) ? engine::PlayedFrameCount(*scene) : 0;
}

std::string StemOf(const std::string& loop) { return fs::path(loop).stem().string(); }

}  // namespace

std::optional<std::string> ExpandNamePattern(std::string_view pattern, std::string_view loop, int preset,
                                             std::string_view ext, std::string* error) {
  auto refuse = [&](const std::string& why) -> std::optional<std::string> {
    if (error) *error = "the name pattern " + std::string(pattern) + " " + why;
    return std::nullopt;
  };
  std::string name;
  for (size_t i = 0; i < pattern.size();) {
    if (pattern[i] != '{') {
      if (pattern[i] == '/') return refuse("names a file in another folder; it may not hold '/'");
      name += pattern[i++];
      continue;
    }
    const size_t close = pattern.find('}', i);
    const std::string_view token = pattern.substr(i, close == std::string_view::npos ? close : close - i + 1);
    if (token == "{loop}") {
      name += loop;
    } else if (token == "{preset}") {
      name += std::to_string(preset);
    } else if (token == "{ext}") {
      if (ext.empty() && !name.empty() && name.back() == '.') name.pop_back();
      name += ext;
    } else {
      return refuse("holds " + std::string(token) + "; it knows {loop}, {preset} and {ext}");
    }
    i += token.size();
  }
  if (name.empty() || name == "." || name == "..") return refuse("gives the name '" + name + "'");
  return name;
}

std::optional<std::vector<BatchJob>> PlanBatch(const BatchRequest& request, std::string* error) {
  auto refuse = [&](const std::string& why) -> std::optional<std::vector<BatchJob>> {
    if (error) *error = why;
    return std::nullopt;
  };
  if (request.out_dir.empty()) return refuse("no output folder given");
  std::error_code ec;
  const fs::path out_dir = fs::absolute(request.out_dir, ec).lexically_normal();
  if (ec) return refuse(request.out_dir + ": " + ec.message());

  std::vector<int> presets;
  for (int p : request.presets)
    if (std::find(presets.begin(), presets.end(), p) == presets.end()) presets.push_back(p);
  std::vector<fs::path> loops;
  std::set<fs::path> names;
  std::set<std::pair<dev_t, ino_t>> files;
  for (const std::string& given : request.loops) {
    const fs::path loop = fs::absolute(given, ec).lexically_normal();
    if (ec) return refuse(given + ": " + ec.message());
    // The same file under two names is one loop.
    struct stat st {};
    if (!names.insert(loop).second || (::stat(loop.c_str(), &st) == 0 && !files.insert({st.st_dev, st.st_ino}).second))
      continue;
    loops.push_back(loop);
  }
  if (loops.empty()) return refuse("no loops to export");
  if (presets.empty()) return refuse("no presets given");

  std::vector<BatchJob> jobs;
  std::map<std::string, size_t> by_out;
  for (const fs::path& loop : loops) {
    const int64_t frames = FramesOfLoop(loop);
    for (int preset : presets) {
      std::string why;
      const auto format = ResolveFormat(preset, request.format, &why);
      if (!format) return refuse(why);
      const bool folder = *format == ExportFormat::kPng;
      const std::string ext = folder ? "" : std::string(ExportFormatExtension(*format)).substr(1);
      const auto name = ExpandNamePattern(request.pattern, StemOf(loop.string()), preset, ext, &why);
      if (!name) return refuse(why);
      BatchJob job;
      job.loop = loop.string();
      job.preset = preset;
      job.out = (out_dir / *name).string();
      job.folder = folder;
      if (!CheckOutputName(job.out, preset, *format, &why))
        return refuse(why + " (the name comes from the name pattern " + request.pattern + ")");
      const PresetFormat& p = *PresetFormatOf(preset);
      job.cost = frames * (request.loops_recorded + (request.preroll ? 1 : 0)) * p.width * p.height;
      if (auto [it, fresh] = by_out.emplace(job.out, jobs.size()); !fresh) {
        const BatchJob& other = jobs[it->second];
        return refuse(job.out + " would be written twice: by " + other.loop + " at preset " +
                      std::to_string(other.preset) + " and by " + job.loop + " at preset " + std::to_string(preset) +
                      "; give a name pattern with {loop} and {preset}");
      }
      if (std::find(loops.begin(), loops.end(), fs::path(job.out)) != loops.end())
        return refuse(job.out + " is one of the loops; writing it would destroy it");
      jobs.push_back(std::move(job));
    }
  }
  return jobs;
}

std::optional<Shard> ParseShard(std::string_view text, std::string* error) {
  auto number = [](std::string_view digits, int* value) {
    if (digits.empty() || digits.size() > 6) return false;
    *value = 0;
    for (char c : digits) {
      if (c < '0' || c > '9') return false;
      *value = *value * 10 + (c - '0');
    }
    return true;
  };
  const size_t slash = text.find('/');
  Shard shard;
  if (slash == std::string_view::npos || !number(text.substr(0, slash), &shard.index) ||
      !number(text.substr(slash + 1), &shard.count) || shard.count < 1 || shard.index >= shard.count) {
    if (error) *error = "--shard wants K/N, the K-th of N shards counted from 0 (0/4 to 3/4), not " + std::string(text);
    return std::nullopt;
  }
  return shard;
}

std::vector<BatchJob> ShardJobs(const std::vector<BatchJob>& jobs, Shard shard) {
  std::vector<size_t> order(jobs.size());
  std::iota(order.begin(), order.end(), size_t{0});
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return jobs[a].cost > jobs[b].cost; });
  std::vector<int64_t> load(static_cast<size_t>(shard.count), 0);
  std::vector<bool> mine(jobs.size(), false);
  for (size_t i : order) {
    const size_t least = static_cast<size_t>(std::min_element(load.begin(), load.end()) - load.begin());
    // A job that costs nothing still counts, so that many such jobs spread over the shards.
    load[least] += std::max<int64_t>(jobs[i].cost, 1);
    mine[i] = static_cast<int>(least) == shard.index;
  }
  std::vector<BatchJob> out;
  for (size_t i = 0; i < jobs.size(); ++i)
    if (mine[i]) out.push_back(jobs[i]);
  return out;
}

bool OutputDone(const BatchJob& job) {
  struct stat st {};
  if (job.folder) {
    return ::stat(job.out.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
           ::stat((fs::path(job.out) / "frame_00000.png").c_str(), &st) == 0 && S_ISREG(st.st_mode);
  }
  return ::stat(job.out.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0;
}

std::vector<std::string> LoopsInFolders(const std::vector<fs::path>& folders) {
  std::vector<std::string> loops;
  for (const fs::path& folder : folders) {
    if (folder.empty()) continue;
    std::vector<std::string> here;
    std::error_code ec;
    fs::directory_iterator it(folder, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
      const std::string name = it->path().filename().string();
      if (name.size() <= 4 || name[0] == '.' || name.compare(name.size() - 4, 4, ".lqf") != 0) continue;
      std::error_code type_ec;
      if (it->is_directory(type_ec)) continue;
      here.push_back(it->path().string());
    }
    std::sort(here.begin(), here.end());
    loops.insert(loops.end(), here.begin(), here.end());
  }
  return loops;
}

std::string ShellQuote(std::string_view word) {
  const bool plain = !word.empty() && std::all_of(word.begin(), word.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::string_view("_@%+=:,./-").find(c) != std::string_view::npos;
  });
  if (plain) return std::string(word);
  std::string quoted = "'";
  for (char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

bool HasControlCharacter(std::string_view text) {
  return std::any_of(text.begin(), text.end(), [](char c) {
    const auto u = static_cast<unsigned char>(c);
    return u < 0x20 || u == 0x7f;
  });
}

}  // namespace vl::exporting
