// Non-blocking request framing and outbox writing for one client socket.
#include "simulator/connection.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace skyhelm::simulator {
namespace {

// One read per poll round: keeps a flooding client from starving the frame loop and bounds the
// answers one round can queue.
constexpr std::size_t kReadChunkBytes = 64 * 1024;

}  // namespace

Connection::Connection(int fd, int client_number, std::size_t outbox_limit_bytes, bool over_limit)
    : fd_(fd), session_(client_number, over_limit), outbox_(outbox_limit_bytes) {}

Connection::~Connection() { ::close(fd_); }

void Connection::ReadRequests(World& world, const ServerLog& log) {
  const std::size_t at = inbox_.size();
  inbox_.resize(at + kReadChunkBytes);
  const ssize_t n = ::recv(fd_, inbox_.data() + at, kReadChunkBytes, 0);
  inbox_.resize(at + (n > 0 ? static_cast<std::size_t>(n) : 0));
  if (n == 0) {
    dead_ = true;  // the client closed its end
    return;
  }
  if (n < 0) {
    if (errno == ECONNRESET) {
      dead_ = true;
    } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      Drop(log, "read failed");
    }
    return;
  }
  HandleFrames(world, log);
}

void Connection::HandleFrames(World& world, const ServerLog& log) {
  std::size_t offset = 0;
  while (!dead_ && !closing_) {
    std::size_t frame_size = 0;
    const wire::FrameStatus status = wire::PeekFrame(inbox_.data() + offset, inbox_.size() - offset,
                                                     wire::kRequestHeaderBytes, frame_size);
    if (status == wire::FrameStatus::kIncomplete) break;
    wire::Request request;
    if (status == wire::FrameStatus::kBroken ||
        !wire::DecodeRequest(inbox_.data() + offset, frame_size, request)) {
      Drop(log, "malformed request");
      return;
    }
    offset += frame_size;
    if (session_.Handle(request, world, outbox_, log) == ClientSession::Verdict::kClose) {
      BeginClosing(std::chrono::steady_clock::now() + std::chrono::seconds(2));
    }
  }
  inbox_.erase(inbox_.begin(), inbox_.begin() + static_cast<std::ptrdiff_t>(offset));
}

void Connection::Flush() {
  while (!dead_ && !outbox_.Empty()) {
    const ssize_t n = ::send(fd_, outbox_.FrontData(), outbox_.FrontSize(), MSG_NOSIGNAL);
    if (n > 0) {
      outbox_.Consume(static_cast<std::size_t>(n));
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
      return;
    } else {
      dead_ = true;  // the peer has gone; the read side reports it
    }
  }
}

void Connection::BeginClosing(std::chrono::steady_clock::time_point deadline) {
  closing_ = true;
  closing_deadline_ = deadline;
}

bool Connection::FinishedClosing(std::chrono::steady_clock::time_point now) const {
  return closing_ && (outbox_.Empty() || now >= closing_deadline_);
}

void Connection::EnforceHandshake(std::chrono::steady_clock::time_point now,
                                  std::chrono::steady_clock::duration deadline,
                                  const ServerLog& log) {
  if (dead_ || closing_ || session_.opened() || now - accepted_ < deadline) return;
  Drop(log, "no open request in time");
}

void Connection::Drop(const ServerLog& log, const char* why) {
  dead_ = true;
  log.err("client " + std::to_string(session_.client_number()) + " dropped: " + why);
}

}  // namespace skyhelm::simulator
