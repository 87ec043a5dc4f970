// One client's conversation with the simulator: handshake, data definitions and requests, events
// and notification groups, system events and states, client data; independent of the socket that
// carries it. Each family of calls keeps its handlers in a file of its own (data_requests.cpp,
// notification_groups.cpp, system_events.cpp, client_data.cpp); this class only routes.
#pragma once

#include <SimConnect.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/simconnect/wire_protocol.h"
#include "simulator/data_packing.h"
#include "simulator/data_requests.h"
#include "simulator/outbox.h"
#include "simulator/sim_events.h"
#include "simulator/system_events.h"
#include "simulator/world.h"

namespace skyhelm::simulator {

// Where the server's lines go: `out` for the scripted standard-output lines ("event NAME DATA",
// connections), `err` for diagnostics. Each call is one whole line without its line feed; the
// callee must not block (main.cpp drops and counts what a full pipe cannot take).
struct ServerLog {
  std::function<void(const std::string&)> out;
  std::function<void(const std::string&)> err;
};

// Per-client limits; a request beyond them is refused with an exception.
inline constexpr std::size_t kMaxEntriesPerClient = 4096;
inline constexpr std::size_t kMaxRequestsPerClient = 256;
inline constexpr std::size_t kMaxEventMappingsPerClient = 1024;
inline constexpr std::size_t kMaxGroupsPerClient = 256;
inline constexpr std::size_t kMaxEventsPerGroup = 1024;
inline constexpr std::size_t kMaxSubscriptionsPerClient = 256;

// One simulation frame as the sessions see it.
struct FrameTick {
  std::uint64_t frame = 0;  // counted from 0 at start
  std::uint32_t frames_per_second = 60;
  double sim_time_s = 0.0;  // simulated seconds that have run, this frame included
  float rate_hz = 60.0f;
  float time_scale = 1.0f;
};

class ClientSession {
 public:
  enum class Verdict {
    kKeep,
    kClose,  // send what is queued (if anything), then close the connection
  };

  // An over-the-limit session answers the Open with a TOO_MANY_OBJECTS exception naming its send
  // id, then a QUIT, and closes: the reason a client can show.
  explicit ClientSession(int client_number, bool over_limit = false)
      : client_number_(client_number), over_limit_(over_limit) {}

  // Handles one decoded request; answers go to `out`, in the protocol version of the client's
  // Open. A refused request is answered with an exception naming its send id and the 1-based
  // index of the offending parameter (after the handle) and keeps the client; so is a request
  // type the simulator does not serve (ERROR) or a known one of the wrong size (SIZE_MISMATCH).
  // Closing: any request before Open, or an Open in a protocol version other than 2..6
  // (answered with a VERSION_MISMATCH exception first). Transmitted events are added to
  // world.transmitted for the server to hand to every session (DeliverEvent).
  Verdict Handle(const wire::Request& request, World& world, Outbox& out, const ServerLog& log);

  // Queues what is due at this frame: data messages (SECOND requests every frames_per_second
  // frames, after their origin, at their interval, up to their limit, only changed ones with
  // CHANGED), client data and the system events subscribed to.
  void QueueFrame(const World& world, const FrameTick& tick, Outbox& out);

  // Queues a RECV_EVENT for each event id of this client's groups that hears `event`, in group
  // priority order, each id at most once.
  void DeliverEvent(const TransmittedEvent& event, Outbox& out) const;

  bool opened() const { return opened_; }
  bool over_limit() const { return over_limit_; }
  std::uint32_t protocol() const { return protocol_; }
  int client_number() const { return client_number_; }

 private:
  struct EventMapping {
    std::string name;  // what it hears and sends: see TransmittedEvent::name
    bool sim_event = false;
    SimEvent event{};  // when sim_event
  };
  struct Group {
    std::uint32_t priority = 2000000000u;  // SIMCONNECT_GROUP_PRIORITY_DEFAULT
    std::vector<std::uint32_t> events;     // in the order added
  };
  struct ClientDataEntry {
    std::uint32_t offset;
    std::uint32_t size;
    float epsilon;
    std::uint32_t datum_id;
  };
  struct ClientDataRequest {
    std::string area;
    std::uint32_t define_id;
    Schedule schedule;
    LastSent last;
    std::uint64_t writes_seen;
  };

  void Refuse(const wire::Request& request, std::uint32_t exception, std::uint32_t index,
              Outbox& out) const;
  Verdict HandleOpen(const wire::Request& request, Outbox& out, const ServerLog& log);

  // data_requests.cpp
  void HandleAdd(const wire::Request& request, Outbox& out);
  void HandleClearDefinition(const wire::Request& request, Outbox& out);
  void HandleRequestData(const wire::Request& request, Outbox& out);
  void HandleSetData(const wire::Request& request, World& world, Outbox& out);
  void QueueDataRequests(const SimState& state, const FrameTick& tick, Outbox& out);
  // Sends scratch.sample for a due request as a simulation-object (or, client_data, a client
  // data) message when BuildBlock finds something to send, and counts it against the schedule.
  void SendDataBlock(bool client_data, std::uint32_t request_id, std::uint32_t define_id,
                     Schedule& schedule, LastSent& last, DataScratch& scratch, Outbox& out) const;

  // notification_groups.cpp
  void HandleMap(const wire::Request& request, Outbox& out);
  void HandleTransmit(const wire::Request& request, World& world, Outbox& out,
                      const ServerLog& log);
  void HandleGroupAdd(const wire::Request& request, Outbox& out);
  void HandleGroupRemove(const wire::Request& request, Outbox& out);
  void HandleGroupPriority(const wire::Request& request, Outbox& out);
  void HandleGroupClear(const wire::Request& request, Outbox& out);

  // system_events.cpp
  void HandleSubscribe(const wire::Request& request, const World& world, Outbox& out);
  void HandleUnsubscribe(const wire::Request& request, Outbox& out);
  void HandleSystemEventState(const wire::Request& request, Outbox& out);
  void HandleSystemState(const wire::Request& request, const World& world, Outbox& out);
  void QueueSystemEvents(const World& world, const FrameTick& tick, Outbox& out);

  // client_data.cpp
  void HandleMapClientData(const wire::Request& request, Outbox& out);
  void HandleCreateClientData(const wire::Request& request, World& world, Outbox& out);
  void HandleAddClientData(const wire::Request& request, Outbox& out);
  void HandleClearClientData(const wire::Request& request, Outbox& out);
  void HandleRequestClientData(const wire::Request& request, const World& world, Outbox& out);
  void HandleSetClientData(const wire::Request& request, World& world, Outbox& out);
  void QueueClientData(const World& world, const FrameTick& tick, Outbox& out);
  const std::string* AreaName(std::uint32_t client_data_id) const;

  int client_number_;
  bool over_limit_;
  bool opened_ = false;
  std::uint32_t protocol_ = wire::kDefaultProtocol;
  std::string name_;
  std::uint64_t next_frame_ = 0;  // the frame the next QueueFrame call will produce

  // data definitions and requests
  std::map<std::uint32_t, std::vector<DataEntry>> definitions_;
  std::size_t entry_count_ = 0;
  std::map<std::uint32_t, SimObjectRequest> requests_;

  // events and groups
  std::map<std::uint32_t, EventMapping> events_;
  std::map<std::uint32_t, Group> groups_;

  // system events
  std::map<std::uint32_t, Subscription> subscriptions_;
  RunState last_run_{};

  // client data
  std::map<std::uint32_t, std::string> client_data_ids_;
  std::map<std::uint32_t, std::vector<ClientDataEntry>> client_definitions_;
  std::map<std::uint32_t, ClientDataRequest> client_requests_;
};

}  // namespace skyhelm::simulator
