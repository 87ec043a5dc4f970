// Client data, the areas add-ons share: MapClientDataNameToID, CreateClientData,
// AddToClientDataDefinition, ClearClientDataDefinition, RequestClientData, SetClientData.
#include <cstring>

#include "simulator/client_session.h"

namespace skyhelm::simulator {
namespace {

constexpr std::uint32_t kAutoOffset = 0xFFFFFFFFu;  // SIMCONNECT_CLIENTDATAOFFSET_AUTO
constexpr std::uint32_t kReadOnly = 1;              // SIMCONNECT_CREATE_CLIENT_DATA_FLAG_READ_ONLY
constexpr std::uint32_t kSetTagged = 1;             // SIMCONNECT_CLIENT_DATA_SET_FLAG_TAGGED
constexpr std::uint32_t kRequestFlags = 3;          // CHANGED | TAGGED
// SIMCONNECT_EXCEPTION_ALREADY_CREATED: later in the enumeration than the header here goes.
constexpr std::uint32_t kAlreadyCreated = 32;
constexpr std::size_t kMaxClientDataEntries = 1024;

enum ClientDataPeriod : std::uint32_t { kNever, kOnce, kVisualFrame, kOnSet, kSecond };

// Bytes of an entry: a positive size as it stands, or one of the SIMCONNECT_CLIENTDATATYPE
// values (-1 INT8 .. -6 FLOAT64); 0 for anything else.
std::uint32_t EntryBytes(std::uint32_t size_or_type) {
  switch (static_cast<std::int32_t>(size_or_type)) {
    case -1:
      return 1;
    case -2:
      return 2;
    case -3:
    case -5:
      return 4;
    case -4:
    case -6:
      return 8;
    default:
      return size_or_type <= kMaxClientDataBytes ? size_or_type : 0;
  }
}

template <typename Entries>
bool FitsIn(const Entries& entries, std::size_t area_bytes) {
  for (const auto& entry : entries) {
    if (static_cast<std::size_t>(entry.offset) + entry.size > area_bytes) return false;
  }
  return true;
}

template <typename Entries>
std::size_t TotalBytes(const Entries& entries) {
  std::size_t total = 0;
  for (const auto& entry : entries) total += entry.size;
  return total;
}

}  // namespace

const std::string* ClientSession::AreaName(std::uint32_t client_data_id) const {
  const auto name = client_data_ids_.find(client_data_id);
  return name != client_data_ids_.end() ? &name->second : nullptr;
}

void ClientSession::HandleMapClientData(const wire::Request& request, Outbox& out) {
  const std::string& name = request.general.text;
  const std::uint32_t id = request.general.words[0];
  if (name.empty()) {
    Refuse(request, SIMCONNECT_EXCEPTION_NAME_UNRECOGNIZED, 1, out);
    return;
  }
  for (const auto& [mapped_id, mapped_name] : client_data_ids_) {
    if (mapped_id == id || mapped_name == name) {
      Refuse(request, SIMCONNECT_EXCEPTION_DUPLICATE_ID, mapped_id == id ? 2 : 1, out);
      return;
    }
  }
  if (client_data_ids_.size() >= kMaxClientDataAreas) {
    Refuse(request, SIMCONNECT_EXCEPTION_OUT_OF_BOUNDS, 2, out);
    return;
  }
  client_data_ids_[id] = name;
}

void ClientSession::HandleCreateClientData(const wire::Request& request, World& world,
                                           Outbox& out) {
  const auto& w = request.general.words;  // id, size, flags
  const std::string* name = AreaName(w[0]);
  if (name == nullptr) {
    Refuse(request, SIMCONNECT_EXCEPTION_UNRECOGNIZED_ID, 1, out);
  } else if (w[1] == 0 || w[1] > kMaxClientDataBytes) {
    Refuse(request, SIMCONNECT_EXCEPTION_OUT_OF_BOUNDS, 2, out);
  } else if ((w[2] & ~kReadOnly) != 0) {
    Refuse(request, SIMCONNECT_EXCEPTION_INVALID_ENUM, 3, out);
  } else if (world.client_data.count(*name) != 0) {
    Refuse(request, kAlreadyCreated, 1, out);
  } else if (world.client_data.size() >= kMaxClientDataAreas) {
    Refuse(request, SIMCONNECT_EXCEPTION_OUT_OF_BOUNDS, 1, out);
  } else {
    ClientDataArea& area = world.client_data[*name];
    area.bytes.assign(w[1], 0);
    area.read_only = (w[2] & kReadOnly) != 0;
    area.creator = client_number_;
  }
}

void ClientSession::HandleAddClientData(const wire::Request& request, Outbox& out) {
  const auto& w = request.general.words;  // define, offset, size or type, epsilon, datum id
  const std::uint32_t size = EntryBytes(w[2]);
  std::vector<ClientDataEntry>& entries = client_definitions_[w[0]];
  std::uint32_t offset = w[1];
  if (offset == kAutoOffset) {
    offset = 0;
    for (const auto& entry : entries) offset = std::max(offset, entry.offset + entry.size);
  }
  float epsilon = 0.0f;
  std::memcpy(&epsilon, &w[3], sizeof epsilon);
  if (size == 0) {
    Refuse(request, SIMCONNECT_EXCEPTION_INVALID_DATA_SIZE, 3, out);
  } else if (offset > kMaxClientDataBytes || offset + size > kMaxClientDataBytes) {
    Refuse(request, SIMCONNECT_EXCEPTION_OUT_OF_BOUNDS, 2, out);
  } else if (entries.size() >= kMaxClientDataEntries) {
    Refuse(request, SIMCONNECT_EXCEPTION_OUT_OF_BOUNDS, 1, out);
  } else {
    entries.push_back({offset, size, epsilon, w[4]});
    return;
  }
  if (entries.empty()) client_definitions_.erase(w[0]);
}

void ClientSession::HandleClearClientData(const wire::Request& request, Outbox& out) {
  if (client_definitions_.erase(request.general.words[0]) == 0) {
    Refuse(request, SIMCONNECT_EXCEPTION_UNRECOGNIZED_ID, 1, out);
  }
}

void ClientSession::HandleRequestClientData(const wire::Request& request, const World& world,
                                            Outbox& out) {
  // id, request, define, period, flags, origin, interval, limit
  const auto& w = request.general.words;
  const std::string* name = AreaName(w[0]);
  const auto area = name != nullptr ? world.client_data.find(*name) : world.client_data.end();
  const auto definition = client_definitions_.find(w[2]);
  if (w[3] == kNever) {
    client_requests_.erase(w[1]);
  } else if (area == world.client_data.end()) {
    Refuse(request, SIMCONNECT_EXCEPTION_UNRECOGNIZED_ID, 1, out);
  } else if (definition == client_definitions_.end()) {
    Refuse(request, SIMCONNECT_EXCEPTION_UNRECOGNIZED_ID, 3, out);
  } else if (!FitsIn(definition->second, area->second.bytes.size())) {
    Refuse(request, SIMCONNECT_EXCEPTION_OUT_OF_BOUNDS, 3, out);
  } else if (w[3] > kSecond) {
    Refuse(request, SIMCONNECT_EXCEPTION_INVALID_ENUM, 4, out);
  } else if ((w[4] & ~kRequestFlags) != 0) {
    Refuse(request, SIMCONNECT_EXCEPTION_INVALID_ENUM, 5, out);
  } else if (client_requests_.size() >= kMaxRequestsPerClient &&
             client_requests_.count(w[1]) == 0) {
    Refuse(request, SIMCONNECT_EXCEPTION_TOO_MANY_REQUESTS, 2, out);
  } else {
    Schedule schedule;
    schedule.cadence = w[3] == kOnce     ? Cadence::kOnce
                       : w[3] == kOnSet  ? Cadence::kOnSet
                       : w[3] == kSecond ? Cadence::kEverySecond
                                         : Cadence::kEveryFrame;
    schedule.flags = w[4];
    schedule.origin = w[5];
    schedule.interval = w[6];
    schedule.limit = w[7];
    schedule.first_frame = next_frame_;
    client_requests_[w[1]] = {*name, w[2], schedule, {}, area->second.writes};
  }
}

void ClientSession::HandleSetClientData(const wire::Request& request, World& world, Outbox& out) {
  const wire::GeneralRequest& g = request.general;  // id, define, flags, reserved, unit size
  const std::string* name = AreaName(g.words[0]);
  const auto area = name != nullptr ? world.client_data.find(*name) : world.client_data.end();
  const auto definition = client_definitions_.find(g.words[1]);
  if (area == world.client_data.end()) {
    Refuse(request, SIMCONNECT_EXCEPTION_UNRECOGNIZED_ID, 1, out);
    return;
  }
  if (definition == client_definitions_.end()) {
    Refuse(request, SIMCONNECT_EXCEPTION_UNRECOGNIZED_ID, 2, out);
    return;
  }
  ClientDataArea& bytes = area->second;
  if (bytes.read_only && bytes.creator != client_number_) {
    Refuse(request, SIMCONNECT_EXCEPTION_ILLEGAL_OPERATION, 1, out);
    return;
  }
  const std::vector<ClientDataEntry>& entries = definition->second;
  if (!FitsIn(entries, bytes.bytes.size())) {
    Refuse(request, SIMCONNECT_EXCEPTION_OUT_OF_BOUNDS, 2, out);
    return;
  }
  // Gather every (entry, source offset) first, so a malformed block writes nothing.
  std::vector<std::pair<const ClientDataEntry*, std::size_t>> writes;
  if ((g.words[2] & kSetTagged) == 0) {
    if (g.data.size() != TotalBytes(entries)) {
      Refuse(request, SIMCONNECT_EXCEPTION_INVALID_DATA_SIZE, 6, out);
      return;
    }
    std::size_t at = 0;
    for (const ClientDataEntry& entry : entries) {
      writes.emplace_back(&entry, at);
      at += entry.size;
    }
  } else {
    for (std::size_t at = 0; at < g.data.size();) {
      std::uint32_t id = 0;
      const ClientDataEntry* found = nullptr;
      if (g.data.size() - at >= 4) std::memcpy(&id, g.data.data() + at, 4);
      for (const ClientDataEntry& entry : entries) {
        if (entry.datum_id == id) found = &entry;
      }
      if (g.data.size() - at < 4 || found == nullptr || g.data.size() - at - 4 < found->size) {
        Refuse(request, SIMCONNECT_EXCEPTION_INVALID_DATA_SIZE, 6, out);
        return;
      }
      writes.emplace_back(found, at + 4);
      at += 4 + found->size;
    }
  }
  for (const auto& [entry, at] : writes) {
    std::memcpy(bytes.bytes.data() + entry->offset, g.data.data() + at, entry->size);
  }
  ++bytes.writes;
}

void ClientSession::QueueClientData(const World& world, const FrameTick& tick, Outbox& out) {
  DataScratch scratch;
  Sample& sample = scratch.sample;
  for (auto it = client_requests_.begin(); it != client_requests_.end();) {
    ClientDataRequest& r = it->second;
    const auto area = world.client_data.find(r.area);
    const auto definition = client_definitions_.find(r.define_id);
    if (area == world.client_data.end() || definition == client_definitions_.end() ||
        !FitsIn(definition->second, area->second.bytes.size())) {
      ++it;
      continue;
    }
    const bool written = area->second.writes != r.writes_seen;
    r.writes_seen = area->second.writes;
    if (TakePeriod(r.schedule, tick.frame, tick.frames_per_second, written)) {
      sample.bytes.clear();
      sample.ends.clear();
      sample.values.clear();
      scratch.tags.clear();
      for (const ClientDataEntry& entry : definition->second) {
        const auto begin = area->second.bytes.begin() + entry.offset;
        sample.bytes.insert(sample.bytes.end(), begin, begin + entry.size);
        sample.ends.push_back(sample.bytes.size());
        sample.values.push_back(0.0);
        scratch.tags.push_back({0.0f, entry.datum_id});  // raw bytes: any change counts
      }
      SendDataBlock(true, it->first, r.define_id, r.schedule, r.last, scratch, out);
    }
    it = Finished(r.schedule) ? client_requests_.erase(it) : std::next(it);
  }
}

}  // namespace skyhelm::simulator
