// One client's socket: reading and framing its requests, writing its outbox.
#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

#include "simulator/client_session.h"
#include "simulator/outbox.h"

namespace skyhelm::simulator {

class Connection {
 public:
  // Takes ownership of `fd`, a connected non-blocking TCP socket, and closes it on destruction.
  // An over-the-limit connection only gets its refusal (see ClientSession).
  Connection(int fd, int client_number, std::size_t outbox_limit_bytes, bool over_limit = false);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  int fd() const { return fd_; }
  ClientSession& session() { return session_; }
  Outbox& outbox() { return outbox_; }

  // Reads what is pending (one bounded read) and handles every whole request in it. Never blocks.
  // A broken stream (bad size field, undecodable request, read error, end of stream) ends the
  // connection: dead() turns true.
  void ReadRequests(World& world, const ServerLog& log);
  // Writes as much of the outbox as the socket takes now. Never blocks.
  void Flush();

  // Whether poll should wait for requests: not while closing, nor while the outbox is over its
  // limit (so a client that does not read cannot make the server queue unbounded answers).
  bool WantsInput() const { return !dead_ && !closing_ && !outbox_.OverLimit(); }
  bool WantsOutput() const { return !dead_ && !outbox_.Empty(); }

  // Stops reading; the connection ends once the outbox is sent or the deadline has passed.
  void BeginClosing(std::chrono::steady_clock::time_point deadline);
  bool dead() const { return dead_; }
  // Neither dead nor closing: its requests are served and its data requests produce messages.
  bool active() const { return !dead_ && !closing_; }
  // True once a closing connection has nothing left to send or ran out of time.
  bool FinishedClosing(std::chrono::steady_clock::time_point now) const;

  // Ends a connection that has not opened its session by `deadline` after being accepted.
  void EnforceHandshake(std::chrono::steady_clock::time_point now,
                        std::chrono::steady_clock::duration deadline, const ServerLog& log);

 private:
  void HandleFrames(World& world, const ServerLog& log);
  void Drop(const ServerLog& log, const char* why);

  int fd_;
  ClientSession session_;
  Outbox outbox_;
  std::vector<std::uint8_t> inbox_;
  bool dead_ = false;
  bool closing_ = false;
  std::chrono::steady_clock::time_point closing_deadline_;
  std::chrono::steady_clock::time_point accepted_ = std::chrono::steady_clock::now();
};

}  // namespace skyhelm::simulator
