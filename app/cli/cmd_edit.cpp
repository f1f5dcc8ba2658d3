// vantaloop-cli edit IN OUT [EDIT ...]: a loop with its text, settings, initial values and keys
// changed, the edits applied in the order given, written as a version-6 loop file.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/cli/command.h"
#include "engine/loop_edit.h"
#include "engine/output_file.h"
#include "engine/sequence_loader.h"
#include "engine/sequence_reader.h"
#include "engine/sequence_text.h"
#include "engine/sequence_writer.h"

namespace {

using namespace vl::engine;

constexpr const char* kCommand = "edit";

struct Request {
  std::string in, out;
  std::vector<std::string> text, set, initial, key, remove_key, move_key;
};

// One edit as the user wrote it, for messages: "--set tunnel_r=abc".
struct Given {
  std::string option, value;
  std::string Shown() const { return option + " " + vl::EscapeControl(value); }
};

int Bad(const Given& g, const std::string& why) { return vl::cli::UsageError(kCommand, g.Shown() + ": " + why); }

// "NAME=VALUE" split at the first '='.
bool SplitAt(const std::string& text, char sep, std::string& left, std::string& right) {
  const size_t at = text.find(sep);
  if (at == std::string::npos) return false;
  left = text.substr(0, at);
  right = text.substr(at + 1);
  return true;
}

bool ParseFrame(const std::string& text, int32_t& frame) {
  if (text.empty() || (text[0] != '-' && (text[0] < '0' || text[0] > '9'))) return false;
  errno = 0;
  char* end = nullptr;
  const long long v = std::strtoll(text.c_str(), &end, 10);
  if (end != text.c_str() + text.size() || errno == ERANGE || v < std::numeric_limits<int32_t>::min() ||
      v > std::numeric_limits<int32_t>::max())
    return false;
  frame = static_cast<int32_t>(v);
  return true;
}

// The edit a command-line option asks for, or a message for the user (the return code, 2).
int ToEdit(const Given& g, const std::string& in, const SceneState& scene, LoopEdit& edit, std::string& note) {
  // What is wrong with the loop itself (no key on that frame) names the loop.
  const std::string loop = vl::EscapeControl(in) + ": ";
  std::string left, right;
  if (g.option == "--text") {
    auto e = ParseSettingEdit("text_string", g.value);
    if (!e) return Bad(g, e.error().message);
    edit = *e;
    return 0;
  }
  if (g.option == "--set") {
    if (!SplitAt(g.value, '=', left, right)) return Bad(g, "expected FIELD=VALUE");
    auto e = ParseSettingEdit(left, right);
    if (!e) return Bad(g, e.error().message);
    edit = *e;
    return 0;
  }
  if (g.option == "--initial") {
    if (!SplitAt(g.value, '=', left, right)) return Bad(g, "expected TRACK=VALUE");
    auto track = ParseTrackName(left);
    if (!track) return Bad(g, track.error().message);
    auto value = ParseTrackValue(right);
    if (!value) return Bad(g, value.error().message);
    edit = SetInitialEdit(*track, *value);
    return 0;
  }
  if (g.option == "--key") {
    std::string where, frame_text;
    int32_t frame = 0;
    if (!SplitAt(g.value, '=', where, right) || !SplitAt(where, '@', left, frame_text))
      return Bad(g, "expected TRACK@FRAME=VALUE");
    auto track = ParseTrackName(left);
    if (!track) return Bad(g, track.error().message);
    if (!ParseFrame(frame_text, frame)) return Bad(g, "'" + vl::EscapeControl(frame_text) + "' is not a frame number");
    auto value = ParseTrackValue(right);
    if (!value) return Bad(g, value.error().message);
    if (auto key = FindKeyAtFrame(scene, frame); key && *key == 0)
      note = g.Shown() + ": the first key's value is kept in the file but not played; --initial " + TrackName(*track) +
             "=VALUE sets where the track starts";
    // With no key on FRAME a key row goes in first, every other track keeping its motion; a frame
    // after the last key lengthens the loop.
    edit = SetValueAtFrameEdit(scene, *track, frame, *value);
    return 0;
  }
  if (g.option == "--remove-key") {
    int32_t frame = 0;
    if (!ParseFrame(g.value, frame)) return Bad(g, "'" + vl::EscapeControl(g.value) + "' is not a frame number");
    auto key = FindKeyAtFrame(scene, frame);
    if (!key) return Bad(g, loop + "there is no key on frame " + std::to_string(frame));
    edit = DeleteKeyEdit(*key);
    return 0;
  }
  if (g.option == "--move-key") {
    int32_t from = 0, to = 0;
    if (!SplitAt(g.value, '=', left, right)) return Bad(g, "expected FROM=TO");
    if (!ParseFrame(left, from)) return Bad(g, "'" + vl::EscapeControl(left) + "' is not a frame number");
    if (!ParseFrame(right, to)) return Bad(g, "'" + vl::EscapeControl(right) + "' is not a frame number");
    auto key = FindKeyAtFrame(scene, from);
    if (!key) return Bad(g, loop + "there is no key on frame " + std::to_string(from));
    edit = MoveKeyEdit(*key, to);
    return 0;
  }
  return Bad(g, "unknown edit");
}

int RunEdit(const Request& r, const std::vector<Given>& edits) {
  if (vl::Status same = vl::RefuseSameFile(r.in, r.out)) return vl::cli::UsageError(kCommand, same->ToString());
  auto seq = ReadLoopFile(r.in);
  if (!seq) return vl::cli::Fail(kCommand, seq.error().ToString());
  for (const std::string& w : seq->warnings) std::fprintf(stderr, "vantaloop-cli: edit: warning: %s\n", w.c_str());
  auto scene = std::make_unique<SceneState>();
  SequenceAssets no_assets;
  ApplySequence(*scene, *seq, no_assets);

  for (const Given& g : edits) {
    LoopEdit edit;
    std::string note;
    if (int rc = ToEdit(g, r.in, *scene, edit, note)) return rc;
    auto done = ApplyEdit(*scene, edit);
    if (!done) return Bad(g, vl::EscapeControl(r.in) + ": " + done.error().message);
    if (!note.empty()) std::fprintf(stderr, "vantaloop-cli: edit: note: %s\n", note.c_str());
  }

  // Checked the way the player will read it before anything is written.
  const std::vector<uint8_t> bytes = WriteSequence(*scene, kCurrentSequenceVersion);
  if (auto check = ParseSequence(bytes, r.out); !check)
    return vl::cli::Fail(kCommand, r.in + ": the edited loop is not a valid loop: " + check.error().message);
  auto out = vl::OutputFile::Begin(r.out);
  if (!out) return vl::cli::Fail(kCommand, out.error().ToString());
  std::FILE* f = std::fopen(out->temp_path().c_str(), "wb");
  if (!f) return vl::cli::Fail(kCommand, r.out + ": cannot write: " + std::strerror(errno));
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  const int write_errno = errno;
  if (std::fclose(f) != 0 || !written)
    return vl::cli::Fail(kCommand, r.out + ": write failed: " + std::strerror(written ? errno : write_errno));
  if (vl::Status failed = out->Commit()) return vl::cli::Fail(kCommand, failed->ToString());
  return 0;
}

}  // namespace

VL_CLI_COMMAND(edit, "edit", "Change a loop's text, settings, initial values and keys and write it as a new loop file.",
               [](CLI::App& app) {
                 auto r = std::make_shared<Request>();
                 app.add_option("IN", r->in, "The loop to edit (a loop file or a loop source)")->required();
                 app.add_option("OUT", r->out, "The edited loop file to write (version 6)")->required();
                 // Every edit option may be given any number of times; they apply in command-line order.
                 struct Spec {
                   const char* name;
                   const char* type;
                   std::vector<std::string>* into;
                   const char* help;
                 };
                 const Spec specs[] = {
                     {"--text", "STRING", &r->text, "Set text_string, the text drawn"},
                     {"--set", "FIELD=VALUE", &r->set,
                      "Set a setting, named and written as dump prints it; a name sets its _length field too"},
                     {"--initial", "TRACK=VALUE", &r->initial, "Set the value TRACK starts from"},
                     {"--key", "TRACK@FRAME=VALUE", &r->key,
                      "Set TRACK's value at the key on FRAME; with no key there, a key is added first and the other "
                      "tracks keep their motion"},
                     {"--remove-key", "FRAME", &r->remove_key, "Remove the key on FRAME"},
                     {"--move-key", "FROM=TO", &r->move_key, "Move the key on frame FROM to frame TO"},
                 };
                 for (const Spec& s : specs)
                   app.add_option(s.name, *s.into, s.help)
                       ->type_name(s.type)
                       ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
                       ->allow_extra_args(false);
                 // Room for "--key TRACK@FRAME=VALUE ..." beside its help, which the manual page is made from.
                 auto formatter = std::make_shared<CLI::Formatter>();
                 formatter->column_width(34);
                 app.formatter(formatter);
                 app.footer(
                     "Edits apply in the order given and may repeat. Exit 2 names the edit that cannot be made; "
                     "OUT is then not written.");
                 CLI::App* parsed = &app;
                 return [r, parsed] {
                   // Rebuild the order the edits were written in from the options' own parse order.
                   std::vector<Given> edits;
                   std::map<const CLI::Option*, size_t> used;
                   for (const CLI::Option* opt : parsed->parse_order()) {
                     if (opt->get_positional()) continue;
                     const std::string name = "--" + opt->get_single_name();
                     const auto& values = opt->results();
                     size_t& next = used[opt];
                     if (next < values.size()) edits.push_back({name, values[next]});
                     ++next;
                   }
                   return RunEdit(*r, edits);
                 };
               });
