// vantaloop-cli: inspect, convert and render loops from the command line.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "app/cli/command.h"
#include "engine/asset_paths.h"

namespace vl::cli {
namespace {

std::map<std::string, Command>& Registry() {
  static std::map<std::string, Command> commands;
  return commands;
}

void PrintUsage(std::FILE* to) {
  std::fprintf(to,
               "usage: vantaloop-cli [--library DIR] COMMAND [ARGS]\n"
               "\n"
               "Asset names in loops are resolved against the library folder: --library DIR,\n"
               "else $VANTALOOP_HOME, else the folder of this program.\n"
               "\n"
               "commands:\n");
  for (const auto& [name, c] : Registry()) std::fprintf(to, "  %-44s %s\n", c.usage, c.summary);
  std::fprintf(to, "\nvantaloop-cli COMMAND --help shows one command's usage.\n");
}

}  // namespace

bool RegisterCommand(const Command& command) {
  Registry()[command.name] = command;
  return true;
}

int Fail(const char* command, const std::string& message) {
  std::fprintf(stderr, "vantaloop-cli: %s: %s\n", command, message.c_str());
  return 1;
}

int UsageError(const char* command, const std::string& message) {
  auto it = Registry().find(command);
  std::fprintf(stderr, "vantaloop-cli: %s: %s\n", command, message.c_str());
  if (it != Registry().end()) std::fprintf(stderr, "usage: vantaloop-cli %s\n", it->second.usage);
  return 2;
}

}  // namespace vl::cli

int main(int argc, char** argv) {
  using namespace vl::cli;
  std::vector<std::string> args(argv + 1, argv + argc);
  size_t i = 0;
  while (i < args.size() && args[i].rfind("--", 0) == 0) {
    if (args[i] == "--help" || args[i] == "-h") {
      PrintUsage(stdout);
      return 0;
    }
    if (args[i] == "--library" && i + 1 < args.size()) {
      vl::SetProgramFolder(args[i + 1]);
      i += 2;
      continue;
    }
    std::fprintf(stderr, "vantaloop-cli: unknown option %s\n", args[i].c_str());
    PrintUsage(stderr);
    return 2;
  }
  if (i >= args.size()) {
    PrintUsage(stderr);
    return 2;
  }
  auto it = Registry().find(args[i]);
  if (it == Registry().end()) {
    std::fprintf(stderr, "vantaloop-cli: unknown command '%s'\n", args[i].c_str());
    PrintUsage(stderr);
    return 2;
  }
  std::vector<std::string> rest(args.begin() + static_cast<long>(i) + 1, args.end());
  if (std::find(rest.begin(), rest.end(), "--help") != rest.end()) {
    std::printf("usage: vantaloop-cli %s\n%s\n", it->second.usage, it->second.summary);
    return 0;
  }
  return it->second.run(rest);
}
