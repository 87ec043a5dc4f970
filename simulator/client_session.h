// One client's conversation with the simulator: handshake, data definitions, data requests and
// event mappings, independent of the socket that carries it.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/simconnect/wire_protocol.h"
#include "simulator/data_packing.h"
#include "simulator/outbox.h"
#include "simulator/sim_events.h"
#include "simulator/sim_state.h"

namespace skyhelm::simulator {

// What all clients share: the one aircraft and how events act on it.
struct World {
  SimState state;
  bool frozen = false;  // the aircraft does not move; events take effect at once
};

// Where the server's lines go: `out` for the scripted standard-output lines ("event NAME DATA",
// connections), `err` for diagnostics. Each call is one whole line without its line feed.
struct ServerLog {
  std::function<void(const std::string&)> out;
  std::function<void(const std::string&)> err;
};

// Per-client limits; a request beyond them is refused with an exception.
inline constexpr std::size_t kMaxEntriesPerClient = 4096;
inline constexpr std::size_t kMaxRequestsPerClient = 256;
inline constexpr std::size_t kMaxEventMappingsPerClient = 1024;

class ClientSession {
 public:
  enum class Verdict {
    kKeep,
    kClose,  // send what is queued (if anything), then close the connection
  };

  explicit ClientSession(int client_number) : client_number_(client_number) {}

  // Handles one decoded request; answers (open message, exceptions) go to `out`, in the protocol
  // version of the client's Open. A refused request is answered with an exception naming its send
  // id and the 1-based index of the offending parameter (after the handle) and keeps the client;
  // so is a request type the simulator does not serve (ERROR) or a known one of the wrong size
  // (SIZE_MISMATCH). Closing: any request before Open, or an Open in a protocol version other than
  // 2..6 (answered with a VERSION_MISMATCH exception first).
  Verdict Handle(const wire::Request& request, World& world, Outbox& out, const ServerLog& log);

  // Queues one data message for every request due at simulation frame `frame` (counted from 0 at
  // start); SECOND requests are due every `frames_per_second` frames. ONCE requests go once.
  void QueueFrame(const SimState& state, std::uint64_t frame, std::uint32_t frames_per_second,
                  Outbox& out);

  bool opened() const { return opened_; }
  std::uint32_t protocol() const { return protocol_; }
  int client_number() const { return client_number_; }

 private:
  struct DataRequest {
    std::uint32_t define_id;
    std::uint32_t period;
    std::uint64_t first_frame;  // SECOND requests are due when (frame - first_frame) % fps == 0
  };

  Verdict HandleOpen(const wire::Request& request, Outbox& out, const ServerLog& log);
  void HandleAdd(const wire::Request& request, Outbox& out);
  void HandleRequestData(const wire::Request& request, Outbox& out);
  void HandleMap(const wire::Request& request, Outbox& out);
  void HandleTransmit(const wire::Request& request, World& world, Outbox& out,
                      const ServerLog& log);

  int client_number_;
  bool opened_ = false;
  std::uint32_t protocol_ = wire::kDefaultProtocol;
  std::string name_;
  std::map<std::uint32_t, std::vector<DataEntry>> definitions_;
  std::size_t entry_count_ = 0;
  std::map<std::uint32_t, DataRequest> requests_;
  std::map<std::uint32_t, SimEvent> events_;
  std::uint64_t next_frame_ = 0;  // the frame the next QueueFrame call will produce
};

}  // namespace skyhelm::simulator
