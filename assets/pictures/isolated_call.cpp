#include "assets/pictures/isolated_call.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

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

}  // namespace

IsolatedResult RunIsolated(const std::function<bool(std::string&)>& work, int timeout_ms, size_t max_output) {
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
    std::string out;
    const bool ok = work(out);
    const bool sent = WriteAll(fds[1], out.data(), out.size());
    ::_exit(ok && sent ? 0 : 1);
  }
  ::close(fds[1]);

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  bool timed_out = false, too_big = false;
  char buffer[65536];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
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
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }

  if (timed_out) {
    result.failure = "the decoder did not finish within " + std::to_string(timeout_ms / 1000) + " s";
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
