// Poll loop, accepting, frame production and shutdown of the stand-in simulator's server.
#include "simulator/server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

#include "simulator/flight_model.h"

namespace skyhelm::simulator {
namespace {

constexpr auto kQuitGrace = std::chrono::seconds(1);

ServerLog WithDefaults(ServerLog log) {
  if (!log.out) log.out = [](const std::string&) {};
  if (!log.err) log.err = [](const std::string&) {};
  return log;
}

timespec ToTimespec(std::chrono::nanoseconds wait) {
  if (wait.count() < 0) wait = std::chrono::nanoseconds(0);
  timespec ts{};
  ts.tv_sec = static_cast<time_t>(wait.count() / 1000000000);
  ts.tv_nsec = static_cast<long>(wait.count() % 1000000000);
  return ts;
}

void SetNoDelay(int fd) {
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

}  // namespace

Server::Server(const ServerOptions& options, const World& world, ServerLog log)
    : options_(options), world_(world), log_(WithDefaults(std::move(log))) {}

Server::~Server() {
  connections_.clear();
  if (listen_fd_ >= 0) ::close(listen_fd_);
}

bool Server::Listen(std::string& error) {
  listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (listen_fd_ < 0) {
    error = std::string("socket: ") + std::strerror(errno);
    return false;
  }
  int one = 1;
  ::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(options_.port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listen_fd_, SOMAXCONN) != 0) {
    error =
        "cannot listen on 127.0.0.1:" + std::to_string(options_.port) + ": " + std::strerror(errno);
    return false;
  }
  socklen_t length = sizeof address;
  ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(address.sin_port);
  return true;
}

void Server::Run(const std::atomic<bool>& stop) {
  const auto frame_period = std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>(1.0 / options_.rate_hz));
  auto next_frame = Clock::now() + frame_period;
  while (!stop.load()) {
    PollOnce(next_frame);
    const auto now = Clock::now();
    if (now >= next_frame) {
      RunFrame();
      next_frame += frame_period;
      // After a stall, carry on from now rather than producing a burst of catch-up frames.
      if (next_frame < now) next_frame = now + frame_period;
    }
    Reap();
  }
  SendQuitToAll();
}

void Server::PollOnce(Clock::time_point next_frame) {
  std::vector<pollfd> fds;
  fds.push_back({listen_fd_, POLLIN, 0});
  for (const auto& c : connections_) {
    const short events =
        static_cast<short>((c->WantsInput() ? POLLIN : 0) | (c->WantsOutput() ? POLLOUT : 0));
    fds.push_back({c->fd(), events, 0});
  }
  const timespec timeout = ToTimespec(next_frame - Clock::now());
  // ppoll for sub-millisecond frame timing; EINTR (a signal) simply ends this round.
  if (::ppoll(fds.data(), fds.size(), &timeout, nullptr) <= 0) return;
  // Serve the connections that existed when polling; accepted ones are polled next round.
  const std::size_t polled = fds.size() - 1;
  for (std::size_t i = 0; i < polled; ++i) ServeConnection(*connections_[i], fds[i + 1].revents);
  if (fds[0].revents & POLLIN) AcceptAll();
}

void Server::ServeConnection(Connection& connection, short revents) {
  if (revents & (POLLIN | POLLHUP | POLLERR)) connection.ReadRequests(world_, log_);
  connection.Flush();
  NoteOutbox(connection.outbox());
}

void Server::AcceptAll() {
  for (;;) {
    const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;  // EAGAIN: none left; other errors: try again next round
    if (connections_.size() >= options_.max_clients) {
      ::close(fd);
      log_.err("connection refused: " + std::to_string(options_.max_clients) +
               " clients already connected");
      continue;
    }
    SetNoDelay(fd);
    connections_.push_back(
        std::make_unique<Connection>(fd, next_client_number_++, options_.outbox_limit_bytes));
    stats_.clients.store(connections_.size());
  }
}

void Server::RunFrame() {
  if (!world_.frozen) StepFlightModel(world_.state, options_.time_scale / options_.rate_hz);
  const auto frames_per_second =
      static_cast<std::uint32_t>(std::max(1.0, std::round(options_.rate_hz)));
  for (const auto& c : connections_) {
    if (!c->session().opened() || !c->active()) continue;
    c->session().QueueFrame(world_.state, frame_, frames_per_second, c->outbox());
    c->Flush();
    NoteOutbox(c->outbox());
  }
  ++frame_;
  stats_.frames.store(frame_);
}

void Server::NoteOutbox(const Outbox& outbox) {
  if (outbox.Bytes() > stats_.peak_outbox_bytes.load()) {
    stats_.peak_outbox_bytes.store(outbox.Bytes());
  }
}

void Server::Reap() {
  const auto now = Clock::now();
  auto finished = [&](const std::unique_ptr<Connection>& c) {
    if (!c->dead() && !c->FinishedClosing(now)) return false;
    if (c->session().opened()) {
      log_.out("client " + std::to_string(c->session().client_number()) + " disconnected");
    }
    dropped_closed_ += c->outbox().DroppedMessages();
    return true;
  };
  connections_.erase(std::remove_if(connections_.begin(), connections_.end(), finished),
                     connections_.end());
  std::uint64_t dropped = dropped_closed_;
  for (const auto& c : connections_) dropped += c->outbox().DroppedMessages();
  stats_.dropped_data_messages.store(dropped);
  stats_.clients.store(connections_.size());
}

void Server::SendQuitToAll() {
  for (const auto& c : connections_) {
    if (c->dead() || !c->session().opened()) continue;
    c->outbox().DropPendingData();
    std::vector<std::uint8_t> quit;
    wire::EncodeQuitMessage(c->session().protocol(), quit);
    c->outbox().Push(std::move(quit), false);
  }
  const auto deadline = Clock::now() + kQuitGrace;
  for (;;) {
    std::vector<pollfd> fds;
    for (const auto& c : connections_) {
      c->Flush();
      if (c->WantsOutput()) fds.push_back({c->fd(), POLLOUT, 0});
    }
    if (fds.empty() || Clock::now() >= deadline) break;
    const timespec timeout = ToTimespec(deadline - Clock::now());
    ::ppoll(fds.data(), fds.size(), &timeout, nullptr);
  }
  connections_.clear();
  stats_.clients.store(0);
}

}  // namespace skyhelm::simulator
