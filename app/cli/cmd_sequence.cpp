// vantaloop-cli info / convert / decompile / compile: inspecting and rewriting loop files.
#include <cmath>
#include <cstdio>
#include <memory>
#include <span>

#include "app/cli/command.h"
#include "engine/asset_paths.h"
#include "engine/load_error.h"
#include "engine/numeric.h"
#include "engine/output_file.h"
#include "engine/sequence_format.h"
#include "engine/sequence_loader.h"
#include "engine/sequence_text.h"
#include "engine/sequence_writer.h"
#include "render/glyph_lists.h"

namespace {

using namespace vl::engine;

// Loads one file into a fresh scene (no assets), or reports why not.
std::unique_ptr<SceneState> LoadInto(const char* command, const std::string& path, int& exit_code) {
  auto seq = ReadLoopFile(path);
  if (!seq) {
    exit_code = vl::cli::Fail(command, seq.error().ToString());
    return nullptr;
  }
  auto scene = std::make_unique<SceneState>();
  SequenceAssets no_assets;
  ApplySequence(*scene, *seq, no_assets);
  return scene;
}

// Names and text come from the loop file: printed with control characters escaped, so that a
// loop cannot forge lines of this report or send escape sequences to the terminal.
void PrintName(const char* label, const std::string& name) {
  if (!name.empty()) std::printf("  %-22s %s\n", label, vl::EscapeControl(name).c_str());
}

int RunInfo(const std::vector<std::string>& args) {
  int rc = 0;
  auto scene = LoadInto("info", args[0], rc);
  if (!scene) return rc;
  const SceneState& s = *scene;
  const SequenceSettings& st = s.settings;
  const auto& keys = *s.keyframe_frame;
  std::printf("%s\n", vl::EscapeControl(args[0]).c_str());
  std::printf("  version                %g\n", static_cast<double>(s.sequence_version));
  std::printf("  keys                   %d (frames %d .. %d)\n", s.keyframe_count + 1, keys[0],
              keys[static_cast<size_t>(s.keyframe_count)]);
  std::printf("  frames                 %d\n", s.baked_frame_count);
  std::printf("  text                   \"%s\" in %s%s\n", vl::EscapeControl(st.text_string).c_str(),
              vl::EscapeControl(st.text_font_face).c_str(), vl::IsOn(st.text_on) ? "" : " (off)");
  const vl::render::FontRequest font{st.text_font_face, st.text_font_weight, st.text_font_italic != 0, st.text_string};
  const auto faces = vl::render::FindFontCandidates(font);
  if (faces.empty()) std::printf("  drawn in               nothing: no outline font can stand in\n");
  else if (faces.front().exact)
    std::printf("  drawn in               %s\n", vl::EscapeControl(vl::render::FontFaceName(faces.front())).c_str());
  else
    std::printf("  drawn in               %s (%s is not installed; %s)\n",
                vl::EscapeControl(vl::render::FontFaceName(faces.front())).c_str(),
                vl::EscapeControl(st.text_font_face).c_str(),
                std::string(vl::render::FontMatchReason(faces.front().match)).c_str());
  struct Layer {
    const char* name;
    float on;
  };
  const Layer layers[] = {
      {"text", st.text_on},       {"sprites", st.sprites_on}, {"particles", st.particles_on},
      {"vortex", st.vortex_on},   {"tunnel", st.tunnel_on},   {"backdrops", st.backdrop_on},
      {"photos", st.photo_on},    {"model 1", st.model_1_on}, {"model 2", st.model_2_on},
      {"model 3", st.model_3_on}, {"trail", st.trail_on},     {"scene echo", st.scene_echo_on},
  };
  std::string on;
  for (const Layer& l : layers)
    if (vl::IsOn(l.on)) on += std::string(on.empty() ? "" : ", ") + l.name;
  std::printf("  layers on              %s\n", on.empty() ? "(none)" : on.c_str());
  std::printf("  assets:\n");
  PrintName("sequence texture", vl::IsOn(st.sequence_texture_mode)
                                    ? std::string("Textures/Gold.jpg")
                                    : CutName(st.sequence_texture_name, st.sequence_texture_name_length));
  PrintName("sprite texture", CutName(st.sprite_texture_name, st.sprite_texture_name_length));
  PrintName("particle texture", CutName(st.particle_texture_name, st.particle_texture_name_length));
  PrintName("fountain texture", CutName(st.fountain_texture_name, st.fountain_texture_name_length));
  PrintName("tunnel texture", CutName(st.tunnel_texture_name, st.tunnel_texture_name_length));
  PrintName("backdrop 1 texture", CutName(st.backdrop_1_texture_name, st.backdrop_1_texture_name_length));
  PrintName("backdrop 2 texture", CutName(st.backdrop_2_texture_name, st.backdrop_2_texture_name_length));
  PrintName("model 1", st.model_1_file_name);
  PrintName("model 1 texture", st.model_1_texture_name);
  PrintName("model 2", st.model_2_file_name);
  PrintName("model 2 texture", st.model_2_texture_name);
  PrintName("model 3", st.model_3_file_name);
  PrintName("model 3 texture", st.model_3_texture_name);
  PrintName("photo A", st.photo_a_name);
  PrintName("photo B", st.photo_b_name);
  return 0;
}

// Writing a file over the one being read would destroy it before it is read (or after, with the
// wrong contents): refused as a wrong call.
int SameFile(const char* command, const std::string& in, const std::string& out) {
  if (vl::Status same = vl::RefuseSameFile(in, out)) return vl::cli::UsageError(command, same->ToString());
  return 0;
}

int Write(const char* command, const SceneState& scene, const std::string& out, float version) {
  if (auto err = WriteSequenceFile(scene, out, version)) return vl::cli::Fail(command, err->ToString());
  return 0;
}

int RunConvert(const std::vector<std::string>& args) {
  if (int rc = SameFile("convert", args[0], args[1])) return rc;
  int rc = 0;
  auto scene = LoadInto("convert", args[0], rc);
  if (!scene) return rc;
  const float v = scene->sequence_version;
  // The version also steers drawing: say so when rewriting changes how the loop looks.
  if (!(v >= 6.0f))
    std::fprintf(stderr,
                 "vantaloop-cli: convert: note: %s is a version %g loop; as version 6 its particles "
                 "get the particle fog%s\n",
                 vl::EscapeControl(args[0]).c_str(), static_cast<double>(v),
                 v >= 4.0f ? "" : " and its scene echo takes the trail tint colour");
  return Write("convert", *scene, args[1], kCurrentSequenceVersion);
}

int RunDecompile(const std::vector<std::string>& args) {
  if (args.size() > 1)
    if (int rc = SameFile("decompile", args[0], args[1])) return rc;
  int rc = 0;
  auto scene = LoadInto("decompile", args[0], rc);
  if (!scene) return rc;
  const std::string text = DecompileSequence(*scene);
  if (args.size() == 1) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
  }
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  if (vl::Status failed = vl::WriteFileBytes(args[1], std::span(bytes, text.size())))
    return vl::cli::Fail("decompile", failed->ToString());
  return 0;
}

int RunCompile(const std::vector<std::string>& args) {
  if (int rc = SameFile("compile", args[0], args[1])) return rc;
  auto scene = std::make_unique<SceneState>();
  // A source is refused before it is read when it is not a regular file or is far too large.
  std::vector<std::string> warnings;
  if (auto err = CompileSequenceFile(args[0], *scene, &warnings)) return vl::cli::Fail("compile", err->ToString());
  for (const std::string& w : warnings) std::fprintf(stderr, "vantaloop-cli: compile: warning: %s\n", w.c_str());
  // Check the result the way the player will read it before writing it out.
  const auto bytes = WriteSequence(*scene, scene->sequence_version);
  auto check = ParseSequence(bytes, args[1]);
  if (!check) return vl::cli::Fail("compile", args[0] + ": does not make a valid loop: " + check.error().message);
  return Write("compile", *scene, args[1], scene->sequence_version);
}

}  // namespace

namespace {

// Positional file arguments, in order; names ending in '?' are optional.
vl::cli::Run Files(CLI::App& app, std::vector<const char*> names, int (*run)(const std::vector<std::string>&)) {
  auto values = std::make_shared<std::vector<std::string>>(names.size());
  std::vector<CLI::Option*> options;
  for (size_t i = 0; i < names.size(); ++i) {
    std::string name = names[i];
    const bool optional = name.back() == '?';
    if (optional) name.pop_back();
    options.push_back(app.add_option(name, (*values)[i])->required(!optional));
  }
  return [values, options, run] {
    std::vector<std::string> args;
    for (size_t i = 0; i < options.size(); ++i)
      if (options[i]->count() > 0) args.push_back((*values)[i]);
    return run(args);
  };
}

}  // namespace

VL_CLI_COMMAND(info, "info", "Show a readable summary of a loop file.",
               [](CLI::App& app) { return Files(app, {"FILE"}, RunInfo); });
VL_CLI_COMMAND(convert, "convert", "Rewrite a loop file of any version as version 6.", [](CLI::App& app) {
  return Files(app, {"IN", "OUT"}, RunConvert);
});
VL_CLI_COMMAND(decompile, "decompile", "Print a loop file as editable source text (or write it to OUT).",
               [](CLI::App& app) {
                 return Files(app, {"FILE", "OUT?"}, RunDecompile);
               });
VL_CLI_COMMAND(compile, "compile", "Make a loop file from source text.", [](CLI::App& app) {
  return Files(app, {"SRC", "OUT"}, RunCompile);
});
