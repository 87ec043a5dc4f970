// Test support: a scripted stand-in simulator on 127.0.0.1. It accepts one client, decodes and
// records every request it sends, answers the open request as scripted, and lets the test write
// arbitrary bytes to the client or drop the connection.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/simconnect/wire_protocol.h"

namespace skyhelm::testing {

class ScriptedSimServer {
 public:
  // How the server answers the client's open request.
  enum class OpenReply {
    kOpenMessage,   // a proper open message (plus whatever SetAfterOpen queued)
    kDisconnect,    // closes the connection
    kException,     // a VERSION_MISMATCH exception message
    kGarbage,       // a size field that no message can have
    kWrongMessage,  // a well-formed message that is not the open message
    kNothing,       // never answers
  };

  // Listens on a free loopback port at once; the client is accepted on a background thread.
  explicit ScriptedSimServer(OpenReply reply = OpenReply::kOpenMessage);
  ~ScriptedSimServer();
  ScriptedSimServer(const ScriptedSimServer&) = delete;
  ScriptedSimServer& operator=(const ScriptedSimServer&) = delete;

  std::uint16_t port() const { return port_; }
  std::string Address() const;  // "127.0.0.1:<port>"

  // Bytes sent in the same write as the open message.
  void SetAfterOpen(std::vector<std::uint8_t> bytes) { after_open_ = std::move(bytes); }
  // Stops taking requests off the socket (before the client connects), with a small receive
  // buffer, so that the client's requests pile up.
  void StopReading();

  // Writes all of `bytes` to the connected client (waits for the client to connect first).
  // False if that did not happen within a few seconds or the write failed.
  bool Send(const std::vector<std::uint8_t>& bytes);
  // Closes the client's connection.
  void Disconnect();
  // Writes `message` to the client over and over until StopFlood or the client goes away.
  void StartFlood(std::vector<std::uint8_t> message);
  void StopFlood();

  // Every request decoded so far, in arrival order.
  std::vector<wire::Request> Requests();
  // Waits until at least `count` requests have arrived.
  bool WaitForRequests(std::size_t count, std::chrono::milliseconds timeout);
  // Waits until the client has closed its end.
  bool WaitForClientGone(std::chrono::milliseconds timeout);
  bool saw_undecodable_request() const { return undecodable_; }

 private:
  void Serve();
  bool AcceptClient();
  void ReadRequests();
  void HandleRequest(const wire::Request& request);
  void Answer(const wire::Request& open);
  // Gives up after 5 s without progress, or when a flood write finds the flood stopped.
  bool WriteAll(const std::uint8_t* data, std::size_t size, bool flood);
  bool WaitForClient(std::chrono::milliseconds timeout);

  const OpenReply reply_;
  std::vector<std::uint8_t> after_open_;
  std::uint16_t port_ = 0;
  int listen_fd_ = -1;
  std::atomic<int> client_fd_{-1};
  std::atomic<bool> stop_{false};
  std::atomic<bool> reading_{true};
  std::atomic<bool> client_gone_{false};
  std::atomic<bool> undecodable_{false};
  std::atomic<bool> flooding_{false};

  std::mutex write_mutex_;  // one writer at a time on the client socket
  std::mutex requests_mutex_;
  std::vector<wire::Request> requests_;
  std::thread server_;
  std::thread flood_;
};

}  // namespace skyhelm::testing
