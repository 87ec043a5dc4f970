// The session's router: the handshake, and each request type handed to its family's handler.
#include "simulator/client_session.h"

namespace skyhelm::simulator {
namespace {

// The simulator's own identity in RECV_OPEN: a 2006-era simulator (application 10.0.61472.0)
// with the SimConnect of its last service pack (10.0.61259.0), whatever the client's version.
constexpr wire::OpenMessageVersions kSimulatorVersions{{10, 0, 61472, 0}, {10, 0, 61259, 0}};

}  // namespace

void ClientSession::Refuse(const wire::Request& request, std::uint32_t exception,
                           std::uint32_t index, Outbox& out) const {
  std::vector<std::uint8_t> message;
  wire::EncodeExceptionMessage(protocol_, exception, request.send_id, index, message);
  out.Push(std::move(message), false);
}

ClientSession::Verdict ClientSession::Handle(const wire::Request& request, World& world,
                                             Outbox& out, const ServerLog& log) {
  using T = wire::RequestType;
  if (request.type == T::kOpen) return HandleOpen(request, out, log);
  if (!opened_) return Verdict::kClose;
  switch (request.type) {
    case T::kOpen:
      break;
    case T::kAddToDataDefinition:
      HandleAdd(request, out);
      break;
    case T::kClearDataDefinition:
      HandleClearDefinition(request, out);
      break;
    case T::kRequestDataOnSimObject:
      HandleRequestData(request, out);
      break;
    case T::kSetDataOnSimObject:
      HandleSetData(request, world, out);
      break;
    case T::kMapClientEventToSimEvent:
      HandleMap(request, out);
      break;
    case T::kTransmitClientEvent:
      HandleTransmit(request, world, out, log);
      break;
    case T::kAddClientEventToNotificationGroup:
      HandleGroupAdd(request, out);
      break;
    case T::kRemoveClientEvent:
      HandleGroupRemove(request, out);
      break;
    case T::kSetNotificationGroupPriority:
      HandleGroupPriority(request, out);
      break;
    case T::kClearNotificationGroup:
      HandleGroupClear(request, out);
      break;
    case T::kSubscribeToSystemEvent:
      HandleSubscribe(request, world, out);
      break;
    case T::kUnsubscribeFromSystemEvent:
      HandleUnsubscribe(request, out);
      break;
    case T::kSetSystemEventState:
      HandleSystemEventState(request, out);
      break;
    case T::kRequestSystemState:
      HandleSystemState(request, world, out);
      break;
    case T::kMapClientDataNameToId:
      HandleMapClientData(request, out);
      break;
    case T::kCreateClientData:
      HandleCreateClientData(request, world, out);
      break;
    case T::kAddToClientDataDefinition:
      HandleAddClientData(request, out);
      break;
    case T::kClearClientDataDefinition:
      HandleClearClientData(request, out);
      break;
    case T::kRequestClientData:
      HandleRequestClientData(request, world, out);
      break;
    case T::kSetClientData:
      HandleSetClientData(request, world, out);
      break;
    case T::kUnsupported:
      // A general client may ask for what this simulator does not serve: refuse that packet
      // alone and keep the session.
      Refuse(
          request,
          request.size_mismatch ? SIMCONNECT_EXCEPTION_SIZE_MISMATCH : SIMCONNECT_EXCEPTION_ERROR,
          0, out);
      break;
  }
  return Verdict::kKeep;
}

ClientSession::Verdict ClientSession::HandleOpen(const wire::Request& request, Outbox& out,
                                                 const ServerLog& log) {
  if (opened_) {
    Refuse(request, SIMCONNECT_EXCEPTION_ILLEGAL_OPERATION, 0, out);
    return Verdict::kKeep;
  }
  // Until the open succeeds, answers go out in whatever version the client's header names.
  protocol_ = request.protocol;
  if (!wire::IsKnownProtocol(request.protocol)) {
    Refuse(request, SIMCONNECT_EXCEPTION_VERSION_MISMATCH, 0, out);
    log.err("client " + std::to_string(client_number_) + " refused: protocol version " +
            std::to_string(request.protocol) + " is not served");
    return Verdict::kClose;
  }
  if (over_limit_) {
    // No exception says "too many clients"; TOO_MANY_OBJECTS against the Open, then QUIT, is the
    // nearest a client can tell apart and show.
    Refuse(request, SIMCONNECT_EXCEPTION_TOO_MANY_OBJECTS, 0, out);
    std::vector<std::uint8_t> quit;
    wire::EncodeQuitMessage(protocol_, quit);
    out.Push(std::move(quit), false);
    return Verdict::kClose;
  }
  opened_ = true;
  name_ = request.open.client_name;
  std::vector<std::uint8_t> message;
  wire::EncodeOpenMessage(protocol_, "Skyhelm stand-in simulator", kSimulatorVersions, message);
  out.Push(std::move(message), false);
  log.out("client " + std::to_string(client_number_) + " connected \"" + name_ + "\"");
  return Verdict::kKeep;
}

void ClientSession::QueueFrame(const World& world, const FrameTick& tick, Outbox& out) {
  next_frame_ = tick.frame + 1;
  QueueSystemEvents(world, tick, out);
  QueueDataRequests(world.state, tick, out);
  QueueClientData(world, tick, out);
}

}  // namespace skyhelm::simulator
