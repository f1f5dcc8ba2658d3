// Running a third-party decoder in a child process. The metafile libraries (libwmf, libemf2svg)
// trust their input; a damaged WMF or EMF named by a loop must not be able to crash, hang or
// corrupt the player, so their work runs in a forked child that hands its result back through a
// pipe. A crash, a hang past the time limit or too much output is a decoding failure. No Qt.
#pragma once
#include <cstddef>
#include <functional>
#include <string>

namespace vl::assets {

struct IsolatedResult {
  bool ok = false;
  std::string output;   // what the child wrote (its result on success, its reason on failure)
  std::string failure;  // why the call failed, when it did: the child's reason or how it died
};

// Runs `work` in a child process. `work` fills its argument and returns true on success; the
// bytes reach the parent either way. Output beyond `max_output` bytes fails the call. With a
// memory budget, the child may map at most that many bytes beyond what it inherits: an allocation
// past it fails in the child (which then fails the call) instead of taking the machine's memory.
IsolatedResult RunIsolated(const std::function<bool(std::string&)>& work, int timeout_ms = 10000,
                           size_t max_output = size_t{64} << 20, size_t memory_budget = 0);

}  // namespace vl::assets
