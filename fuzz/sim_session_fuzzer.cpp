// Fuzz target: the stand-in simulator serving whatever a client sends after a proper handshake.
//
// The input is a request stream; each whole frame is decoded from its own exactly-sized buffer
// and handed to one client session, and a simulation frame is produced after every request.
// Invariants: every message the session queues is one well-formed frame within the protocol's
// bound; an "event" line is only ever logged for a transmit request; the session stops taking
// requests once it asked for the connection to close.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "platform/simconnect/wire_protocol.h"
#include "simulator/client_session.h"
#include "simulator/outbox.h"

namespace {

namespace wire = skyhelm::wire;
namespace simulator = skyhelm::simulator;

constexpr std::uint32_t kFramesPerSecond = 60;

void DrainAndCheck(simulator::Outbox& outbox) {
  while (!outbox.Empty()) {
    const std::size_t size = outbox.FrontSize();
    std::size_t frame_size = 0;
    FUZZ_CHECK(wire::PeekFrame(outbox.FrontData(), size, wire::kMessageHeaderBytes, frame_size) ==
               wire::FrameStatus::kComplete);
    FUZZ_CHECK(frame_size == size);
    outbox.Consume(size);
  }
}

bool Handle(simulator::ClientSession& session, const wire::Request& request,
            simulator::World& world, simulator::Outbox& outbox, const simulator::ServerLog& log) {
  const auto verdict = session.Handle(request, world, outbox, log);
  DrainAndCheck(outbox);
  return verdict == simulator::ClientSession::Verdict::kKeep;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  simulator::World world;
  world.frozen = (size % 2) == 0;
  std::size_t event_lines = 0;
  std::size_t transmits = 0;
  const simulator::ServerLog log{
      [&](const std::string& line) { event_lines += line.rfind("event ", 0) == 0 ? 1 : 0; },
      [](const std::string&) {}};
  simulator::ClientSession session(1);
  simulator::Outbox outbox(256 * 1024);

  wire::Request open;
  open.type = wire::RequestType::kOpen;
  open.protocol = wire::kDefaultProtocol;
  open.send_id = 0;
  open.open.client_name = "Request Data";
  FUZZ_CHECK(Handle(session, open, world, outbox, log));

  auto stream = skyhelm::fuzz::ExactCopy(data, size);
  std::size_t offset = 0;
  std::uint64_t frame = 0;
  while (offset < size) {
    std::size_t frame_size = 0;
    if (wire::PeekFrame(stream.get() + offset, size - offset, wire::kRequestHeaderBytes,
                        frame_size) != wire::FrameStatus::kComplete) {
      break;
    }
    auto exact = skyhelm::fuzz::ExactCopy(stream.get() + offset, frame_size);
    offset += frame_size;
    wire::Request request;
    if (!wire::DecodeRequest(exact.get(), frame_size, request)) break;  // the server drops it
    transmits += request.type == wire::RequestType::kTransmitClientEvent ? 1 : 0;
    const bool keep = Handle(session, request, world, outbox, log);
    FUZZ_CHECK(event_lines <= transmits);
    if (!keep) break;
    // Events this session transmitted come back through its own groups, as the server does it.
    for (const simulator::TransmittedEvent& event : world.transmitted) {
      session.DeliverEvent(event, outbox);
    }
    world.transmitted.clear();
    simulator::FrameTick tick;
    tick.frame = frame++;
    tick.frames_per_second = kFramesPerSecond;
    tick.sim_time_s = static_cast<double>(tick.frame) / kFramesPerSecond;
    session.QueueFrame(world, tick, outbox);
    DrainAndCheck(outbox);
  }
  return 0;
}
