// vantaloop-cli: inspect, check, convert and render loops from the command line.
//
// Every command is a CLI11 subcommand, so all of them share the same --help, --version, error
// messages and exit codes: 0 done, 1 the command failed (a message naming the file on stderr),
// 2 the command line was wrong (the message and the command's usage on stderr).
//
// Adding a command: make app/cli/cmd_NAME.cpp (CMake picks it up) with
//
//   namespace {
//   int RunHello(const std::string& who, bool loud) { ...; return 0; }  // or vl::cli::Fail(...)
//   }  // namespace
//
//   VL_CLI_COMMAND(hello, "hello", "Say hello to someone.", [](CLI::App& app) {
//     auto who = std::make_shared<std::string>();
//     auto loud = std::make_shared<bool>(false);
//     app.add_option("NAME", *who, "who to greet")->required();
//     app.add_flag("--loud", *loud, "shout");
//     return [=] { return RunHello(*who, *loud); };
//   });
//
// The variables the options fill must outlive define(): keep them in shared_ptrs (or one struct
// in a shared_ptr) captured by the returned function. Checks CLI11 cannot express (ranges that
// depend on each other, "WxH" values) go at the top of the run function and return
// vl::cli::UsageError("hello", "why"), which reports exactly like a parse error. --library,
// --help and --version are accepted before or after the command name.
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <map>
#include <memory>
#include <string>

#include "app/cli/command.h"
#include "engine/asset_paths.h"
#include "vl_version.h"

namespace vl::cli {
namespace {

constexpr const char* kProgram = "vantaloop-cli";
constexpr const char* kVersion = "vantaloop-cli " VL_VERSION;

std::map<std::string, Command>& Registry() {
  static std::map<std::string, Command> commands;
  return commands;
}

// The parsed command line, for usage lines printed after the parse.
CLI::App* g_app = nullptr;

std::string UsageOf(const std::string& command) {
  if (!g_app) return {};
  CLI::App* sub = nullptr;
  try {
    sub = command.empty() ? g_app : g_app->get_subcommand(command);
  } catch (const CLI::Error&) { sub = g_app; }
  const std::string name = sub == g_app ? kProgram : std::string(kProgram) + " " + command;
  return CLI::Formatter().make_usage(sub, name);
}

// Output that never arrived is a failure whatever the command made of it: a full disk or a closed
// pipe behind standard output shows only when the last buffer is flushed and the stream closed.
int FinishOutput(const std::string& command, int exit_code) {
  errno = 0;
  const bool flushed = std::fflush(stdout) == 0 && !std::ferror(stdout);
  const int flush_errno = errno;
  const bool closed = std::fclose(stdout) == 0;
  if (flushed && closed) return exit_code;
  const int e = !flushed ? flush_errno : errno;
  std::fprintf(stderr, "%s: %s: cannot write the output: %s\n", kProgram, command.c_str(),
               e ? std::strerror(e) : "a write failed");
  return exit_code == 0 ? 1 : exit_code;
}

}  // namespace

namespace {
std::atomic<bool> g_interrupted{false};
extern "C" void OnInterrupt(int) { g_interrupted = true; }
}  // namespace

const std::atomic<bool>& CatchInterrupts() {
  std::signal(SIGINT, OnInterrupt);
  std::signal(SIGTERM, OnInterrupt);
  std::signal(SIGXFSZ, SIG_IGN);
  return g_interrupted;
}

bool RegisterCommand(const Command& command) {
  Registry()[command.name] = command;
  return true;
}

// Messages quote names from files and the command line: control characters are escaped so that
// a name cannot forge lines or send escape sequences to the terminal.
int Fail(const char* command, const std::string& message) {
  std::fprintf(stderr, "%s: %s: %s\n", kProgram, command, vl::EscapeControl(message).c_str());
  return 1;
}

int UsageError(const char* command, const std::string& message) {
  if (command && *command) std::fprintf(stderr, "%s: %s: %s\n", kProgram, command, vl::EscapeControl(message).c_str());
  else std::fprintf(stderr, "%s: %s\n", kProgram, vl::EscapeControl(message).c_str());
  std::fputs(UsageOf(command ? command : "").c_str(), stderr);
  std::fprintf(stderr, "Run '%s%s%s --help' for more.\n", kProgram, command && *command ? " " : "",
               command ? command : "");
  return 2;
}

}  // namespace vl::cli

int main(int argc, char** argv) try {
  using namespace vl::cli;
  CLI::App app{
      "Inspect, check, convert and render Vantaloop loops.\n"
      "Asset names in loops are resolved against the library folder: --library DIR,\n"
      "else $VANTALOOP_HOME, else the folder of this program (or ../share/vantaloop\n"
      "beside it when the program is installed).",
      kProgram};
  g_app = &app;
  app.set_version_flag("--version", kVersion, "Show the program version and exit");
  std::string library;
  app.add_option("--library", library, "The library folder asset names are resolved against")->type_name("DIR");
  app.require_subcommand(1);
  app.footer("vantaloop-cli COMMAND --help shows one command's usage.");

  std::map<CLI::App*, Run> runs;
  for (const auto& [name, command] : Registry()) {
    CLI::App* sub = app.add_subcommand(name, command.summary);
    sub->fallthrough();  // --library and --version after the command name
    sub->footer("");
    runs[sub] = command.define(*sub);
  }

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) { return app.exit(e); } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) { return app.exit(e); } catch (const CLI::ParseError& e) {
    // Name the command the error belongs to, when one was given.
    std::string command;
    for (CLI::App* sub : app.get_subcommands()) command = sub->get_name();
    if (command.empty()) {
      // The first word that is not an option (or --library's value) names the command.
      for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "--library") {
          ++i;
        } else if (word.rfind('-', 0) != 0) {
          if (!Registry().count(word)) return UsageError("", "unknown command '" + word + "'");
          break;
        }
      }
    }
    return UsageError(command.c_str(), e.what());
  }
  if (!library.empty()) vl::SetProgramFolder(library);
  for (CLI::App* sub : app.get_subcommands()) return FinishOutput(sub->get_name(), runs.at(sub)());
  return UsageError("", "no command given");
} catch (const std::exception& e) {
  // What no command foresaw (no memory left, say) ends with a message and status 1, not an abort.
  std::fprintf(stderr, "%s: %s\n", vl::cli::kProgram, vl::EscapeControl(e.what()).c_str());
  return 1;
} catch (...) {
  std::fprintf(stderr, "%s: an unexpected error\n", vl::cli::kProgram);
  return 1;
}
