// The client library's connection to a simulator speaking SimConnect's network protocol: one TCP
// stream, an outgoing request buffer and an incoming message buffer, all driven from the caller's
// single thread.
#pragma once

#include <cstddef>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/net/socket.h"
#include "platform/simconnect/connection_settings.h"
#include "platform/simconnect/wire_protocol.h"

namespace skyhelm::simconnect {

// Open's TCP connect takes at most this.
inline constexpr int kOpenBudgetMs = 1000;
// The simulator's answer to the open request must come this long after Open at the latest; a
// silent listener ends the session then, from the dispatch that notices.
inline constexpr int kAnswerBudgetMs = 2000;
// One dispatch call reads at most this many bytes, so that a flood cannot keep it busy forever.
inline constexpr std::size_t kReadBudgetBytes = 256 * 1024;
// Requests the simulator has not taken yet; beyond this it has stopped reading and the connection
// counts as broken.
inline constexpr std::size_t kMaxOutgoingBytes = 1024 * 1024;

// Called for each whole message; `message` is 8-byte aligned and holds `size` bytes.
using MessageSink = void (*)(std::uint8_t* message, std::uint32_t size, void* context);

// One connection. Single-threaded; nothing here blocks except Open (bounded by kOpenBudgetMs) and
// Shutdown (about 100 ms at most). Every failure of the stream ends in exactly one quit message
// delivered by Dispatch, after which the connection is ended and every operation fails. A failure
// of the handshake (an answer other than the open message, a close, silence past kAnswerBudgetMs)
// also leaves a reason in handshake_failure() before that quit is delivered.
class ClientConnection {
 public:
  ClientConnection();
  ~ClientConnection();
  ClientConnection(const ClientConnection&) = delete;
  ClientConnection& operator=(const ClientConnection&) = delete;

  // Connects and queues the open request in `protocol` (2..6), returning as soon as the TCP
  // connection is up, as the simulator's own library does: the simulator's answer arrives through
  // Dispatch. On failure (the name does not resolve, nothing listens, the connect takes longer than
  // kOpenBudgetMs) returns false and sets `why` to a short reason (no newline).
  bool Open(const SimAddress& address, std::uint32_t protocol, const std::string& client_name,
            std::string& why);

  // True while requests can still be sent and messages received (until the quit is delivered or
  // the stream broke).
  bool Usable() const { return state_ == State::kOpen; }
  bool Ended() const { return state_ == State::kEnded; }
  // Why the handshake failed, naming the address; empty while it has not (yet) failed.
  const std::string& handshake_failure() const { return handshake_failure_; }

  // Queues one request: `encode(protocol, send_id, out)` appends it whole to the outgoing buffer,
  // which is then flushed as far as the socket takes it. Returns false if the connection is not
  // usable or became broken. Never waits for the simulator. May throw std::bad_alloc (nothing is
  // queued then); the C interface turns that into a failure.
  template <typename Encode>
  bool Send(Encode&& encode) {
    if (!Usable()) return false;
    const std::size_t before = outgoing_.size();
    try {
      encode(protocol_, next_send_id_, outgoing_);
    } catch (...) {
      outgoing_.resize(before);  // never leave half a request in the stream
      throw;
    }
    NextSendId();
    return Flush();
  }
  // The send id of the last packet queued (the Open packet is 1, as the real library numbers them).
  std::uint32_t last_send_id() const { return next_send_id_ - 1; }

  // Never blocks: flushes pending requests, reads what has arrived (at most kReadBudgetBytes) and
  // hands every complete message to `sink` in arrival order. When the stream ends, broken or by
  // the simulator's own quit message, `sink` sees exactly one quit message. Stops early when
  // `stop_requested` becomes true during a callback. False once the connection has ended before
  // the call.
  bool Dispatch(MessageSink sink, void* context, const bool& stop_requested);

  // Hands pending requests to the socket if the connection is still usable, ends the sending side
  // and reads until the simulator closes its end (so that no reset costs it unread requests), all
  // within about 100 ms, and closes the socket, which ends the session. Idempotent.
  void Shutdown();

 private:
  enum class State { kOpen, kBroken, kEnded };

  std::uint32_t NextSendId() { return next_send_id_++; }
  bool Flush();
  bool FlushWithin(int budget_ms);
  void DrainUntilClosed(std::chrono::steady_clock::time_point deadline);
  // The answer to the open request: true for the open message; otherwise sets the failure.
  bool AcceptsFirstMessage(const std::uint8_t* message, std::size_t size);
  void FailHandshake(const std::string& why);
  void ReadAvailable(std::size_t& budget);
  // Delivers whole messages from the incoming buffer; false once the stream must end.
  bool DeliverComplete(MessageSink sink, void* context, const bool& stop_requested);
  void DeliverQuit(MessageSink sink, void* context);
  void CompactIncoming();
  void End();

  net::Socket socket_ = net::kInvalidSocket;
  State state_ = State::kEnded;
  std::uint32_t protocol_ = wire::kDefaultProtocol;
  std::uint32_t next_send_id_ = 1;
  bool awaiting_open_ = false;  // the simulator has not answered the open request yet
  std::chrono::steady_clock::time_point answer_deadline_;
  std::string where_;  // host:port, for the handshake failure
  std::string handshake_failure_;

  std::vector<std::uint8_t> outgoing_;
  std::size_t outgoing_sent_ = 0;  // bytes at the front of outgoing_ already sent

  // Incoming bytes live in incoming_[incoming_begin_, incoming_end_). Room for one maximal
  // message plus a read's worth, so a partial message never blocks the next read.
  static constexpr std::size_t kIncomingBytes = 2 * wire::kMaxMessageBytes;
  alignas(8) std::uint8_t incoming_[kIncomingBytes];
  std::size_t incoming_begin_ = 0;
  std::size_t incoming_end_ = 0;
  // A message that does not start on an 8-byte boundary is copied here before it is handed out.
  alignas(8) std::uint8_t aligned_[wire::kMaxMessageBytes];
};

}  // namespace skyhelm::simconnect
