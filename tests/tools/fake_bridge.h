// A stand-in bridge for the peer tool's tests: a real UDP socket on 127.0.0.1 that remembers
// what it received and answers the latest sender with scripted datagrams.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace skyhelm::peer::testing {

class FakeBridge {
 public:
  // After `ignore_first` datagrams have been received and dropped unanswered, each of the next
  // `max_answers` (all when negative) starts the script again: `script` is sent to the sender
  // in order, then, when `repeat_last`, its last datagram is repeated every millisecond.
  FakeBridge(std::vector<std::string> script, bool repeat_last, int ignore_first = 0,
             int max_answers = -1);
  ~FakeBridge();
  FakeBridge(const FakeBridge&) = delete;
  FakeBridge& operator=(const FakeBridge&) = delete;

  int port() const { return port_; }
  std::string address() const { return "127.0.0.1:" + std::to_string(port_); }
  std::vector<std::string> Received();
  // Stops answering (the socket stays open, so the peer sees silence, not a refusal).
  void FallSilent() { silent_ = true; }

 private:
  void Serve();

  int fd_ = -1;
  int port_ = 0;
  std::vector<std::string> script_;
  bool repeat_last_;
  int ignore_first_;
  int max_answers_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> silent_{false};
  std::mutex mutex_;
  std::vector<std::string> received_;
  std::thread thread_;
};

// The reference line as the bridge sends it, with `altitude_ft` varied to make distinct lines.
std::string TelemetryDatagram(int altitude_ft);

}  // namespace skyhelm::peer::testing
