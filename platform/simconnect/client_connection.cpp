// The client library's connection: handshake, non-blocking request flushing and framing
// of the simulator's messages.
#include "platform/simconnect/client_connection.h"

#include <SimConnect.h>  // the exception codes; after the socket layer, as in simconnect_client.cpp

#include <algorithm>
#include <chrono>
#include <cstring>

#include "platform/net/resolve_ipv4.h"

namespace skyhelm::simconnect {
namespace {

using Clock = std::chrono::steady_clock;

// Close waits at most this long for the socket to take the pending requests.
constexpr int kCloseFlushMs = 100;
// Enough for the start-up requests and any burst of events without growing.
constexpr std::size_t kInitialOutgoingBytes = 64 * 1024;

int RemainingMs(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

ClientConnection::ClientConnection() = default;

ClientConnection::~ClientConnection() { net::Close(socket_); }

bool ClientConnection::Open(const SimAddress& address, std::uint32_t protocol,
                            const std::string& client_name, std::string& why) {
  where_ = ShownValue(address.host) + ":" + std::to_string(address.port);
  outgoing_.reserve(kInitialOutgoingBytes);
  sockaddr_in resolved;
  if (!net::ResolveIpv4(address.host.c_str(), address.port, resolved)) {
    why = "the name " + ShownValue(address.host) + " does not resolve to an IPv4 address";
    return false;
  }
  socket_ = net::ConnectTcp(address.host.c_str(), address.port, kOpenBudgetMs);
  if (socket_ == net::kInvalidSocket) {
    why = "no simulator is listening at " + where_;
    return false;
  }
  state_ = State::kOpen;
  protocol_ = protocol;
  wire::OpenRequest request;
  request.client_name = client_name;
  wire::EncodeOpen(request, protocol_, NextSendId(), outgoing_);
  // A fresh socket's buffer takes the request whole; should it not, the rest goes with the next
  // call, like any request.
  Flush();
  awaiting_open_ = true;
  answer_deadline_ = Clock::now() + std::chrono::milliseconds(kAnswerBudgetMs);
  return true;
}

bool ClientConnection::FlushWithin(int budget_ms) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(budget_ms);
  for (;;) {
    if (!Flush()) return false;
    if (outgoing_.empty()) return true;
    const int left = RemainingMs(deadline);
    if (left <= 0) return false;
    net::WaitForWritable(socket_, left);
  }
}

bool ClientConnection::AcceptsFirstMessage(const std::uint8_t* message, std::size_t size) {
  const std::uint32_t id = wire::GetU32(message + 8);
  if (id == wire::kRecvIdOpen) {
    awaiting_open_ = false;
    return true;
  }
  if (id == wire::kRecvIdException && size >= 16) {
    // The protocol has no "too many clients" code: a simulator at its limit answers the open with
    // TOO_MANY_OBJECTS, which is the one refusal a user can act on, so it is said in words.
    const std::uint32_t exception = wire::GetU32(message + 12);
    FailHandshake(exception == SIMCONNECT_EXCEPTION_TOO_MANY_OBJECTS
                      ? std::string("the simulator refused: too many clients")
                      : "the simulator refused the connection, exception " +
                            std::to_string(exception));
  } else if (id == wire::kRecvIdQuit) {
    FailHandshake("the simulator closed the connection during the handshake");
  } else {
    FailHandshake("the simulator answered with message " + std::to_string(id) + " instead of open");
  }
  return false;
}

void ClientConnection::FailHandshake(const std::string& why) {
  awaiting_open_ = false;
  handshake_failure_ = why + " (" + where_ + ")";
}

bool ClientConnection::Flush() {
  if (state_ != State::kOpen) return false;
  while (outgoing_sent_ < outgoing_.size()) {
    const long n = net::SendSome(socket_, outgoing_.data() + outgoing_sent_,
                                 outgoing_.size() - outgoing_sent_);
    if (n < 0) {
      state_ = State::kBroken;
      return false;
    }
    if (n == 0) break;
    outgoing_sent_ += static_cast<std::size_t>(n);
  }
  if (outgoing_sent_ == outgoing_.size()) {
    outgoing_.clear();  // keeps the capacity: no allocation in the steady state
    outgoing_sent_ = 0;
    return true;
  }
  if (outgoing_.size() - outgoing_sent_ > kMaxOutgoingBytes) {
    state_ = State::kBroken;
    return false;
  }
  // Drop the sent prefix only once it is at least half the buffer, so a slow reader costs
  // amortised constant work per byte instead of a move per request.
  if (outgoing_sent_ >= outgoing_.size() / 2) {
    outgoing_.erase(outgoing_.begin(),
                    outgoing_.begin() + static_cast<std::ptrdiff_t>(outgoing_sent_));
    outgoing_sent_ = 0;
  }
  return true;
}

bool ClientConnection::Dispatch(MessageSink sink, void* context, const bool& stop_requested) {
  if (state_ == State::kEnded) return false;
  Flush();
  std::size_t budget = kReadBudgetBytes;
  for (;;) {
    if (!DeliverComplete(sink, context, stop_requested) || stop_requested) return true;
    const std::size_t before = incoming_end_;
    ReadAvailable(budget);
    if (incoming_end_ == before) break;
  }
  if (awaiting_open_ && state_ == State::kBroken) {
    FailHandshake("the simulator closed the connection during the handshake");
  } else if (awaiting_open_ && Clock::now() >= answer_deadline_) {
    FailHandshake("the simulator did not answer in time");
    state_ = State::kBroken;
  }
  if (state_ == State::kBroken) DeliverQuit(sink, context);
  return true;
}

void ClientConnection::ReadAvailable(std::size_t& budget) {
  if (socket_ == net::kInvalidSocket || budget == 0) return;
  CompactIncoming();
  const std::size_t room = std::min(kIncomingBytes - incoming_end_, budget);
  const long n = net::ReceiveSome(socket_, incoming_ + incoming_end_, room);
  if (n < 0) {
    // The simulator went away; what was received before still gets delivered.
    state_ = State::kBroken;
    net::Close(socket_);
    socket_ = net::kInvalidSocket;
    return;
  }
  incoming_end_ += static_cast<std::size_t>(n);
  budget -= static_cast<std::size_t>(n);
}

bool ClientConnection::DeliverComplete(MessageSink sink, void* context,
                                       const bool& stop_requested) {
  while (!stop_requested) {
    std::size_t size = 0;
    const wire::FrameStatus status =
        wire::PeekFrame(incoming_ + incoming_begin_, incoming_end_ - incoming_begin_,
                        wire::kMessageHeaderBytes, size);
    if (status == wire::FrameStatus::kIncomplete) return true;
    if (status == wire::FrameStatus::kBroken) {
      // An impossible size: nothing after it can be framed, and it is never read past.
      if (awaiting_open_) FailHandshake("the simulator's answer is not a valid message");
      state_ = State::kBroken;
      incoming_begin_ = incoming_end_ = 0;
      DeliverQuit(sink, context);
      return false;
    }
    std::uint8_t* message = incoming_ + incoming_begin_;
    if (reinterpret_cast<std::uintptr_t>(message) % 8 != 0) {
      std::memcpy(aligned_, message, size);
      message = aligned_;
    }
    incoming_begin_ += size;
    if (awaiting_open_ && !AcceptsFirstMessage(message, size)) {
      // The simulator's own quit is passed on as the one quit; anything else ends here.
      if (wire::GetU32(message + 8) != wire::kRecvIdQuit) {
        state_ = State::kBroken;
        incoming_begin_ = incoming_end_ = 0;
        DeliverQuit(sink, context);
        return false;
      }
    }
    const bool quit = wire::GetU32(message + 8) == wire::kRecvIdQuit;
    if (quit) End();  // before the callback, which may well close the handle
    sink(message, static_cast<std::uint32_t>(size), context);
    if (quit) return false;
  }
  return true;
}

void ClientConnection::DeliverQuit(MessageSink sink, void* context) {
  End();
  wire::WriteQuitMessage(protocol_, aligned_);
  sink(aligned_, static_cast<std::uint32_t>(wire::kMessageHeaderBytes), context);
}

void ClientConnection::CompactIncoming() {
  if (incoming_begin_ == incoming_end_) {
    incoming_begin_ = incoming_end_ = 0;
    return;
  }
  // Only a partial message (less than kMaxMessageBytes) is ever left, so after this move there
  // is always room for more than one whole message.
  if (kIncomingBytes - incoming_end_ >= wire::kMaxMessageBytes) return;
  std::memmove(incoming_, incoming_ + incoming_begin_, incoming_end_ - incoming_begin_);
  incoming_end_ -= incoming_begin_;
  incoming_begin_ = 0;
}

void ClientConnection::Shutdown() {
  if (state_ == State::kOpen) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kCloseFlushMs);
    if (FlushWithin(kCloseFlushMs)) DrainUntilClosed(deadline);
  }
  End();
}

// Closing a socket whose receive queue holds bytes (the simulator's answer to the open, a frame
// of data) resets the connection, and a reset can cost the simulator the requests it has not
// read yet. So the sending side ends first, and what still arrives is read and dropped until the
// simulator closes its end or the deadline passes.
void ClientConnection::DrainUntilClosed(Clock::time_point deadline) {
  net::EndSending(socket_);
  std::uint8_t sink[4096];
  for (int left = RemainingMs(deadline); left > 0; left = RemainingMs(deadline)) {
    if (!net::WaitForReadable(socket_, left)) continue;
    if (net::ReceiveSome(socket_, sink, sizeof sink) < 0) return;
  }
}

void ClientConnection::End() {
  net::Close(socket_);
  socket_ = net::kInvalidSocket;
  state_ = State::kEnded;
}

}  // namespace skyhelm::simconnect
