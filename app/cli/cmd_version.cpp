// vantaloop-cli version
#include <cstdio>

#include "app/cli/command.h"

namespace {
int RunVersion(const std::vector<std::string>&) {
  std::printf("vantaloop-cli 0.1\n");
  return 0;
}
}  // namespace

VL_CLI_COMMAND(version, "version", "version", "Show the program version.", RunVersion);
