// Request handling for one client: validation, exceptions, definitions and due data messages.
#include "simulator/client_session.h"

#include <SimConnect.h>

namespace skyhelm::simulator {
namespace {

void QueueException(std::uint32_t protocol, SIMCONNECT_EXCEPTION exception,
                    const wire::Request& request, std::uint32_t index, Outbox& out) {
  std::vector<std::uint8_t> message;
  wire::EncodeExceptionMessage(protocol, exception, request.send_id, index, message);
  out.Push(std::move(message), false);
}

bool IsDue(std::uint32_t period, std::uint64_t frame, std::uint64_t first_frame,
           std::uint32_t frames_per_second) {
  switch (period) {
    case SIMCONNECT_PERIOD_ONCE:
    case SIMCONNECT_PERIOD_VISUAL_FRAME:
    case SIMCONNECT_PERIOD_SIM_FRAME:
      return true;
    case SIMCONNECT_PERIOD_SECOND:
      return frame >= first_frame && (frame - first_frame) % frames_per_second == 0;
    default:
      return false;
  }
}

}  // namespace

ClientSession::Verdict ClientSession::Handle(const wire::Request& request, World& world,
                                             Outbox& out, const ServerLog& log) {
  if (request.type == wire::RequestType::kOpen) return HandleOpen(request, out, log);
  if (!opened_) return Verdict::kClose;
  switch (request.type) {
    case wire::RequestType::kAddToDataDefinition:
      HandleAdd(request, out);
      break;
    case wire::RequestType::kRequestDataOnSimObject:
      HandleRequestData(request, out);
      break;
    case wire::RequestType::kMapClientEventToSimEvent:
      HandleMap(request, out);
      break;
    case wire::RequestType::kTransmitClientEvent:
      HandleTransmit(request, world, out, log);
      break;
    case wire::RequestType::kOpen:
      break;
    case wire::RequestType::kUnsupported:
      // A general client may ask for what this simulator does not serve: refuse that packet
      // alone and keep the session.
      QueueException(
          protocol_,
          request.size_mismatch ? SIMCONNECT_EXCEPTION_SIZE_MISMATCH : SIMCONNECT_EXCEPTION_ERROR,
          request, 0, out);
      break;
  }
  return Verdict::kKeep;
}

ClientSession::Verdict ClientSession::HandleOpen(const wire::Request& request, Outbox& out,
                                                 const ServerLog& log) {
  if (opened_) {
    QueueException(protocol_, SIMCONNECT_EXCEPTION_ILLEGAL_OPERATION, request, 0, out);
    return Verdict::kKeep;
  }
  // Until the open succeeds, answers go out in whatever version the client's header names.
  protocol_ = request.protocol;
  if (!wire::IsKnownProtocol(request.protocol)) {
    QueueException(protocol_, SIMCONNECT_EXCEPTION_VERSION_MISMATCH, request, 0, out);
    log.err("client " + std::to_string(client_number_) + " refused: protocol version " +
            std::to_string(request.protocol) + " is not served");
    return Verdict::kClose;
  }
  opened_ = true;
  name_ = request.open.client_name;
  // The simulator's own version (Skyhelm 0.1) and the library version of the client's protocol,
  // which is the one these answers follow.
  const wire::LibraryVersion library = wire::LibraryVersionOf(protocol_);
  const wire::OpenMessageVersions versions{
      {0, 1, 0, 0}, {library.major, library.minor, library.build_major, library.build_minor}};
  std::vector<std::uint8_t> message;
  wire::EncodeOpenMessage(protocol_, "Skyhelm stand-in simulator", versions, message);
  out.Push(std::move(message), false);
  log.out("client " + std::to_string(client_number_) + " connected \"" + name_ + "\"");
  return Verdict::kKeep;
}

void ClientSession::HandleAdd(const wire::Request& request, Outbox& out) {
  DataEntry entry;
  EntryError error;
  if (!MakeDataEntry(request.add, entry, error)) {
    QueueException(protocol_, error.exception, request, error.index, out);
    return;
  }
  if (entry_count_ >= kMaxEntriesPerClient) {
    QueueException(protocol_, SIMCONNECT_EXCEPTION_OUT_OF_BOUNDS, request, 1, out);
    return;
  }
  std::vector<DataEntry>& entries = definitions_[request.add.define_id];
  if (BlockBytes(entries) + DatumBytes(entry.type) > wire::kMaxDataBlockBytes) {
    QueueException(protocol_, SIMCONNECT_EXCEPTION_INVALID_DATA_SIZE, request, 4, out);
    if (entries.empty()) definitions_.erase(request.add.define_id);
    return;
  }
  entries.push_back(entry);
  ++entry_count_;
}

void ClientSession::HandleRequestData(const wire::Request& request, Outbox& out) {
  const wire::RequestDataOnSimObjectRequest& r = request.request_data;
  if (r.period == SIMCONNECT_PERIOD_NEVER) {
    requests_.erase(r.request_id);
    return;
  }
  if (definitions_.count(r.define_id) == 0) {
    QueueException(protocol_, SIMCONNECT_EXCEPTION_UNRECOGNIZED_ID, request, 2, out);
  } else if (r.object_id != SIMCONNECT_OBJECT_ID_USER) {
    QueueException(protocol_, SIMCONNECT_EXCEPTION_UNRECOGNIZED_ID, request, 3, out);
  } else if (r.period > SIMCONNECT_PERIOD_SECOND) {
    QueueException(protocol_, SIMCONNECT_EXCEPTION_INVALID_ENUM, request, 4, out);
  } else if (requests_.size() >= kMaxRequestsPerClient && requests_.count(r.request_id) == 0) {
    QueueException(protocol_, SIMCONNECT_EXCEPTION_TOO_MANY_REQUESTS, request, 1, out);
  } else {
    requests_[r.request_id] = {r.define_id, r.period, next_frame_};
  }
}

void ClientSession::HandleMap(const wire::Request& request, Outbox& out) {
  const auto event = FindSimEvent(request.map.event_name);
  if (!event) {
    QueueException(protocol_, SIMCONNECT_EXCEPTION_NAME_UNRECOGNIZED, request, 2, out);
  } else if (events_.count(request.map.event_id) != 0) {
    QueueException(protocol_, SIMCONNECT_EXCEPTION_EVENT_ID_DUPLICATE, request, 1, out);
  } else if (events_.size() >= kMaxEventMappingsPerClient) {
    QueueException(protocol_, SIMCONNECT_EXCEPTION_TOO_MANY_MAPS, request, 1, out);
  } else {
    events_[request.map.event_id] = *event;
  }
}

void ClientSession::HandleTransmit(const wire::Request& request, World& world, Outbox& out,
                                   const ServerLog& log) {
  const wire::TransmitClientEventRequest& t = request.transmit;
  const auto mapping = events_.find(t.event_id);
  if (t.object_id != SIMCONNECT_OBJECT_ID_USER) {
    QueueException(protocol_, SIMCONNECT_EXCEPTION_UNRECOGNIZED_ID, request, 1, out);
    return;
  }
  if (mapping == events_.end()) {
    QueueException(protocol_, SIMCONNECT_EXCEPTION_UNRECOGNIZED_ID, request, 2, out);
    log.err("client " + std::to_string(client_number_) + " sent unmapped event id " +
            std::to_string(t.event_id));
    return;
  }
  // The data word is a DWORD on the wire; the setting events carry signed values in it.
  const auto data = static_cast<std::int32_t>(t.data);
  ApplySimEvent(world.state, mapping->second, data, world.frozen);
  log.out(std::string("event ") + SimEventName(mapping->second) + " " + std::to_string(data));
}

void ClientSession::QueueFrame(const SimState& state, std::uint64_t frame,
                               std::uint32_t frames_per_second, Outbox& out) {
  next_frame_ = frame + 1;
  std::vector<std::uint8_t> block;
  for (auto it = requests_.begin(); it != requests_.end();) {
    const DataRequest& r = it->second;
    const auto definition = definitions_.find(r.define_id);
    if (IsDue(r.period, frame, r.first_frame, frames_per_second) &&
        definition != definitions_.end()) {
      block.clear();
      PackBlock(state, definition->second, block);
      std::vector<std::uint8_t> message;
      wire::EncodeSimObjectDataMessage(protocol_, it->first, SIMCONNECT_OBJECT_ID_USER, r.define_id,
                                       1, block.data(), block.size(), message);
      out.Push(std::move(message), true);
    }
    it = r.period == SIMCONNECT_PERIOD_ONCE ? requests_.erase(it) : std::next(it);
  }
}

}  // namespace skyhelm::simulator
