// Data definitions and requests on the user's aircraft: AddToDataDefinition, ClearDataDefinition,
// RequestDataOnSimObject, SetDataOnSimObject, and the scheduling both kinds of request share.
#include "simulator/data_requests.h"

#include <cmath>
#include <cstring>

#include "simulator/client_session.h"

namespace skyhelm::simulator {
namespace {

constexpr std::uint32_t kChanged = SIMCONNECT_DATA_REQUEST_FLAG_CHANGED;
constexpr std::uint32_t kTagged = SIMCONNECT_DATA_REQUEST_FLAG_TAGGED;
constexpr std::uint32_t kDataSetTagged = 1;  // SIMCONNECT_DATA_SET_FLAG_TAGGED

bool PeriodFalls(const Schedule& s, std::uint64_t frame, std::uint32_t frames_per_second,
                 bool written) {
  switch (s.cadence) {
    case Cadence::kOnce:
    case Cadence::kEveryFrame:
      return true;
    case Cadence::kEverySecond:
      return frame >= s.first_frame && (frame - s.first_frame) % frames_per_second == 0;
    case Cadence::kOnSet:
      return written;
  }
  return false;
}

bool EntryChanged(const Sample& now, const Sample& last, std::size_t i, float epsilon) {
  if (epsilon > 0.0f) return std::fabs(now.values[i] - last.values[i]) > epsilon;
  const std::size_t begin = i == 0 ? 0 : now.ends[i - 1];
  return std::memcmp(now.bytes.data() + begin, last.bytes.data() + begin, now.ends[i] - begin) != 0;
}

void PutWord(std::vector<std::uint8_t>& out, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

}  // namespace

bool TakePeriod(Schedule& s, std::uint64_t frame, std::uint32_t frames_per_second, bool written) {
  if (s.cadence == Cadence::kOnce) return s.sent == 0;
  if (!PeriodFalls(s, frame, frames_per_second, written)) return false;
  const std::uint64_t n = s.periods++;
  if (n < s.origin) return false;
  if ((n - s.origin) % (static_cast<std::uint64_t>(s.interval) + 1) != 0) return false;
  return s.limit == 0 || s.sent < s.limit;
}

bool Finished(const Schedule& s) {
  return (s.cadence == Cadence::kOnce && s.sent > 0) || (s.limit != 0 && s.sent >= s.limit);
}

bool BuildBlock(const Sample& now, const std::vector<EntryTag>& tags, std::uint32_t flags,
                LastSent& last, std::vector<std::uint8_t>& block, std::uint32_t& define_count) {
  block.clear();
  const bool compare = (flags & kChanged) != 0 && last.any;
  std::vector<bool> include(now.ends.size(), true);
  bool any = !compare;
  for (std::size_t i = 0; compare && i < include.size(); ++i) {
    include[i] = EntryChanged(now, last.sample, i, tags[i].epsilon);
    any = any || include[i];
  }
  if (!any) return false;
  if ((flags & kTagged) == 0) {
    block = now.bytes;
    last.sample = now;
  } else {
    if (!last.any) last.sample = now;
    for (std::size_t i = 0; i < include.size(); ++i) {
      if (!include[i]) continue;
      const std::size_t begin = i == 0 ? 0 : now.ends[i - 1];
      PutWord(block, tags[i].datum_id);
      block.insert(block.end(), now.bytes.begin() + static_cast<std::ptrdiff_t>(begin),
                   now.bytes.begin() + static_cast<std::ptrdiff_t>(now.ends[i]));
      std::memcpy(last.sample.bytes.data() + begin, now.bytes.data() + begin, now.ends[i] - begin);
      last.sample.values[i] = now.values[i];
    }
  }
  last.any = true;
  define_count = static_cast<std::uint32_t>((block.size() + 7) / 8);
  return true;
}

void ClientSession::HandleAdd(const wire::Request& request, Outbox& out) {
  DataEntry entry;
  EntryError error;
  if (!MakeDataEntry(request.add, entry, error)) {
    Refuse(request, error.exception, error.index, out);
    return;
  }
  if (entry_count_ >= kMaxEntriesPerClient) {
    Refuse(request, SIMCONNECT_EXCEPTION_OUT_OF_BOUNDS, 1, out);
    return;
  }
  std::vector<DataEntry>& entries = definitions_[request.add.define_id];
  if (BlockBytes(entries) + DatumBytes(entry.type) > wire::kMaxDataBlockBytes) {
    Refuse(request, SIMCONNECT_EXCEPTION_INVALID_DATA_SIZE, 4, out);
    if (entries.empty()) definitions_.erase(request.add.define_id);
    return;
  }
  entries.push_back(entry);
  ++entry_count_;
}

void ClientSession::HandleClearDefinition(const wire::Request& request, Outbox& out) {
  const auto definition = definitions_.find(request.general.words[0]);
  if (definition == definitions_.end()) {
    Refuse(request, SIMCONNECT_EXCEPTION_UNRECOGNIZED_ID, 1, out);
    return;
  }
  entry_count_ -= definition->second.size();
  definitions_.erase(definition);
}

void ClientSession::HandleRequestData(const wire::Request& request, Outbox& out) {
  const wire::RequestDataOnSimObjectRequest& r = request.request_data;
  if (r.period == SIMCONNECT_PERIOD_NEVER) {
    requests_.erase(r.request_id);
    return;
  }
  if (definitions_.count(r.define_id) == 0) {
    Refuse(request, SIMCONNECT_EXCEPTION_UNRECOGNIZED_ID, 2, out);
  } else if (r.object_id != SIMCONNECT_OBJECT_ID_USER) {
    Refuse(request, SIMCONNECT_EXCEPTION_UNRECOGNIZED_ID, 3, out);
  } else if (r.period > SIMCONNECT_PERIOD_SECOND) {
    Refuse(request, SIMCONNECT_EXCEPTION_INVALID_ENUM, 4, out);
  } else if ((r.flags & ~(kChanged | kTagged)) != 0) {
    Refuse(request, SIMCONNECT_EXCEPTION_INVALID_ENUM, 5, out);
  } else if (requests_.size() >= kMaxRequestsPerClient && requests_.count(r.request_id) == 0) {
    Refuse(request, SIMCONNECT_EXCEPTION_TOO_MANY_REQUESTS, 1, out);
  } else {
    Schedule schedule;
    schedule.cadence = r.period == SIMCONNECT_PERIOD_ONCE     ? Cadence::kOnce
                       : r.period == SIMCONNECT_PERIOD_SECOND ? Cadence::kEverySecond
                                                              : Cadence::kEveryFrame;
    schedule.flags = r.flags;
    schedule.origin = r.origin;
    schedule.interval = r.interval;
    schedule.limit = r.limit;
    schedule.first_frame = next_frame_;
    requests_[r.request_id] = {r.define_id, schedule, {}};
  }
}

void ClientSession::HandleSetData(const wire::Request& request, World& world, Outbox& out) {
  const wire::GeneralRequest& g = request.general;  // define, object, flags, count, unit size
  const auto definition = definitions_.find(g.words[0]);
  if (definition == definitions_.end()) {
    Refuse(request, SIMCONNECT_EXCEPTION_UNRECOGNIZED_ID, 1, out);
    return;
  }
  if (g.words[1] != SIMCONNECT_OBJECT_ID_USER) {
    Refuse(request, SIMCONNECT_EXCEPTION_UNRECOGNIZED_ID, 2, out);
    return;
  }
  // The user's aircraft is one object: an array of more than one element has nowhere to go.
  if (g.words[3] > 1) {
    Refuse(request, SIMCONNECT_EXCEPTION_INVALID_ARRAY, 4, out);
    return;
  }
  const SetDataResult result = (g.words[2] & kDataSetTagged) != 0
                                   ? ApplyTaggedBlock(definition->second, g.data, world.state)
                                   : ApplyBlock(definition->second, g.data, world.state);
  if (result.exception != SIMCONNECT_EXCEPTION_NONE) {
    Refuse(request, result.exception, result.index, out);
  }
}

void ClientSession::QueueDataRequests(const SimState& state, const FrameTick& tick, Outbox& out) {
  DataScratch scratch;
  for (auto it = requests_.begin(); it != requests_.end();) {
    SimObjectRequest& r = it->second;
    const auto definition = definitions_.find(r.define_id);
    if (definition != definitions_.end() &&
        TakePeriod(r.schedule, tick.frame, tick.frames_per_second, false)) {
      SampleDefinition(state, definition->second, scratch.sample);
      scratch.tags.clear();
      for (const DataEntry& entry : definition->second)
        scratch.tags.push_back({entry.epsilon, entry.datum_id});
      SendDataBlock(false, it->first, r.define_id, r.schedule, r.last, scratch, out);
    }
    it = Finished(r.schedule) ? requests_.erase(it) : std::next(it);
  }
}

void ClientSession::SendDataBlock(bool client_data, std::uint32_t request_id,
                                  std::uint32_t define_id, Schedule& schedule, LastSent& last,
                                  DataScratch& scratch, Outbox& out) const {
  wire::DataMessage header{client_data, request_id,     SIMCONNECT_OBJECT_ID_USER,
                           define_id,   schedule.flags, 0};
  if (!BuildBlock(scratch.sample, scratch.tags, schedule.flags, last, scratch.block,
                  header.define_count)) {
    return;
  }
  std::vector<std::uint8_t> message;
  wire::EncodeDataMessage(protocol_, header, scratch.block.data(), scratch.block.size(), message);
  out.Push(std::move(message), true);
  ++schedule.sent;
}

}  // namespace skyhelm::simulator
