// OSC over UDP (liblo): a thread of liblo's own receives messages and queues them as
// LiveMessages with where to answer; the player takes them between frames. The queue is bounded:
// a flood of messages drops the excess and counts it. No Qt, no OpenGL.
#pragma once
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/live/live_message.h"

namespace vl::live {

// One message as it arrived.
struct ReceivedMessage {
  LiveMessage message;
  std::string problem;                 // arguments of a type no address takes: the message is only reported
  std::string reply_host, reply_port;  // the sender's, where an answer goes
};

class OscServer {
 public:
  // Listens on UDP `port` (1 to 65535) on every interface; null with a message that says what is
  // wrong (a port in use among them).
  static std::unique_ptr<OscServer> Start(int port, std::string* error);
  ~OscServer();
  OscServer(const OscServer&) = delete;
  OscServer& operator=(const OscServer&) = delete;

  int port() const { return port_; }
  // Moves what arrived since the last call into `out` (oldest first).
  void Take(std::vector<ReceivedMessage>* out);
  // Sends `message` to where `to` came from. False when it could not be sent.
  bool Reply(const ReceivedMessage& to, const LiveMessage& message);
  // Messages dropped because the queue was full, since the start.
  int64_t dropped() const;

  static constexpr size_t kQueueLimit = 512;

  // Called on liblo's thread for every message received.
  void Queue(ReceivedMessage m);

 private:
  OscServer() = default;

  void* thread_ = nullptr;  // lo_server_thread
  int port_ = 0;
  mutable std::mutex mutex_;
  std::deque<ReceivedMessage> queue_;
  int64_t dropped_ = 0;
};

}  // namespace vl::live
