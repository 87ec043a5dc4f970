// The stand-in simulator's server run in-process on a thread of the bench, so that the arrival of
// each client event can be stamped where it happens.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

#include "simulator/server.h"

namespace skyhelm::bench {

// Called on the server's thread for each client event it applies ("event NAME DATA"), with the
// monotonic time at which the server reported it.
using EventHandler =
    std::function<void(std::string_view name, std::int64_t data, std::int64_t logged_ns)>;

class SimHost {
 public:
  SimHost() = default;
  ~SimHost();  // stops the server and joins its thread
  SimHost(const SimHost&) = delete;
  SimHost& operator=(const SimHost&) = delete;

  // Starts serving on 127.0.0.1 on a free port with the aircraft frozen (events take effect at
  // once, nothing else moves), producing frames at rate_hz. False with the reason in `error`.
  bool Start(double rate_hz, EventHandler on_event, std::string& error);
  std::uint16_t port() const { return port_; }
  std::uint64_t frames() const;

 private:
  std::unique_ptr<simulator::Server> server_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::uint16_t port_ = 0;
};

}  // namespace skyhelm::bench
