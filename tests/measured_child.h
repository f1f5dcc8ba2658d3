// Runs a piece of a test in a forked child and reports what it cost: wall and CPU time and peak
// resident memory (the child's own resource usage, which takes in any decoder process it waited
// for). Loads of hostile files run here, so that one that goes wrong is killed by the address-space
// limit or the time-out instead of taking the machine's memory or the test run's time.
// Header-only; no Qt, no GoogleTest.
#pragma once
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <functional>
#include <string>

namespace vl::testing {

struct ChildUsage {
  bool exited = false;  // ended by _exit, not by a signal or the time-out
  int exit_code = -1;
  int signal = 0;  // the signal that ended it, when one did
  bool timed_out = false;
  double seconds = 0;      // wall time
  double cpu_seconds = 0;  // user + system time of the child and the processes it waited for
  uint64_t peak_rss = 0;   // bytes: the largest resident size of the child or its waited-for children
  uint64_t start_rss = 0;  // bytes: the child's resident size when it started
  std::string report;      // what the child's body wrote into its report

  uint64_t growth() const { return peak_rss > start_rss ? peak_rss - start_rss : 0; }
  std::string Describe() const {
    return "exit " + std::to_string(exit_code) + (signal ? ", signal " + std::to_string(signal) : std::string()) +
           (timed_out ? ", timed out" : "") + ", " + std::to_string(seconds) + " s wall, " +
           std::to_string(cpu_seconds) + " s CPU, peak " + std::to_string(peak_rss >> 20) + " MB (" +
           std::to_string(growth() >> 20) + " MB above the start); report: " + report;
  }
};

inline uint64_t ResidentBytes() {
  unsigned long size = 0, resident = 0;
  if (std::FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%lu %lu", &size, &resident) != 2) resident = 0;
    std::fclose(f);
  }
  return uint64_t{resident} * static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
}

inline uint64_t MappedBytes() {
  unsigned long size = 0;
  if (std::FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%lu", &size) != 1) size = 0;
    std::fclose(f);
  }
  return uint64_t{size} * static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
}

#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kAddressSpaceLimits = false;  // the sanitizer maps terabytes of shadow
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(memory_sanitizer)
inline constexpr bool kAddressSpaceLimits = false;
#else
inline constexpr bool kAddressSpaceLimits = true;
#endif
#else
inline constexpr bool kAddressSpaceLimits = true;
#endif

// Takes every byte the address-space limit still allows (heap holes included), then gives back
// `spare` bytes: a load run after this meets an allocation failure as soon as it needs more.
// Returns the number of bytes taken. Only meaningful in a child under RunMeasured's limit.
inline uint64_t ExhaustMemory(size_t spare) {
  struct Block {
    Block* next;
    size_t size;
  };
  Block* taken = nullptr;
  uint64_t total = 0;
  for (size_t size : {size_t{1} << 20, size_t{1} << 16, size_t{1} << 12, size_t{256}, size_t{32}}) {
    while (void* p = std::malloc(size)) {
      auto* b = static_cast<Block*>(p);
      b->next = taken;
      b->size = size;
      taken = b;
      total += size;
    }
  }
  // The last blocks taken are the smallest: give back the spare from those.
  for (size_t given = 0; taken && given + taken->size <= spare;) {
    given += taken->size;
    Block* next = taken->next;
    std::free(taken);
    taken = next;
  }
  return total;
}

// Runs `body` in a child. The child may map at most `extra_address_space` bytes beyond what it
// inherits (0: no limit) and is killed after `timeout_seconds`. `body` returns the exit code and
// may write a line into its report.
inline ChildUsage RunMeasured(const std::function<int(std::string& report)>& body, uint64_t extra_address_space,
                              int timeout_seconds = 60) {
  ChildUsage usage;
  int fds[2];
  if (::pipe(fds) != 0) return usage;
  const auto start = std::chrono::steady_clock::now();
  const pid_t child = ::fork();
  if (child < 0) return usage;
  if (child == 0) {
    ::close(fds[0]);
    const uint64_t start_rss = ResidentBytes();
    if (extra_address_space && kAddressSpaceLimits) {
      const rlim_t limit = static_cast<rlim_t>(MappedBytes() + extra_address_space);
      const rlimit l{limit, limit};
      ::setrlimit(RLIMIT_AS, &l);
    }
    std::string report;
    int code = 3;
    // Nothing may leave the child but through _exit: an exception would run the rest of the
    // test program a second time, in the child.
    try {
      code = body(report);
    } catch (const std::exception& e) { report = std::string("uncaught exception: ") + e.what(); } catch (...) {
      report = "uncaught exception";
    }
    const std::string message = std::to_string(start_rss) + "\n" + report;
    const char* p = message.data();
    size_t left = message.size();
    while (left > 0) {
      const ssize_t n = ::write(fds[1], p, left);
      if (n <= 0 && errno != EINTR) break;
      if (n > 0) p += n, left -= static_cast<size_t>(n);
    }
    ::_exit(code);
  }
  ::close(fds[1]);
  std::string out;
  const auto deadline = start + std::chrono::seconds(timeout_seconds);
  char buffer[4096];
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) {
      usage.timed_out = true;
      break;
    }
    pollfd p{fds[0], POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) {
      usage.timed_out = ready == 0;
      break;
    }
    const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    out.append(buffer, static_cast<size_t>(n));
  }
  ::close(fds[0]);
  if (usage.timed_out) ::kill(child, SIGKILL);
  int status = 0;
  rusage ru{};
  while (::wait4(child, &status, 0, &ru) < 0 && errno == EINTR) {}
  usage.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  usage.cpu_seconds = double(ru.ru_utime.tv_sec) + double(ru.ru_utime.tv_usec) / 1e6 + double(ru.ru_stime.tv_sec) +
                      double(ru.ru_stime.tv_usec) / 1e6;
  usage.peak_rss = uint64_t(ru.ru_maxrss) * 1024;  // kilobytes on Linux
  if (WIFEXITED(status) && !usage.timed_out) {
    usage.exited = true;
    usage.exit_code = WEXITSTATUS(status);
  }
  if (WIFSIGNALED(status)) usage.signal = WTERMSIG(status);
  const size_t newline = out.find('\n');
  if (newline != std::string::npos) {
    usage.start_rss = std::stoull(out.substr(0, newline));
    usage.report = out.substr(newline + 1);
  }
  return usage;
}

}  // namespace vl::testing
