// A client's outgoing byte queue, bounded by dropping the oldest data messages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

namespace skyhelm::simulator {

// Whole messages in send order. Data and event messages are droppable: when the queued bytes exceed
// the limit, the oldest data messages not yet partly sent are discarded until it fits again (or
// none is left). Other messages (open, exceptions, quit) are never dropped; the server bounds them
// by not reading from a client whose outbox is over its limit.
class Outbox {
 public:
  explicit Outbox(std::size_t limit_bytes) : limit_bytes_(limit_bytes) {}

  void Push(std::vector<std::uint8_t> message, bool droppable);
  // Removes every data message that has not started to go out (used before a final quit).
  void DropPendingData();

  bool Empty() const { return queue_.empty(); }
  bool OverLimit() const { return bytes_ > limit_bytes_; }
  std::size_t Bytes() const { return bytes_; }
  std::size_t DroppedMessages() const { return dropped_; }

  // The unsent bytes of the front message; valid until the next call that changes the queue.
  const std::uint8_t* FrontData() const;
  std::size_t FrontSize() const;
  // Marks n bytes of the front message as sent (n <= FrontSize()).
  void Consume(std::size_t n);

 private:
  struct Entry {
    std::vector<std::uint8_t> bytes;
    bool droppable;
  };
  void Trim();

  std::deque<Entry> queue_;
  std::size_t front_sent_ = 0;  // bytes of queue_.front() already written to the socket
  std::size_t bytes_ = 0;       // unsent bytes in the queue
  std::size_t limit_bytes_;
  std::size_t dropped_ = 0;
};

}  // namespace skyhelm::simulator
