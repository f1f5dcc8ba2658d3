// A controller on the loopback for the tests: sends OSC to a player with liblo and hears its
// /state answers on a port of its own. Header-only; no GoogleTest.
#pragma once
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <arpa/inet.h>
#include <lo/lo.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdarg>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace vl::testing {

using Clock = std::chrono::steady_clock;

// A UDP port nobody listens on now (the system's pick, released again).
inline int FreeUdpPort() {
  int s = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
    throw std::runtime_error(std::string("no UDP port on the loopback: ") + std::strerror(errno));
  socklen_t n = sizeof a;
  ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &n);
  ::close(s);
  return ntohs(a.sin_port);
}

struct State {
  std::string loop;
  int frame = -1, frame_count = 0, playing = 0;
  float speed = 0, tempo = 0;
  int beats = 0;
};

// A controller on the loopback: sends to the player and hears its answers on a port of its own.
class Controller {
 public:
  explicit Controller(int player_port) {
    server_ = lo_server_new_with_proto(nullptr, LO_UDP, nullptr);
    target_ = lo_address_new("127.0.0.1", std::to_string(player_port).c_str());
    lo_server_add_method(server_, "/vantaloop/state", "siiiffi", OnState, this);
  }
  ~Controller() {
    lo_address_free(target_);
    lo_server_free(server_);
  }
  void Send(const char* path, const char* types = "", ...) {
    lo_message m = lo_message_new();
    va_list ap;
    va_start(ap, types);
    for (const char* t = types; *t; ++t) {
      switch (*t) {
        case 'i': lo_message_add_int32(m, va_arg(ap, int)); break;
        case 'f': lo_message_add_float(m, static_cast<float>(va_arg(ap, double))); break;
        case 's': lo_message_add_string(m, va_arg(ap, const char*)); break;
      }
    }
    va_end(ap);
    SendMessage(path, m);
    lo_message_free(m);
  }
  void SendMessage(const char* path, lo_message m) { lo_send_message_from(target_, server_, path, m); }
  // Asks for the state and waits up to `ms` for the answer.
  std::optional<State> AskState(int ms = 500) {
    Drain();
    Send("/vantaloop/state");
    const auto until = Clock::now() + std::chrono::milliseconds(ms);
    while (!state_ && Clock::now() < until) lo_server_recv_noblock(server_, 20);
    return state_;
  }
  // Asks until the player answers (it is starting), up to `seconds`.
  std::optional<State> AwaitPlayer(double seconds) {
    const auto until = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < until)
      if (auto s = AskState(200)) {
        // The asks it could not hear while starting are all answered at once: not answers to
        // what comes next.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        Drain();
        return s;
      }
    return std::nullopt;
  }
  // Forgets answers that came in before now.
  void Drain() {
    while (lo_server_recv_noblock(server_, 0) > 0) {}
    state_.reset();
  }

 private:
  static int OnState(const char*, const char*, lo_arg** argv, int, lo_message, void* self) {
    State s;
    s.loop = &argv[0]->s;
    s.frame = argv[1]->i;
    s.frame_count = argv[2]->i;
    s.playing = argv[3]->i;
    s.speed = argv[4]->f;
    s.tempo = argv[5]->f;
    s.beats = argv[6]->i;
    static_cast<Controller*>(self)->state_ = s;
    return 0;
  }
  lo_server server_;
  lo_address target_;
  std::optional<State> state_;
};

// How fast the loop goes round, measured over /state answers for `seconds`: the frames of loop
// position per second, unwrapped across the end of each pass.
struct Pace {
  double pass_seconds = 0;  // 0 when too few answers came
  float tempo = 0;
  int beats = 0;
  std::string trace;  // frame@seconds of every answer, for a failure's message
};

inline Pace MeasurePace(Controller& c, double seconds) {
  std::vector<std::pair<double, int>> seen;
  Pace pace;
  int count = 0;
  // The answer to a message comes before the next frame is drawn: a change shows in the frames
  // after it, so the first answers may still give the frame before the change.
  std::this_thread::sleep_for(std::chrono::milliseconds(250));
  c.Drain();
  const auto start = Clock::now();
  while (Clock::now() - start < std::chrono::duration<double>(seconds)) {
    if (auto s = c.AskState()) {
      count = s->frame_count;
      pace.tempo = s->tempo;
      pace.beats = s->beats;
      seen.emplace_back(std::chrono::duration<double>(Clock::now() - start).count(), s->frame);
      pace.trace += " " + std::to_string(s->frame) + "@" + std::to_string(seen.back().first).substr(0, 5);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  if (seen.size() < 10 || count < 2) return pace;
  double unwrapped = 0;
  for (size_t i = 1; i < seen.size(); ++i) {
    int step = seen[i].second - seen[i - 1].second;
    if (step < 0) step += count;  // past the end of a pass
    unwrapped += step;
  }
  const double rate = unwrapped / (seen.back().first - seen.front().first);
  if (rate > 0) pace.pass_seconds = count / rate;
  return pace;
}

}  // namespace vl::testing
