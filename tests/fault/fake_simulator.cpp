// Test support: the fake simulator.
#include "tests/fault/fake_simulator.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace skyhelm::testing {

FakeSimulator::FakeSimulator() {
  listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
  listen(listen_fd_, 4);
  getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(address.sin_port);
  thread_ = std::thread([this] { Serve(); });
}

FakeSimulator::~FakeSimulator() {
  stop_ = true;
  thread_.join();
  if (client_fd_ >= 0) close(client_fd_);
  close(listen_fd_);
}

void FakeSimulator::Serve() {
  pollfd accept_ready{listen_fd_, POLLIN, 0};
  while (!stop_ && poll(&accept_ready, 1, 20) <= 0) {
  }
  if (stop_) return;
  client_fd_ = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
  std::vector<std::uint8_t> inbox;
  while (!stop_ && !client_gone_) {
    const int fd = client_fd_;
    if (fd < 0) break;
    pollfd readable{fd, POLLIN, 0};
    if (poll(&readable, 1, 20) <= 0) continue;
    std::uint8_t buffer[4096];
    const ssize_t n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
      client_gone_ = true;
      break;
    }
    if (n > 0) {
      inbox.insert(inbox.end(), buffer, buffer + n);
      ReadRequests(inbox);
    }
  }
}

void FakeSimulator::ReadRequests(std::vector<std::uint8_t>& inbox) {
  std::size_t at = 0;
  std::size_t size = 0;
  while (wire::PeekFrame(inbox.data() + at, inbox.size() - at, wire::kRequestHeaderBytes, size) ==
         wire::FrameStatus::kComplete) {
    wire::Request request;
    if (wire::DecodeRequest(inbox.data() + at, size, request)) {
      if (request.type == wire::RequestType::kOpen) {
        std::vector<std::uint8_t> answer;
        wire::EncodeOpenMessage("Fake simulator", answer);
        Send(answer);
      }
      std::lock_guard<std::mutex> lock(mutex_);
      requests_.push_back(request);
    }
    at += size;
  }
  inbox.erase(inbox.begin(), inbox.begin() + static_cast<std::ptrdiff_t>(at));
}

bool FakeSimulator::Send(const std::vector<std::uint8_t>& bytes) {
  const int fd = client_fd_;
  if (fd < 0) return false;
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

void FakeSimulator::Disconnect() {
  // Only a shutdown here: the reading thread may be polling the socket; the destructor closes it.
  const int fd = client_fd_;
  if (fd >= 0) shutdown(fd, SHUT_RDWR);
}

bool FakeSimulator::WaitForRequests(std::size_t count, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (Requests().size() >= count) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

bool FakeSimulator::WaitForClientGone(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!client_gone_) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

std::vector<wire::Request> FakeSimulator::Requests() {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

}  // namespace skyhelm::testing
