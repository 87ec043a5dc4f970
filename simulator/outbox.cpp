// Outgoing queue with oldest-data-first dropping.
#include "simulator/outbox.h"

namespace skyhelm::simulator {

void Outbox::Push(std::vector<std::uint8_t> message, bool droppable) {
  bytes_ += message.size();
  queue_.push_back({std::move(message), droppable});
  Trim();
}

void Outbox::Trim() {
  // The front entry may be partly on the wire; dropping it would corrupt the stream.
  auto it = queue_.begin();
  if (it != queue_.end() && front_sent_ > 0) ++it;
  while (bytes_ > limit_bytes_ && it != queue_.end()) {
    if (it->droppable) {
      bytes_ -= it->bytes.size();
      ++dropped_;
      it = queue_.erase(it);
    } else {
      ++it;
    }
  }
}

void Outbox::DropPendingData() {
  const std::size_t saved_limit = limit_bytes_;
  limit_bytes_ = 0;
  Trim();
  limit_bytes_ = saved_limit;
}

const std::uint8_t* Outbox::FrontData() const { return queue_.front().bytes.data() + front_sent_; }

std::size_t Outbox::FrontSize() const { return queue_.front().bytes.size() - front_sent_; }

void Outbox::Consume(std::size_t n) {
  front_sent_ += n;
  bytes_ -= n;
  if (front_sent_ == queue_.front().bytes.size()) {
    queue_.pop_front();
    front_sent_ = 0;
  }
}

}  // namespace skyhelm::simulator
