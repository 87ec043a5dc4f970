// Classification and rates of the datagram stream.
#include "tools/peer/line_tracker.h"

namespace skyhelm::peer {

Arrival LineTracker::Feed(std::string_view datagram, Clock::time_point now) {
  ++counts_.datagrams;
  last_datagram_time_ = now;
  Arrival verdict;
  if (previous_verdict_ && datagram == previous_) {
    verdict = *previous_verdict_ == Arrival::kNewLine ? Arrival::kDuplicate : *previous_verdict_;
  } else {
    DecodedDatagram decoded = DecodeDatagram(datagram);
    switch (decoded.kind) {
      case DatagramKind::kLine:
        verdict = Arrival::kNewLine;
        latest_ = std::move(decoded.values);
        break;
      case DatagramKind::kNoData:
        verdict = Arrival::kNoData;
        break;
      case DatagramKind::kMalformed:
      default:
        verdict = Arrival::kMalformed;
        last_problem_ = std::move(decoded.description);
        break;
    }
    previous_.assign(datagram.data(), datagram.size());
    previous_verdict_ = verdict;
  }
  switch (verdict) {
    case Arrival::kNewLine:
      ++counts_.distinct_lines;
      last_new_line_time_ = now;
      break;
    case Arrival::kDuplicate:
      ++counts_.duplicates;
      break;
    case Arrival::kNoData:
      ++counts_.no_data;
      break;
    case Arrival::kMalformed:
      ++counts_.malformed;
      break;
  }
  return verdict;
}

void LineTracker::UpdateRates(Clock::time_point now) {
  if (!window_start_) {
    window_start_ = now;
    window_start_counts_ = counts_;
    return;
  }
  const double elapsed_s = std::chrono::duration<double>(now - *window_start_).count();
  if (elapsed_s < 1.0) return;
  datagrams_per_s_ =
      static_cast<double>(counts_.datagrams - window_start_counts_.datagrams) / elapsed_s;
  distinct_per_s_ =
      static_cast<double>(counts_.distinct_lines - window_start_counts_.distinct_lines) / elapsed_s;
  window_start_ = now;
  window_start_counts_ = counts_;
}

}  // namespace skyhelm::peer
