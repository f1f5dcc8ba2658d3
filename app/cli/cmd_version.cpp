// vantaloop-cli version
#include <cstdio>

#include "app/cli/command.h"
#include "vl_version.h"

namespace {
int RunVersion() {
  std::printf("vantaloop-cli %s\n", VL_VERSION);
  return 0;
}
}  // namespace

VL_CLI_COMMAND(version, "version", "Show the program version.", [](CLI::App&) { return RunVersion; });
