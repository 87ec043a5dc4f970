// Test support: a fake simulator on 127.0.0.1 that answers the client library's handshake like the
// real one and then sends whatever the test asks for, garbage included. It accepts one client and
// records every request it decodes, on a background thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/simconnect/wire_protocol.h"

namespace skyhelm::testing {

class FakeSimulator {
 public:
  FakeSimulator();  // listens at once
  ~FakeSimulator();
  FakeSimulator(const FakeSimulator&) = delete;
  FakeSimulator& operator=(const FakeSimulator&) = delete;

  int port() const { return port_; }

  // Writes all of `bytes` to the client. False when there is no client or the write failed.
  bool Send(const std::vector<std::uint8_t>& bytes);
  // Ends the client's connection from this side (both directions).
  void Disconnect();

  // Waits until at least `count` requests have been decoded.
  bool WaitForRequests(std::size_t count, std::chrono::milliseconds timeout);
  // Waits until the client has closed its end (end of stream or reset).
  bool WaitForClientGone(std::chrono::milliseconds timeout);
  std::vector<wire::Request> Requests();

 private:
  void Serve();
  void ReadRequests(std::vector<std::uint8_t>& inbox);

  int listen_fd_ = -1;
  int port_ = 0;
  std::atomic<int> client_fd_{-1};
  std::atomic<bool> stop_{false};
  std::atomic<bool> client_gone_{false};
  std::mutex mutex_;
  std::vector<wire::Request> requests_;
  std::thread thread_;
};

}  // namespace skyhelm::testing
