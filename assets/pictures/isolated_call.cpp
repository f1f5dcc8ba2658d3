#include "assets/pictures/isolated_call.h"

#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>

namespace vl::assets {
namespace {

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// Caps the address space of this (child) process at what it maps now plus `budget` bytes.
void LimitMemory(size_t budget) {
  unsigned long pages = 0;
  if (std::FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%lu", &pages) != 1) pages = 0;
    std::fclose(f);
  }
  if (pages == 0) return;
  const rlim_t limit = static_cast<rlim_t>(pages) * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE)) + budget;
  rlimit current{};
  if (::getrlimit(RLIMIT_AS, &current) == 0 && current.rlim_cur != RLIM_INFINITY && current.rlim_cur < limit) return;
  const rlimit wanted{limit, current.rlim_max == RLIM_INFINITY || current.rlim_max > limit ? limit : current.rlim_max};
  ::setrlimit(RLIMIT_AS, &wanted);
}

}  // namespace

IsolatedResult RunIsolated(const std::function<bool(std::string&)>& work, int timeout_ms, size_t max_output,
                           size_t memory_budget) {
  IsolatedResult result;
  int fds[2];
  if (::pipe(fds) != 0) {
    result.failure = std::string("cannot start the decoder: ") + std::strerror(errno);
    return result;
  }
  const pid_t child = ::fork();
  if (child < 0) {
    ::close(fds[0]);
    ::close(fds[1]);
    result.failure = std::string("cannot start the decoder: ") + std::strerror(errno);
    return result;
  }
  if (child == 0) {
    // The child: do the work, send the bytes, leave without running the parent's exit handlers.
    ::close(fds[0]);
    if (memory_budget) LimitMemory(memory_budget);
    std::string out;
    bool ok = false;
    try {
      ok = work(out);
    } catch (const std::bad_alloc&) { out = "not enough memory"; }
    const bool sent = WriteAll(fds[1], out.data(), out.size());
    ::_exit(ok && sent ? 0 : 1);
  }
  ::close(fds[1]);

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  bool timed_out = false, too_big = false;
  char buffer[65536];
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      timed_out = true;
      break;
    }
    pollfd p{fds[0], POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) {
      timed_out = ready == 0;
      break;
    }
    const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // end of output
    if (result.output.size() + static_cast<size_t>(n) > max_output) {
      too_big = true;
      break;
    }
    result.output.append(buffer, static_cast<size_t>(n));
  }
  ::close(fds[0]);
  if (timed_out || too_big) ::kill(child, SIGKILL);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {}

  if (timed_out) {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, timeout_ms % 1000 ? "%.1f" : "%.0f", timeout_ms / 1000.0);
    result.failure = std::string("the decoder did not finish within ") + seconds + " s";
  } else if (too_big) {
    result.failure = "the decoder's output is larger than " + std::to_string(max_output >> 20) + " MB";
  } else if (WIFSIGNALED(status)) {
    result.failure = "the decoder crashed on this file (signal " + std::to_string(WTERMSIG(status)) + ")";
  } else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    result.failure = result.output.empty() ? "the decoder failed on this file" : result.output;
  } else {
    result.ok = true;
  }
  if (!result.ok) result.output.clear();
  return result;
}

}  // namespace vl::assets
