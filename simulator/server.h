// The stand-in simulator's server: a single-threaded poll loop that accepts clients on a loopback
// TCP port, handles their requests and produces a simulation frame every 1/rate seconds.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "simulator/client_session.h"
#include "simulator/connection.h"

namespace skyhelm::simulator {

struct ServerOptions {
  std::uint16_t port = 47000;                   // 0 picks a free port
  double rate_hz = 60.0;                        // frames per real second
  double time_scale = 1.0;                      // simulated seconds per real second
  std::size_t outbox_limit_bytes = 256 * 1024;  // per client, before data messages are dropped
  std::size_t max_clients = 64;  // further connections are refused with a reason (see Connection)
  std::size_t max_refusing =
      16;  // refusals in progress at once; beyond, a connection is just closed
  std::chrono::milliseconds handshake_timeout{5000};  // for a connection to send its Open
  // A descriptor whose lines "pause" and "resume" pause the simulation (skyhelm-sim: standard
  // input); -1 for none. Read without waiting; its end is simply no more control.
  int control_fd = -1;
  std::chrono::seconds unmapped_report_period{10};
};

// Figures readable from any thread while the server runs (tests and benchmarks).
struct ServerStats {
  std::atomic<std::uint64_t> frames{0};
  std::atomic<std::size_t> clients{0};
  std::atomic<std::size_t> peak_outbox_bytes{0};  // the largest queue any client has had
  std::atomic<std::uint64_t> dropped_data_messages{0};
};

class Server {
 public:
  Server(const ServerOptions& options, const World& world, ServerLog log);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Binds 127.0.0.1:port and listens. False with the reason in `error`.
  bool Listen(std::string& error);
  // The bound port (the real one when 0 was asked for); valid after Listen.
  std::uint16_t port() const { return port_; }

  // Serves until `stop` turns true (checked at least once per frame), then sends every client a
  // QUIT message, gives them up to a second to take it, and closes everything. Single-threaded;
  // `stop` may be set from a signal handler or another thread.
  void Run(const std::atomic<bool>& stop);

  const ServerStats& stats() const { return stats_; }

 private:
  using Clock = std::chrono::steady_clock;

  void PollOnce(Clock::time_point next_frame);
  void AcceptAll();
  void Admit(int fd);
  void ReadControl();
  void DeliverTransmitted();
  void ReportUnmapped(bool final_report);
  void RunFrame();
  void ServeConnection(Connection& connection, short revents);
  void Reap();
  void SendQuitToAll();
  void NoteOutbox(const Outbox& outbox);

  ServerOptions options_;
  World world_;
  ServerLog log_;
  int listen_fd_ = -1;
  std::uint16_t port_ = 0;
  int next_client_number_ = 1;
  std::uint64_t frame_ = 0;
  double sim_time_s_ = 0.0;
  Clock::time_point accept_resume_{};  // after EMFILE, accepting waits until then
  std::string control_line_;
  std::uint64_t unmapped_reported_ = 0;
  Clock::time_point next_unmapped_report_{};
  std::uint64_t dropped_closed_ = 0;  // data messages dropped for clients already gone
  std::vector<std::unique_ptr<Connection>> connections_;
  ServerStats stats_;
};

}  // namespace skyhelm::simulator
