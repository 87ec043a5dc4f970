// What every client of the simulator shares: the aircraft, the pause, the events transmitted
// this round and the client data areas.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "simulator/sim_state.h"

namespace skyhelm::simulator {

// One transmitted client event, for the notification groups of every client. `name` is what a
// mapping must have to hear it: a simulator event's own spelling or a custom event's name in
// upper case; empty for a private event, which only its sender's own mapping of the id hears.
struct TransmittedEvent {
  std::string name;
  int sender = 0;                 // client number
  std::uint32_t sender_event_id;  // the sender's event id (private events)
  std::uint32_t data;
};

// A client data area: named by its creator, read and written by any client that maps the name.
struct ClientDataArea {
  std::vector<std::uint8_t> bytes;  // empty until created
  bool read_only = false;           // only the creator may write
  int creator = 0;                  // client number
  std::uint64_t writes = 0;         // counts SetClientData calls, for ON_SET requests
};

inline constexpr std::size_t kMaxClientDataAreas = 256;
inline constexpr std::size_t kMaxClientDataBytes =
    8192;  // the reference's SIMCONNECT_CLIENTDATA_MAX_SIZE

struct World {
  SimState state;
  bool frozen = false;  // the aircraft does not move; events take effect at once
  bool paused = false;  // the simulation is paused: neither the aircraft nor simulated time moves
  std::vector<TransmittedEvent> transmitted;          // drained by the server after each read
  std::map<std::string, ClientDataArea> client_data;  // by name, as mapped
  std::uint64_t unmapped_transmits = 0;               // transmits of ids their sender never mapped
};

}  // namespace skyhelm::simulator
