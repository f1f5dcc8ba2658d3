// vantaloop-cli dump FILE [FILE ...]: the scene after loading each file in turn, as JSON.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>

#include "app/cli/command.h"
#include "app/cli/json.h"
#include "engine/sequence_loader.h"

namespace {

using namespace vl::engine;

void AppendSetting(std::string& out, const SequenceSettings& st, Setting s) {
  switch (kSettingCatalogue[static_cast<size_t>(s)].type) {
    case SettingType::F: vl::cli::AppendJsonFloat(out, *st.FloatField(s)); break;
    case SettingType::I: vl::cli::AppendJsonInt(out, *st.IntField(s)); break;
    case SettingType::S: vl::cli::AppendJsonLatin1(out, *st.StringField(s)); break;
  }
}

std::string DumpJson(const SceneState& scene, int slots) {
  std::string out;
  out.reserve(static_cast<size_t>(slots) * kTrackCount * 12 + 65536);
  out += "{\"sequence_version\": ";
  vl::cli::AppendJsonFloat(out, scene.sequence_version);
  out += ", \"echo_colour_mode\": " + std::to_string(scene.echo_colour_mode);
  out += ", \"keyframe_count\": " + std::to_string(scene.keyframe_count);
  out += ", \"keyframe_frame\": [";
  for (int32_t k = 0; k <= scene.keyframe_count; ++k) {
    if (k) out += ", ";
    out += std::to_string((*scene.keyframe_frame)[static_cast<size_t>(k)]);
  }
  out += "], \"frame_count\": " + std::to_string(scene.frame_count);
  out += ", \"baked_frame_count\": " + std::to_string(scene.baked_frame_count);
  out += ",\n\"settings\": {";
  for (int i = 0; i < kSettingCount; ++i) {
    out += i ? ",\n  \"" : "\n  \"";
    out += kSettingCatalogue[static_cast<size_t>(i)].name;
    out += "\": ";
    AppendSetting(out, scene.settings, static_cast<Setting>(i));
  }
  out += "},\n\"initial\": {";
  for (int t = 0; t < kTrackCount; ++t) {
    out += t ? ",\n  \"" : "\n  \"";
    out += kTrackCatalogue[static_cast<size_t>(t)].name;
    out += "\": ";
    vl::cli::AppendJsonFloat(out, scene.tracks[static_cast<size_t>(t)].initial_value);
  }
  out += "},\n\"frames\": {";
  for (int t = 0; t < kTrackCount; ++t) {
    out += t ? ",\n  \"" : "\n  \"";
    out += kTrackCatalogue[static_cast<size_t>(t)].name;
    out += "\": [";
    const float* values = scene.tracks[static_cast<size_t>(t)].frame_values;
    for (int f = 0; f < slots; ++f) {
      if (f) out += ',';
      vl::cli::AppendJsonFloat(out, values[f]);
    }
    out += ']';
  }
  out += "}}\n";
  return out;
}

int RunDump(const std::vector<std::string>& args) {
  auto scene = std::make_unique<SceneState>();
  SequenceAssets no_assets;
  int slots = 602;
  for (const std::string& path : args) {
    // Files named on the command line are taken as given; no fallback loop.
    auto seq = ReadSequenceFile(path);
    if (!seq) return vl::cli::Fail("dump", seq.error().ToString());
    for (int32_t frame : seq->key_frames) slots = std::max(slots, frame + 1);
    ApplySequence(*scene, *seq, no_assets);
  }
  slots = std::min(slots, kFrameSlots);
  const std::string json = DumpJson(*scene, slots);
  std::fwrite(json.data(), 1, json.size(), stdout);
  return std::fflush(stdout) == 0 ? 0 : 1;
}

}  // namespace

VL_CLI_COMMAND(dump, "dump", "Load the loops in turn into one scene and print it as JSON.", [](CLI::App& app) {
  auto files = std::make_shared<std::vector<std::string>>();
  app.add_option("FILE", *files, "Loop files, loaded in this order")->required();
  return [files] { return RunDump(*files); };
});
