// Test support: a scripted stand-in simulator on 127.0.0.1. It accepts one client, records every
// request it decodes, answers the open request as scripted, and lets the test write arbitrary
// bytes to the client or drop the connection. Every wait gives up after 5 seconds.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/simconnect/wire_protocol.h"

namespace skyhelm::test_support {

class ScriptedSimServer {
 public:
  // How the server answers the client's open request.
  enum class OpenReply {
    kOpenMessage,   // a proper open message, followed in the same write by `after_open`
    kDisconnect,    // closes the connection
    kException,     // a VERSION_MISMATCH exception message
    kFull,          // TOO_MANY_OBJECTS, as a simulator at its client limit answers
    kGarbage,       // a size field that no message can have
    kWrongMessage,  // a well-formed message that is not the open message
    kNothing,       // never answers
  };

  // Listens on a free loopback port at once; the client is served on a background thread.
  explicit ScriptedSimServer(OpenReply reply = OpenReply::kOpenMessage,
                             std::vector<std::uint8_t> after_open = {});
  ~ScriptedSimServer();
  ScriptedSimServer(const ScriptedSimServer&) = delete;
  ScriptedSimServer& operator=(const ScriptedSimServer&) = delete;

  std::string Address() const { return "127.0.0.1:" + std::to_string(port_); }
  // Stops taking requests off the socket, so that the client's requests pile up.
  void StopReading() { reading_ = false; }
  // Writes all of `bytes` once the client's open has been answered; false if that fails.
  bool Send(const std::vector<std::uint8_t>& bytes);
  // Ends the client's connection (both directions).
  void Disconnect();

  std::vector<wire::Request> Requests();  // every request decoded so far, in arrival order
  std::vector<std::uint8_t> Received();   // every byte received so far
  bool WaitForRequests(std::size_t count) {
    return Eventually([&] { return Requests().size() >= count; });
  }
  bool WaitForClientGone() {
    return Eventually([this] { return client_gone_.load(); });
  }
  bool saw_undecodable_request() const { return undecodable_; }

 private:
  static bool Eventually(const std::function<bool()>& condition);  // polls it for 5 s
  void Serve();
  void Answer(int fd, const wire::Request& open);

  const OpenReply reply_;
  const std::vector<std::uint8_t> after_open_;
  std::uint16_t port_ = 0;
  int listen_fd_ = -1;
  std::atomic<int> client_fd_{-1};
  std::atomic<bool> stop_{false};
  std::atomic<bool> reading_{true};
  std::atomic<bool> client_gone_{false};
  std::atomic<bool> answered_{false};
  std::atomic<bool> undecodable_{false};
  std::mutex mutex_;  // guards requests_ and received_
  std::vector<wire::Request> requests_;
  std::vector<std::uint8_t> received_;
  std::thread server_;
};

}  // namespace skyhelm::test_support
