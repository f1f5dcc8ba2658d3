#include "platform/live/osc_server.h"

#include <lo/lo.h>

#include <cmath>
#include <limits>

namespace vl::live {

namespace {

// liblo reports through a handler without a user pointer; only Start reads what it kept, and
// Start runs on one thread at a time.
std::mutex g_error_mutex;
std::string g_last_error;
int g_last_error_number = 0;
// What liblo reports when it cannot bind the port it was given (it words it for a search).
constexpr int kPortTaken = 9904;

void OnLoError(int num, const char* msg, const char* where) {
  std::lock_guard lock(g_error_mutex);
  g_last_error_number = num;
  g_last_error = std::string(msg ? msg : "error") + (where ? std::string(" (") + where + ")" : "");
}

int OnMessage(const char* path, const char* types, lo_arg** argv, int argc, lo_message msg, void* self) {
  ReceivedMessage m;
  m.message.address = path ? path : "";
  for (int i = 0; i < argc && m.problem.empty(); ++i) {
    const lo_arg& a = *argv[i];
    switch (types[i]) {
      case LO_INT32: m.message.args.emplace_back(a.i); break;
      case LO_FLOAT: m.message.args.emplace_back(a.f); break;
      case LO_DOUBLE: m.message.args.emplace_back(static_cast<float>(a.d)); break;
      case LO_INT64:
        if (a.h < std::numeric_limits<int32_t>::min() || a.h > std::numeric_limits<int32_t>::max())
          m.problem = "a 64-bit number out of range";
        else m.message.args.emplace_back(static_cast<int32_t>(a.h));
        break;
      case LO_STRING:
      case LO_SYMBOL: m.message.args.emplace_back(std::string(&a.s)); break;
      case LO_TRUE: m.message.args.emplace_back(int32_t{1}); break;
      case LO_FALSE: m.message.args.emplace_back(int32_t{0}); break;
      case LO_INFINITUM: m.message.args.emplace_back(std::numeric_limits<float>::infinity()); break;
      default: m.problem = std::string("an argument of OSC type '") + types[i] + "', which no address takes";
    }
  }
  if (lo_address from = lo_message_get_source(msg)) {
    const char* host = lo_address_get_hostname(from);
    const char* port = lo_address_get_port(from);
    m.reply_host = host ? host : "";
    m.reply_port = port ? port : "";
  }
  static_cast<OscServer*>(self)->Queue(std::move(m));
  return 0;  // handled: liblo looks no further
}

}  // namespace

std::unique_ptr<OscServer> OscServer::Start(int port, std::string* error) {
  if (port < 1 || port > 65535) {
    *error = "OSC port " + std::to_string(port) + " is not a port (1 to 65535)";
    return nullptr;
  }
  std::unique_ptr<OscServer> server(new OscServer());
  const std::string text = std::to_string(port);
  {
    std::lock_guard lock(g_error_mutex);
    g_last_error.clear();
    g_last_error_number = 0;
  }
  lo_server_thread st = lo_server_thread_new_with_proto(text.c_str(), LO_UDP, OnLoError);
  if (!st) {
    std::lock_guard lock(g_error_mutex);
    *error = "cannot listen for OSC on UDP port " + text;
    if (g_last_error_number == kPortTaken || g_last_error.empty()) *error += ": another program is using it";
    else *error += ": " + g_last_error;
    return nullptr;
  }
  lo_server_thread_add_method(st, nullptr, nullptr, OnMessage, server.get());
  if (lo_server_thread_start(st) != 0) {
    lo_server_thread_free(st);
    *error = "cannot start the OSC thread for port " + text;
    return nullptr;
  }
  server->thread_ = st;
  server->port_ = lo_server_thread_get_port(st);
  return server;
}

OscServer::~OscServer() {
  if (thread_) {
    auto* st = static_cast<lo_server_thread>(thread_);
    lo_server_thread_stop(st);
    lo_server_thread_free(st);
  }
}

void OscServer::Queue(ReceivedMessage m) {
  std::lock_guard lock(mutex_);
  if (queue_.size() >= kQueueLimit) {
    ++dropped_;
    return;
  }
  queue_.push_back(std::move(m));
}

void OscServer::Take(std::vector<ReceivedMessage>* out) {
  std::lock_guard lock(mutex_);
  for (auto& m : queue_) out->push_back(std::move(m));
  queue_.clear();
}

int64_t OscServer::dropped() const {
  std::lock_guard lock(mutex_);
  return dropped_;
}

bool OscServer::Reply(const ReceivedMessage& to, const LiveMessage& message) {
  if (to.reply_host.empty() || to.reply_port.empty()) return false;
  lo_address a = lo_address_new_with_proto(LO_UDP, to.reply_host.c_str(), to.reply_port.c_str());
  if (!a) return false;
  lo_message m = lo_message_new();
  for (const LiveArg& arg : message.args) {
    if (const auto* i = std::get_if<int32_t>(&arg)) lo_message_add_int32(m, *i);
    else if (const auto* f = std::get_if<float>(&arg)) lo_message_add_float(m, *f);
    else lo_message_add_string(m, std::get<std::string>(arg).c_str());
  }
  const int sent = lo_send_message(a, message.address.c_str(), m);
  lo_message_free(m);
  lo_address_free(a);
  return sent >= 0;
}

}  // namespace vl::live
