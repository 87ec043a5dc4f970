// Events and notification groups: MapClientEventToSimEvent, TransmitClientEvent, the group calls,
// and the RECV_EVENT every client whose group holds a transmitted event receives.
#include <algorithm>
#include <cctype>

#include "simulator/client_session.h"

namespace skyhelm::simulator {
namespace {

std::string UpperCase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

void ClientSession::HandleMap(const wire::Request& request, Outbox& out) {
  const std::string& name = request.map.event_name;
  EventMapping mapping;
  // An empty name maps a private event, a name with a period a custom one shared by name; both
  // leave the aircraft alone and only reach notification groups.
  if (!name.empty() && name.find('.') == std::string::npos) {
    const auto event = FindSimEvent(name);
    if (!event) {
      Refuse(request, SIMCONNECT_EXCEPTION_NAME_UNRECOGNIZED, 2, out);
      return;
    }
    mapping = {SimEventName(*event), true, *event};
  } else {
    mapping.name = UpperCase(name);
  }
  if (events_.count(request.map.event_id) != 0) {
    Refuse(request, SIMCONNECT_EXCEPTION_EVENT_ID_DUPLICATE, 1, out);
  } else if (events_.size() >= kMaxEventMappingsPerClient) {
    Refuse(request, SIMCONNECT_EXCEPTION_TOO_MANY_MAPS, 1, out);
  } else {
    events_[request.map.event_id] = std::move(mapping);
  }
}

void ClientSession::HandleTransmit(const wire::Request& request, World& world, Outbox& out,
                                   const ServerLog& log) {
  const wire::TransmitClientEventRequest& t = request.transmit;
  const auto mapping = events_.find(t.event_id);
  if (t.object_id != SIMCONNECT_OBJECT_ID_USER) {
    Refuse(request, SIMCONNECT_EXCEPTION_UNRECOGNIZED_ID, 1, out);
    return;
  }
  if (mapping == events_.end()) {
    Refuse(request, SIMCONNECT_EXCEPTION_UNRECOGNIZED_ID, 2, out);
    ++world.unmapped_transmits;  // reported by the server now and then, never line by line
    return;
  }
  if (mapping->second.sim_event) {
    // The data word is a DWORD on the wire; the setting events carry signed values in it.
    const auto data = static_cast<std::int32_t>(t.data);
    ApplySimEvent(world.state, mapping->second.event, data, world.frozen);
    log.out("event " + mapping->second.name + " " + std::to_string(data));
  }
  world.transmitted.push_back({mapping->second.name, client_number_, t.event_id, t.data});
}

void ClientSession::HandleGroupAdd(const wire::Request& request, Outbox& out) {
  const auto& w = request.general.words;  // group, event, maskable
  auto group = groups_.find(w[0]);
  if (group == groups_.end() && groups_.size() >= kMaxGroupsPerClient) {
    Refuse(request, SIMCONNECT_EXCEPTION_TOO_MANY_GROUPS, 1, out);
    return;
  }
  std::vector<std::uint32_t>& events = groups_[w[0]].events;
  if (std::find(events.begin(), events.end(), w[1]) != events.end()) {
    Refuse(request, SIMCONNECT_EXCEPTION_EVENT_ID_DUPLICATE, 2, out);
  } else if (events.size() >= kMaxEventsPerGroup) {
    Refuse(request, SIMCONNECT_EXCEPTION_OUT_OF_BOUNDS, 2, out);
  } else {
    events.push_back(w[1]);
  }
}

void ClientSession::HandleGroupRemove(const wire::Request& request, Outbox& out) {
  const auto& w = request.general.words;  // group, event
  const auto group = groups_.find(w[0]);
  if (group == groups_.end()) {
    Refuse(request, SIMCONNECT_EXCEPTION_UNRECOGNIZED_ID, 1, out);
    return;
  }
  std::vector<std::uint32_t>& events = group->second.events;
  const auto event = std::find(events.begin(), events.end(), w[1]);
  if (event == events.end()) {
    Refuse(request, SIMCONNECT_EXCEPTION_UNRECOGNIZED_ID, 2, out);
  } else {
    events.erase(event);
  }
}

void ClientSession::HandleGroupPriority(const wire::Request& request, Outbox& out) {
  const auto& w = request.general.words;  // group, priority
  const auto group = groups_.find(w[0]);
  if (group == groups_.end()) {
    Refuse(request, SIMCONNECT_EXCEPTION_UNRECOGNIZED_ID, 1, out);
  } else {
    group->second.priority = w[1];
  }
}

void ClientSession::HandleGroupClear(const wire::Request& request, Outbox& out) {
  const auto group = groups_.find(request.general.words[0]);
  if (group == groups_.end()) {
    Refuse(request, SIMCONNECT_EXCEPTION_UNRECOGNIZED_ID, 1, out);
  } else {
    group->second.events.clear();
  }
}

void ClientSession::DeliverEvent(const TransmittedEvent& event, Outbox& out) const {
  if (!opened_) return;
  std::vector<const std::pair<const std::uint32_t, Group>*> order;
  for (const auto& group : groups_) order.push_back(&group);
  // The highest priority is the lowest number; groups of equal priority go by id.
  std::stable_sort(order.begin(), order.end(), [](const auto* a, const auto* b) {
    return a->second.priority < b->second.priority;
  });
  std::vector<std::uint32_t> delivered;
  for (const auto* group : order) {
    for (const std::uint32_t id : group->second.events) {
      const auto mapping = events_.find(id);
      if (mapping == events_.end()) continue;
      const bool hears = event.name.empty()
                             ? mapping->second.name.empty() && event.sender == client_number_ &&
                                   event.sender_event_id == id
                             : mapping->second.name == event.name;
      if (!hears || std::find(delivered.begin(), delivered.end(), id) != delivered.end()) continue;
      delivered.push_back(id);
      std::vector<std::uint8_t> message;
      wire::EncodeEventMessage(protocol_, group->first, id, event.data, message);
      // Droppable like data: another client's flood must not grow this client's queue unbounded.
      out.Push(std::move(message), true);
    }
  }
}

}  // namespace skyhelm::simulator
