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
    ReportUnmapped(false);
  }
  ReportUnmapped(true);
  SendQuitToAll();
}

void Server::PollOnce(Clock::time_point next_frame) {
  std::vector<pollfd> fds;
  const bool accepting = Clock::now() >= accept_resume_;
  fds.push_back({accepting ? listen_fd_ : -1, POLLIN, 0});
  fds.push_back({options_.control_fd, POLLIN, 0});
  for (const auto& c : connections_) {
    const short events =
        static_cast<short>((c->WantsInput() ? POLLIN : 0) | (c->WantsOutput() ? POLLOUT : 0));
    fds.push_back({c->fd(), events, 0});
  }
  auto until = next_frame;
  if (!accepting && accept_resume_ < until) until = accept_resume_;
  const timespec timeout = ToTimespec(until - Clock::now());
  // ppoll for sub-millisecond frame timing; EINTR (a signal) simply ends this round.
  if (::ppoll(fds.data(), fds.size(), &timeout, nullptr) <= 0) return;
  // Serve the connections that existed when polling; accepted ones are polled next round.
  constexpr std::size_t kFirst = 2;
  const std::size_t polled = fds.size() - kFirst;
  for (std::size_t i = 0; i < polled; ++i) {
    ServeConnection(*connections_[i], fds[i + kFirst].revents);
    DeliverTransmitted();
  }
  if (fds[1].revents != 0) ReadControl();
  if (fds[0].revents & POLLIN) AcceptAll();
}

void Server::ServeConnection(Connection& connection, short revents) {
  if (revents & (POLLIN | POLLHUP | POLLERR)) connection.ReadRequests(world_, log_);
  connection.Flush();
  NoteOutbox(connection.outbox());
}

void Server::DeliverTransmitted() {
  if (world_.transmitted.empty()) return;
  for (const TransmittedEvent& event : world_.transmitted) {
    for (const auto& c : connections_) {
      if (c->active()) c->session().DeliverEvent(event, c->outbox());
    }
  }
  world_.transmitted.clear();
  for (const auto& c : connections_) {
    c->Flush();
    NoteOutbox(c->outbox());
  }
}

void Server::ReadControl() {
  char chunk[256];
  const ssize_t n = ::read(options_.control_fd, chunk, sizeof chunk);
  if (n <= 0) {
    if (n == 0 || (errno != EAGAIN && errno != EINTR)) options_.control_fd = -1;
    return;
  }
  control_line_.append(chunk, static_cast<std::size_t>(n));
  for (std::size_t end; (end = control_line_.find('\n')) != std::string::npos;) {
    std::string line = control_line_.substr(0, end);
    control_line_.erase(0, end + 1);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line == "pause" || line == "resume") {
      world_.paused = line == "pause";
      log_.out(world_.paused ? "paused" : "resumed");
    } else if (!line.empty()) {
      log_.err("unknown control line \"" + line.substr(0, 40) + "\" (pause, resume)");
    }
  }
  if (control_line_.size() > 1024) control_line_.clear();  // no line that long is a command
}

void Server::AcceptAll() {
  Reap();  // a slot frees as soon as its connection has closed, not a round later
  for (;;) {
    const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      // Out of descriptors: the pending connection stays queued and the listening socket stays
      // readable, so retrying at once would spin. Wait a little instead.
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        accept_resume_ = Clock::now() + std::chrono::milliseconds(100);
      }
      return;
    }
    Admit(fd);
  }
}

void Server::Admit(int fd) {
  std::size_t clients = 0;
  std::size_t refusing = 0;
  for (const auto& c : connections_) ++(c->session().over_limit() ? refusing : clients);
  const bool over_limit = clients >= options_.max_clients;
  if (over_limit) {
    log_.err("connection refused: " + std::to_string(options_.max_clients) +
             " clients already connected");
    if (refusing >= options_.max_refusing) {
      ::close(fd);
      return;
    }
  }
  SetNoDelay(fd);
  connections_.push_back(std::make_unique<Connection>(fd, next_client_number_++,
                                                      options_.outbox_limit_bytes, over_limit));
  stats_.clients.store(clients + (over_limit ? 0 : 1));
}

void Server::RunFrame() {
  if (!world_.paused) {
    if (!world_.frozen) StepFlightModel(world_.state, options_.time_scale / options_.rate_hz);
    sim_time_s_ += options_.time_scale / options_.rate_hz;
  }
  FrameTick tick;
  tick.frame = frame_;
  tick.frames_per_second = static_cast<std::uint32_t>(std::max(1.0, std::round(options_.rate_hz)));
  tick.sim_time_s = sim_time_s_;
  tick.rate_hz = static_cast<float>(options_.rate_hz);
  tick.time_scale = static_cast<float>(options_.time_scale);
  for (const auto& c : connections_) {
    if (!c->session().opened() || !c->active()) continue;
    c->session().QueueFrame(world_, tick, c->outbox());
    c->Flush();
    NoteOutbox(c->outbox());
  }
  ++frame_;
  stats_.frames.store(frame_);
}

void Server::ReportUnmapped(bool final_report) {
  const auto now = Clock::now();
  if (!final_report && now < next_unmapped_report_) return;
  next_unmapped_report_ = now + options_.unmapped_report_period;
  const std::uint64_t fresh = world_.unmapped_transmits - unmapped_reported_;
  if (fresh == 0) return;
  unmapped_reported_ = world_.unmapped_transmits;
  log_.err(std::to_string(fresh) + " transmits of unmapped event ids" +
           (final_report ? " at the end"
                         : " in the last " +
                               std::to_string(options_.unmapped_report_period.count()) + " s") +
           ", each answered with UNRECOGNIZED_ID");
}

void Server::NoteOutbox(const Outbox& outbox) {
  if (outbox.Bytes() > stats_.peak_outbox_bytes.load()) {
    stats_.peak_outbox_bytes.store(outbox.Bytes());
  }
}

void Server::Reap() {
  const auto now = Clock::now();
  for (const auto& c : connections_) c->EnforceHandshake(now, options_.handshake_timeout, log_);
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
  std::size_t clients = 0;
  for (const auto& c : connections_) clients += c->session().over_limit() ? 0 : 1;
  stats_.clients.store(clients);
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
