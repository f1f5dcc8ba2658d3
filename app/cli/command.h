// vantaloop-cli: each command lives in its own cmd_*.cpp and registers itself here.
#pragma once
#include <string>
#include <vector>

namespace vl::cli {

struct Command {
  const char* name;
  const char* usage;    // e.g. "dump FILE [FILE ...]"
  const char* summary;  // one line for the command list
  // Runs with the arguments after the command name; returns the exit code. Errors go to stderr.
  int (*run)(const std::vector<std::string>& args);
};

bool RegisterCommand(const Command& command);

// Prints "vantaloop-cli: <command>: <message>" on stderr and returns 1.
int Fail(const char* command, const std::string& message);
// Prints the command's usage line on stderr and returns 2.
int UsageError(const char* command, const std::string& message);

}  // namespace vl::cli

#define VL_CLI_COMMAND(id, ...) \
  [[maybe_unused]] static const bool vl_cli_registered_##id = ::vl::cli::RegisterCommand(::vl::cli::Command{__VA_ARGS__})
