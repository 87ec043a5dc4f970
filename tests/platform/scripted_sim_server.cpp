// Test support: the scripted loopback stand-in simulator.
#include "tests/platform/scripted_sim_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>

namespace skyhelm::test_support {
namespace {

constexpr std::uint32_t kVersionMismatch = 5;  // SIMCONNECT_EXCEPTION_VERSION_MISMATCH
constexpr std::uint32_t kTooManyObjects = 11;  // SIMCONNECT_EXCEPTION_TOO_MANY_OBJECTS

// Blocking writes; a send that makes no progress for 5 s fails (SO_SNDTIMEO on the socket).
bool WriteAll(int fd, const std::vector<std::uint8_t>& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

ScriptedSimServer::ScriptedSimServer(OpenReply reply, std::vector<std::uint8_t> after_open)
    : reply_(reply), after_open_(std::move(after_open)) {
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
  stop_ = true;
  shutdown(listen_fd_, SHUT_RDWR);  // wakes a blocked accept
  Disconnect();                     // wakes a blocked receive or send
  server_.join();
  if (client_fd_ >= 0) close(client_fd_);
  close(listen_fd_);
}

void ScriptedSimServer::Serve() {
  const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return;
  const timeval send_timeout{5, 0};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &send_timeout, sizeof send_timeout);
  client_fd_ = fd;
  std::vector<std::uint8_t> pending;
  std::uint8_t chunk[4096];
  while (!stop_) {  // stop_ is read after client_fd_ is set: the destructor sees one or the other
    if (!reading_) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;
    }
    const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) break;
    pending.insert(pending.end(), chunk, chunk + n);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      received_.insert(received_.end(), chunk, chunk + n);
    }
    std::size_t frame = 0;
    while (wire::PeekFrame(pending.data(), pending.size(), wire::kRequestHeaderBytes, frame) ==
           wire::FrameStatus::kComplete) {
      wire::Request request;
      if (wire::DecodeRequest(pending.data(), frame, request)) {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(request);
      } else {
        undecodable_ = true;
      }
      pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(frame));
      if (request.type == wire::RequestType::kOpen) Answer(fd, request);
    }
  }
  client_gone_ = true;
}

void ScriptedSimServer::Answer(int fd, const wire::Request& open) {
  std::vector<std::uint8_t> bytes;  // stays empty for kNothing
  if (reply_ == OpenReply::kDisconnect) return Disconnect();
  if (reply_ == OpenReply::kOpenMessage) {
    wire::EncodeOpenMessage(open.protocol, "Scripted Simulator", {}, bytes);
    bytes.insert(bytes.end(), after_open_.begin(), after_open_.end());
  }
  if (reply_ == OpenReply::kException) {
    wire::EncodeExceptionMessage(open.protocol, kVersionMismatch, open.send_id, 0, bytes);
  }
  if (reply_ == OpenReply::kFull) {
    wire::EncodeExceptionMessage(open.protocol, kTooManyObjects, open.send_id, 0, bytes);
  }
  if (reply_ == OpenReply::kGarbage) bytes = {5, 0, 0, 0, 'j', 'u', 'n', 'k', 0, 0, 0, 0};
  if (reply_ == OpenReply::kWrongMessage) wire::EncodeQuitMessage(open.protocol, bytes);
  WriteAll(fd, bytes);
  answered_ = true;
}

bool ScriptedSimServer::Send(const std::vector<std::uint8_t>& bytes) {
  // A simulator answers the open first; the client's open no longer waits for that answer, so a
  // test's bytes could otherwise overtake it.
  return Eventually([this] { return answered_.load(); }) && WriteAll(client_fd_, bytes);
}

void ScriptedSimServer::Disconnect() {
  // shutdown rather than close: the serving thread may still be using this descriptor.
  if (client_fd_ >= 0) shutdown(client_fd_, SHUT_RDWR);
}

std::vector<std::uint8_t> ScriptedSimServer::Received() {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

std::vector<wire::Request> ScriptedSimServer::Requests() {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

bool ScriptedSimServer::Eventually(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace skyhelm::test_support
