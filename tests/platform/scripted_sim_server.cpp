// Test support: the scripted loopback stand-in simulator.
#include "tests/platform/scripted_sim_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace skyhelm::testing {
namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

constexpr int kPollMs = 20;
constexpr std::uint32_t kVersionMismatch = 5;  // SIMCONNECT_EXCEPTION_VERSION_MISMATCH

bool PollFor(int fd, short events, int timeout_ms) {
  pollfd entry{fd, events, 0};
  return poll(&entry, 1, timeout_ms) > 0;
}

}  // namespace

ScriptedSimServer::ScriptedSimServer(OpenReply reply) : reply_(reply) {
  listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (listen_fd_ < 0 || bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      listen(listen_fd_, 4) != 0 ||
      getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    throw std::runtime_error("scripted simulator: cannot listen on 127.0.0.1");
  }
  port_ = ntohs(address.sin_port);
  server_ = std::thread([this] { Serve(); });
}

ScriptedSimServer::~ScriptedSimServer() {
  StopFlood();
  stop_ = true;
  server_.join();
  const int fd = client_fd_.exchange(-1);
  if (fd >= 0) close(fd);
  close(listen_fd_);
}

std::string ScriptedSimServer::Address() const { return "127.0.0.1:" + std::to_string(port_); }

void ScriptedSimServer::StopReading() {
  reading_ = false;
  int bytes = 4096;
  setsockopt(listen_fd_, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
}

void ScriptedSimServer::Serve() {
  if (!AcceptClient()) return;
  ReadRequests();
}

bool ScriptedSimServer::AcceptClient() {
  while (!stop_) {
    if (!PollFor(listen_fd_, POLLIN, kPollMs)) continue;
    const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) {
      client_fd_ = fd;
      return true;
    }
  }
  return false;
}

void ScriptedSimServer::ReadRequests() {
  std::vector<std::uint8_t> pending;
  std::uint8_t chunk[4096];
  while (!stop_) {
    const int fd = client_fd_;
    if (!reading_ || fd < 0 || !PollFor(fd, POLLIN, kPollMs)) {
      if (!reading_) std::this_thread::sleep_for(milliseconds(kPollMs));
      continue;
    }
    const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) {
      client_gone_ = true;
      return;
    }
    pending.insert(pending.end(), chunk, chunk + n);
    std::size_t frame = 0;
    while (wire::PeekFrame(pending.data(), pending.size(), wire::kRequestHeaderBytes, frame) ==
           wire::FrameStatus::kComplete) {
      wire::Request request;
      if (wire::DecodeRequest(pending.data(), frame, request)) {
        HandleRequest(request);
      } else {
        undecodable_ = true;
      }
      pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(frame));
    }
  }
}

void ScriptedSimServer::HandleRequest(const wire::Request& request) {
  {
    std::lock_guard<std::mutex> lock(requests_mutex_);
    requests_.push_back(request);
  }
  if (request.type == wire::RequestType::kOpen) Answer(request);
}

void ScriptedSimServer::Answer(const wire::Request& open) {
  std::vector<std::uint8_t> bytes;
  switch (reply_) {
    case OpenReply::kOpenMessage:
      wire::EncodeOpenMessage("Scripted Simulator", bytes);
      bytes.insert(bytes.end(), after_open_.begin(), after_open_.end());
      break;
    case OpenReply::kDisconnect:
      Disconnect();
      return;
    case OpenReply::kException:
      wire::EncodeExceptionMessage(kVersionMismatch, open.send_id, 0, bytes);
      break;
    case OpenReply::kGarbage:
      bytes = {5, 0, 0, 0, 'j', 'u', 'n', 'k', 0, 0, 0, 0, 0, 0, 0, 0};
      break;
    case OpenReply::kWrongMessage:
      wire::EncodeQuitMessage(bytes);
      break;
    case OpenReply::kNothing:
      return;
  }
  WriteAll(bytes.data(), bytes.size(), false);
}

bool ScriptedSimServer::WaitForClient(milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (client_fd_ < 0 && !client_gone_) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(milliseconds(1));
  }
  return client_fd_ >= 0;
}

bool ScriptedSimServer::WriteAll(const std::uint8_t* data, std::size_t size, bool flood) {
  std::lock_guard<std::mutex> lock(write_mutex_);
  const int fd = client_fd_;
  auto give_up_at = Clock::now() + milliseconds(5000);
  while (size > 0 && fd >= 0) {
    if (stop_ || (flood && !flooding_) || Clock::now() > give_up_at) return false;
    if (!PollFor(fd, POLLOUT, kPollMs)) continue;
    const ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
    give_up_at = Clock::now() + milliseconds(5000);
  }
  return size == 0;
}

bool ScriptedSimServer::Send(const std::vector<std::uint8_t>& bytes) {
  return WaitForClient(milliseconds(5000)) && WriteAll(bytes.data(), bytes.size(), false);
}

void ScriptedSimServer::Disconnect() {
  const int fd = client_fd_;
  // shutdown rather than close: the reading thread may still be polling this descriptor.
  if (fd >= 0) shutdown(fd, SHUT_RDWR);
}

void ScriptedSimServer::StartFlood(std::vector<std::uint8_t> message) {
  flooding_ = true;
  flood_ = std::thread([this, message] {
    std::vector<std::uint8_t> burst;
    for (int i = 0; i < 64; ++i) burst.insert(burst.end(), message.begin(), message.end());
    if (!WaitForClient(milliseconds(5000))) return;
    while (flooding_ && WriteAll(burst.data(), burst.size(), true)) {
    }
  });
}

void ScriptedSimServer::StopFlood() {
  flooding_ = false;
  if (flood_.joinable()) flood_.join();
}

std::vector<wire::Request> ScriptedSimServer::Requests() {
  std::lock_guard<std::mutex> lock(requests_mutex_);
  return requests_;
}

bool ScriptedSimServer::WaitForRequests(std::size_t count, milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (Requests().size() < count) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(milliseconds(1));
  }
  return true;
}

bool ScriptedSimServer::WaitForClientGone(milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (!client_gone_) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(milliseconds(1));
  }
  return true;
}

}  // namespace skyhelm::testing
