// A scripted simulator on 127.0.0.1: one client, every request it decodes recorded, the open
// answered as scripted, arbitrary bytes written or the connection dropped on demand. Waits give up
// after 5 seconds.
#pragma once

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/simconnect/wire_protocol.h"
#include "tests/support/child_process.h"

namespace skyhelm::test_support {

class ScriptedSimServer {
 public:
  // The open is answered with the open message (in the client's version) followed in the same
  // write by `after_open`; or, when not `answer_open`, with `after_open` alone.
  explicit ScriptedSimServer(std::vector<std::uint8_t> after_open = {}, bool answer_open = true)
      : answer_open_(answer_open), after_open_(std::move(after_open)) {
    sockaddr_in address{};
    listen_fd_ = ListenOnLoopback(4, address);
    if (listen_fd_ < 0) throw std::runtime_error("scripted simulator: cannot listen on 127.0.0.1");
    port_ = ntohs(address.sin_port);
    server_ = std::thread([this] { Serve(); });
  }
  ~ScriptedSimServer() {
    stop_ = true;
    shutdown(listen_fd_, SHUT_RDWR);  // wakes a blocked accept
    Disconnect();                     // wakes a blocked receive or send
    server_.join();
    if (client_fd_ >= 0) close(client_fd_);
    close(listen_fd_);
  }
  ScriptedSimServer(const ScriptedSimServer&) = delete;
  ScriptedSimServer& operator=(const ScriptedSimServer&) = delete;

  std::string Address() const { return "127.0.0.1:" + std::to_string(port_); }
  void StopReading() { reading_ = false; }  // the client's requests pile up
  // Writes `bytes` once the open has been answered (the client's open does not wait for the
  // answer, so the bytes could otherwise overtake it).
  bool Send(const std::vector<std::uint8_t>& bytes) {
    return Eventually([this] { return answered_.load(); }) && WriteAll(client_fd_, bytes);
  }
  // Shutdown rather than close: the serving thread may still be using the descriptor.
  void Disconnect() {
    if (client_fd_ >= 0) shutdown(client_fd_, SHUT_RDWR);
  }
  std::vector<wire::Request> Requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }
  bool WaitForRequests(std::size_t count) {
    return Eventually([&] { return Requests().size() >= count; });
  }
  bool WaitForClientGone() {
    return Eventually([this] { return client_gone_.load(); });
  }

 private:
  static bool Eventually(const std::function<bool()>& condition) {
    for (int i = 0; i < 5000 && !condition(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return condition();
  }
  // Whole or failed: a blocking send returns early only on its time-out (SO_SNDTIMEO, 5 s).
  static bool WriteAll(int fd, const std::vector<std::uint8_t>& bytes) {
    return send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
  }
  void Serve() {
    const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return;
    const timeval send_timeout{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &send_timeout, sizeof send_timeout);
    client_fd_ = fd;
    std::vector<std::uint8_t> pending;
    std::uint8_t chunk[4096];
    std::size_t frame = 0;
    while (!stop_) {  // read after client_fd_ is set: the destructor sees one or the other
      if (!reading_) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        continue;
      }
      const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
      if (n <= 0) break;
      pending.insert(pending.end(), chunk, chunk + n);
      while (wire::PeekFrame(pending.data(), pending.size(), wire::kRequestHeaderBytes, frame) ==
             wire::FrameStatus::kComplete) {
        wire::Request request;  // a whole frame always decodes
        if (wire::DecodeRequest(pending.data(), frame, request)) {
          std::lock_guard<std::mutex> lock(mutex_);
          requests_.push_back(request);
        }
        pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(frame));
        if (request.type != wire::RequestType::kOpen) continue;
        std::vector<std::uint8_t> answer;
        if (answer_open_) {
          wire::EncodeOpenMessage(request.protocol, "Scripted Simulator", {}, answer);
        }
        answer.insert(answer.end(), after_open_.begin(), after_open_.end());
        WriteAll(fd, answer);
        answered_ = true;
      }
    }
    client_gone_ = true;
  }
  const bool answer_open_;
  const std::vector<std::uint8_t> after_open_;
  std::uint16_t port_ = 0;
  int listen_fd_ = -1;
  std::atomic<int> client_fd_{-1};
  std::atomic<bool> stop_{false}, reading_{true}, client_gone_{false}, answered_{false};
  std::mutex mutex_;  // guards requests_
  std::vector<wire::Request> requests_;
  std::thread server_;
};

}  // namespace skyhelm::test_support
