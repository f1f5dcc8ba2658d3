// vantaloop-cli: each command lives in its own cmd_*.cpp and registers itself here (see main.cpp for
// how to add one).
#pragma once
#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

namespace vl::cli {

// What runs once the command line has been parsed; returns the exit code. Errors go to stderr.
using Run = std::function<int()>;

struct Command {
  const char* name;
  const char* summary;  // one line for the command list and the command's --help
  // Declares the command's arguments and options on its own CLI11 app (variables they fill must
  // outlive the call: capture them in the returned Run) and returns what runs after the parse.
  std::function<Run(CLI::App& app)> define;
};

bool RegisterCommand(const Command& command);

// From here on Ctrl+C and SIGTERM set the returned flag instead of ending the process, so a
// command writing a file can stop cleanly and leave nothing half-written; a file-size limit fails
// the write instead of killing the process.
const std::atomic<bool>& CatchInterrupts();

// Prints "vantaloop-cli: <command>: <message>" on stderr and returns 1: the command failed.
int Fail(const char* command, const std::string& message);
// Prints the message and the command's usage line on stderr and returns 2: the command was called
// wrongly. Parse errors found by CLI11 are reported the same way.
int UsageError(const char* command, const std::string& message);

}  // namespace vl::cli

#define VL_CLI_COMMAND(id, ...) \
  [[maybe_unused]] static const bool vl_cli_registered_##id = \
      ::vl::cli::RegisterCommand(::vl::cli::Command{__VA_ARGS__})
