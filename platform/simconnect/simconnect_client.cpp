// The client library: the documented C operations on top of a TCP connection speaking SimConnect's
// network protocol. Nothing escapes as an exception; every failure is a negative HRESULT.
//
// The socket layer comes first: on Windows its <winsock2.h> must precede the <windows.h> that
// SimConnect.h pulls in.
#include "platform/simconnect/client_connection.h"

#include <SimConnect.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

using skyhelm::simconnect::ClientConnection;
namespace wire = skyhelm::wire;

static_assert(wire::kRecvIdException == SIMCONNECT_RECV_ID_EXCEPTION);
static_assert(wire::kRecvIdOpen == SIMCONNECT_RECV_ID_OPEN);
static_assert(wire::kRecvIdQuit == SIMCONNECT_RECV_ID_QUIT);
static_assert(wire::kRecvIdEvent == SIMCONNECT_RECV_ID_EVENT);
static_assert(wire::kRecvIdEventFrame == SIMCONNECT_RECV_ID_EVENT_FRAME);
static_assert(wire::kRecvIdSimObjectData == SIMCONNECT_RECV_ID_SIMOBJECT_DATA);

// What a HANDLE points to.
struct Client {
  ClientConnection connection;
  bool dispatching = false;
  bool close_requested = false;  // closed from inside a dispatch callback: freed when it returns
};

// Every handle given out and not yet closed, so that a stale or foreign handle is refused
// instead of dereferenced.
std::vector<Client*>& LiveClients() {
  static std::vector<Client*> clients;
  return clients;
}

Client* Find(HANDLE handle) {
  if (handle == nullptr) return nullptr;
  std::vector<Client*>& live = LiveClients();
  const auto found = std::find(live.begin(), live.end(), static_cast<Client*>(handle));
  return found == live.end() ? nullptr : *found;
}

void Forget(Client* client) {
  std::vector<Client*>& live = LiveClients();
  live.erase(std::remove(live.begin(), live.end(), client), live.end());
}

template <typename Operation>
HRESULT Guarded(Operation&& operation) {
  try {
    return operation();
  } catch (...) {
    return E_FAIL;
  }
}

// Sends one request built by `encode(protocol, send_id, out)`.
template <typename Encode>
HRESULT SendRequest(HANDLE handle, Encode&& encode) {
  return Guarded([&]() -> HRESULT {
    Client* client = Find(handle);
    if (client == nullptr) return E_FAIL;
    return client->connection.Send(encode) ? S_OK : E_FAIL;
  });
}

std::string TextOrEmpty(const char* text) { return text != nullptr ? text : ""; }

void ExplainOpenFailure(const std::string& why) {
  std::fprintf(stderr, "SimConnect_Open failed: %s\n", why.c_str());
}

struct DispatchTarget {
  DispatchProc procedure;
  void* context;
  const ClientConnection* connection;
};

void Deliver(std::uint8_t* message, std::uint32_t size, void* target) {
  const auto* to = static_cast<const DispatchTarget*>(target);
  // Open has already returned success, so the reason a handshake failed would otherwise show
  // nowhere: one line, just before the one quit message the failure ends in.
  const std::string& failure = to->connection->handshake_failure();
  if (!failure.empty() && wire::GetU32(message + 8) == SIMCONNECT_RECV_ID_QUIT) {
    std::fprintf(stderr, "SimConnect: %s\n", failure.c_str());
    std::fflush(stderr);
  }
  to->procedure(reinterpret_cast<SIMCONNECT_RECV*>(message), size, to->context);
}

}  // namespace

SIMCONNECTAPI SimConnect_Open(HANDLE* phSimConnect, LPCSTR szName, HWND /*hWnd*/,
                              DWORD /*UserEventWin32*/, HANDLE /*hEventHandle*/,
                              DWORD ConfigIndex) {
  return Guarded([&]() -> HRESULT {
    if (phSimConnect == nullptr) return E_FAIL;
    *phSimConnect = nullptr;
    skyhelm::simconnect::ConnectionSettings settings;
    std::string why;
    if (!skyhelm::simconnect::ResolveConnectionSettings(
            ConfigIndex, skyhelm::simconnect::ConfigFolders(), settings, why)) {
      ExplainOpenFailure(why);
      return E_FAIL;
    }
    auto client = std::make_unique<Client>();
    if (!client->connection.Open(settings.address, settings.protocol, TextOrEmpty(szName), why)) {
      ExplainOpenFailure(why);
      return E_FAIL;
    }
    LiveClients().push_back(client.get());
    *phSimConnect = client.release();
    return S_OK;
  });
}

SIMCONNECTAPI SimConnect_Close(HANDLE hSimConnect) {
  return Guarded([&]() -> HRESULT {
    Client* client = Find(hSimConnect);
    if (client == nullptr) return E_FAIL;
    Forget(client);
    client->connection.Shutdown();
    if (client->dispatching) {
      client->close_requested = true;
    } else {
      delete client;
    }
    return S_OK;
  });
}

SIMCONNECTAPI SimConnect_AddToDataDefinition(HANDLE hSimConnect,
                                             SIMCONNECT_DATA_DEFINITION_ID DefineID,
                                             const char* DatumName, const char* UnitsName,
                                             SIMCONNECT_DATATYPE DatumType, float fEpsilon,
                                             DWORD DatumID) {
  return SendRequest(hSimConnect, [&](std::uint32_t protocol, std::uint32_t send_id,
                                      std::vector<std::uint8_t>& out) {
    wire::AddToDataDefinitionRequest request;
    request.define_id = DefineID;
    request.datum_name = TextOrEmpty(DatumName);
    request.units_name = TextOrEmpty(UnitsName);
    request.datum_type = static_cast<std::uint32_t>(DatumType);
    request.epsilon = fEpsilon;
    request.datum_id = DatumID;
    wire::EncodeAddToDataDefinition(request, protocol, send_id, out);
  });
}

SIMCONNECTAPI SimConnect_RequestDataOnSimObject(
    HANDLE hSimConnect, SIMCONNECT_DATA_REQUEST_ID RequestID,
    SIMCONNECT_DATA_DEFINITION_ID DefineID, SIMCONNECT_OBJECT_ID ObjectID, SIMCONNECT_PERIOD Period,
    SIMCONNECT_DATA_REQUEST_FLAG Flags, DWORD origin, DWORD interval, DWORD limit) {
  return SendRequest(hSimConnect, [&](std::uint32_t protocol, std::uint32_t send_id,
                                      std::vector<std::uint8_t>& out) {
    wire::RequestDataOnSimObjectRequest request;
    request.request_id = RequestID;
    request.define_id = DefineID;
    request.object_id = ObjectID;
    request.period = static_cast<std::uint32_t>(Period);
    request.flags = Flags;
    request.origin = origin;
    request.interval = interval;
    request.limit = limit;
    wire::EncodeRequestDataOnSimObject(request, protocol, send_id, out);
  });
}

SIMCONNECTAPI SimConnect_MapClientEventToSimEvent(HANDLE hSimConnect,
                                                  SIMCONNECT_CLIENT_EVENT_ID EventID,
                                                  const char* EventName) {
  return SendRequest(hSimConnect, [&](std::uint32_t protocol, std::uint32_t send_id,
                                      std::vector<std::uint8_t>& out) {
    wire::MapClientEventRequest request;
    request.event_id = EventID;
    request.event_name = TextOrEmpty(EventName);
    wire::EncodeMapClientEvent(request, protocol, send_id, out);
  });
}

SIMCONNECTAPI SimConnect_TransmitClientEvent(HANDLE hSimConnect, SIMCONNECT_OBJECT_ID ObjectID,
                                             SIMCONNECT_CLIENT_EVENT_ID EventID, DWORD dwData,
                                             SIMCONNECT_NOTIFICATION_GROUP_ID GroupID,
                                             SIMCONNECT_EVENT_FLAG Flags) {
  // No strings in this request: once the outgoing buffer has its capacity, nothing allocates.
  return SendRequest(hSimConnect, [&](std::uint32_t protocol, std::uint32_t send_id,
                                      std::vector<std::uint8_t>& out) {
    wire::TransmitClientEventRequest request;
    request.object_id = ObjectID;
    request.event_id = EventID;
    request.data = dwData;
    request.group_id = GroupID;
    request.flags = Flags;
    wire::EncodeTransmitClientEvent(request, protocol, send_id, out);
  });
}

SIMCONNECTAPI SimConnect_CallDispatch(HANDLE hSimConnect, DispatchProc pfcnDispatch,
                                      void* pContext) {
  return Guarded([&]() -> HRESULT {
    Client* client = Find(hSimConnect);
    // A dispatch from inside a dispatch callback would hand out messages out of order.
    if (client == nullptr || pfcnDispatch == nullptr || client->dispatching) return E_FAIL;
    client->dispatching = true;
    DispatchTarget target{pfcnDispatch, pContext, &client->connection};
    bool delivered = false;
    try {
      delivered = client->connection.Dispatch(&Deliver, &target, client->close_requested);
    } catch (...) {
      delivered = false;
    }
    client->dispatching = false;
    if (client->close_requested) delete client;
    return delivered ? S_OK : E_FAIL;
  });
}

SIMCONNECTAPI SimConnect_GetLastSentPacketID(HANDLE hSimConnect, DWORD* pdwSendID) {
  Client* client = Find(hSimConnect);
  if (client == nullptr || pdwSendID == nullptr || client->connection.Ended()) return E_FAIL;
  *pdwSendID = client->connection.last_send_id();
  return S_OK;
}
