// vantaloop-cli version
#include <cstdio>

#include "app/cli/command.h"

namespace {
int RunVersion() {
  std::printf("vantaloop-cli 0.1\n");
  return 0;
}
}  // namespace

VL_CLI_COMMAND(version, "version", "Show the program version.", [](CLI::App&) { return RunVersion; });
