// vantaloop-cli check LOOP... [--json]: what a loop will do wrong when it is played, found without
// playing it. Each loop (a .lqf file or a loop source) is loaded the way the player loads it, with
// an asset hook that resolves every name the loader asks for instead of loading it, and then its
// per-frame values are read:
//   missing-asset    (error)   a picture, particle texture, model or font the player would not find
//   font-substitute  (warning) a font the system lacks, drawn in a face of the same class instead
//   seam             (warning) tracks whose last frame is not where frame 0 carries on from
//   invisible-layer  (warning) a layer switched on whose values draw nothing for the whole loop
//   ignored-field    (warning) values the file sets that the player never uses
//   bounded          (warning) values the player clamps or refuses, NaN or infinite values
// Exit status: 0 no errors, 1 errors, 2 a file could not be read.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "app/cli/command.h"
#include "app/cli/json.h"
#include "engine/asset_paths.h"
#include "engine/sequence_loader.h"
#include "engine/sequence_text.h"
#include "engine/sequence_writer.h"
#include "render/loop_findings.h"

namespace {

using namespace vl::engine;
constexpr const char* kName = "check";

using Finding = vl::render::LoopFinding;

// ---- One file ------------------------------------------------------------------------------------

bool NamedLoopFile(const std::string& path) {
  std::string extension = std::filesystem::path(path).extension().string();
  for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return extension == ".lqf";
}

// Fills `findings`, or returns the reader's message when the file cannot be read.
std::optional<std::string> CheckFile(const std::string& path, std::vector<Finding>& findings) {
  auto parsed = ReadLoopFile(path);
  if (!parsed) return parsed.error().ToString();
  const ParsedSequence& seq = *parsed;
  // A source may set fields its version does not store; the loop file read from it has lost them.
  std::string source;
  if (auto bytes = vl::ReadFileBytes(path, uint64_t{64} << 20);
      bytes && !NamedLoopFile(path) &&
      LooksLikeLoopSource(std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size())))
    source.assign(bytes->begin(), bytes->end());

  findings = vl::render::CheckLoop(seq, source);
  return std::nullopt;
}

int Run(const std::vector<std::string>& files, bool json) {
  int status = 0;
  std::string out = json ? "[" : "";
  bool first = true;
  for (const std::string& file : files) {
    std::vector<Finding> findings;
    if (auto unreadable = CheckFile(file, findings)) {
      // On standard error as before, and in the JSON too, so a reader of the array alone sees it.
      std::fprintf(stderr, "vantaloop-cli: check: %s\n", vl::EscapeControl(*unreadable).c_str());
      status = 2;
      if (!json) continue;
      findings = {{true, "unreadable", *unreadable}};
    }
    for (const Finding& f : findings)
      if (f.error && status == 0) status = 1;
    if (json) {
      out += first ? "\n" : ",\n";
      out += "{\"file\": ";
      vl::cli::AppendJsonUtf8(out, file);
      out += ", \"findings\": [";
      for (size_t i = 0; i < findings.size(); ++i) {
        out += i ? ",\n  " : "\n  ";
        out += "{\"severity\": \"";
        out += findings[i].error ? "error" : "warning";
        out += "\", \"code\": ";
        vl::cli::AppendJsonUtf8(out, findings[i].code);
        out += ", \"message\": ";
        vl::cli::AppendJsonUtf8(out, findings[i].message);
        out += "}";
      }
      out += "]}";
    } else if (findings.empty()) {
      out += vl::EscapeControl(file) + ": no findings\n";
    } else {
      // Names in messages come from the loop: escaped, so a loop can neither forge report lines
      // nor send escape sequences to the terminal.
      for (const Finding& f : findings)
        out += vl::EscapeControl(file + ": " + (f.error ? "error " : "warning ") + f.code + ": " + f.message) + "\n";
    }
    first = false;
  }
  if (json) out += "\n]\n";
  std::fwrite(out.data(), 1, out.size(), stdout);
  std::fflush(stdout);
  return status;
}

}  // namespace

VL_CLI_COMMAND(check, "check",
               "Check loops (.lqf files or loop sources) for missing assets, seams, invisible layers, "
               "ignored fields and clamped values. Exit 0: no errors; 1: errors; 2: a file could not be read.",
               [](CLI::App& app) {
                 auto files = std::make_shared<std::vector<std::string>>();
                 auto json = std::make_shared<bool>(false);
                 app.add_option("LOOP", *files, "Loop files or loop sources")->required();
                 app.add_flag("--json", *json, "Print a JSON array of {file, findings: [{severity, code, message}]}");
                 return [=] { return Run(*files, *json); };
               });
