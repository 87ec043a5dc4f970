// The byte protocol between the stand-in client library and the stand-in simulator.
//
// TCP, little-endian. Every message in either direction starts with its total size as a 32-bit
// unsigned integer, so a reader can frame the stream without knowing the message type.
//
//   client -> simulator: a request  = u32 size, u32 type (RequestType), u32 send id, payload
//   simulator -> client: a message  = exactly the bytes of a SIMCONNECT_RECV structure
//                                     (dwSize, dwVersion, dwID, ...), the data block appended
//
// Text fields are fixed 256-byte zero-padded fields; a longer text is cut at 255 bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace skyhelm::wire {

inline constexpr std::uint32_t kMagic = 0x48594B53;  // "SKYH" as little-endian bytes
inline constexpr std::uint32_t kProtocolVersion = 1;
inline constexpr std::size_t kTextBytes = 256;
inline constexpr std::size_t kRequestHeaderBytes = 12;
inline constexpr std::size_t kMessageHeaderBytes = 12;  // sizeof(SIMCONNECT_RECV)
// No message in either direction may be larger: a size field beyond it means a broken stream.
inline constexpr std::size_t kMaxMessageBytes = 64 * 1024;
// The largest data block a definition may describe, so that its message stays within the bound.
inline constexpr std::size_t kMaxDataBlockBytes = kMaxMessageBytes - 64;
inline constexpr std::size_t kSimObjectDataHeaderBytes = 40;  // offset of dwData

enum class RequestType : std::uint32_t {
  kOpen = 1,
  kAddToDataDefinition = 2,
  kRequestDataOnSimObject = 3,
  kMapClientEventToSimEvent = 4,
  kTransmitClientEvent = 5,
  kClose = 6,
};

struct OpenRequest {
  std::uint32_t magic = kMagic;
  std::uint32_t protocol_version = kProtocolVersion;
  std::string client_name;
};

struct AddToDataDefinitionRequest {
  std::uint32_t define_id = 0;
  std::string datum_name;
  bool has_units = false;  // false for a null units pointer (strings)
  std::string units_name;
  std::uint32_t datum_type = 0;
  float epsilon = 0.0f;
  std::uint32_t datum_id = 0xFFFFFFFFu;
};

struct RequestDataOnSimObjectRequest {
  std::uint32_t request_id = 0;
  std::uint32_t define_id = 0;
  std::uint32_t object_id = 0;
  std::uint32_t period = 0;
  std::uint32_t flags = 0;
  std::uint32_t origin = 0;
  std::uint32_t interval = 0;
  std::uint32_t limit = 0;
};

struct MapClientEventRequest {
  std::uint32_t event_id = 0;
  std::string event_name;
};

struct TransmitClientEventRequest {
  std::uint32_t object_id = 0;
  std::uint32_t event_id = 0;
  std::uint32_t data = 0;
  std::uint32_t group_id = 0;
  std::uint32_t flags = 0;
};

// One decoded client request; only the member named by `type` is meaningful.
struct Request {
  RequestType type = RequestType::kClose;
  std::uint32_t send_id = 0;
  OpenRequest open;
  AddToDataDefinitionRequest add;
  RequestDataOnSimObjectRequest request_data;
  MapClientEventRequest map;
  TransmitClientEventRequest transmit;
};

// --- framing -----------------------------------------------------------------------------------

enum class FrameStatus { kIncomplete, kComplete, kBroken };

// Looks at the start of `available` bytes of a stream. kComplete sets frame_size to the size of the
// first message, which is wholly present; kIncomplete means more bytes are needed; kBroken means
// the size field is below min_size or above kMaxMessageBytes, so the stream can no longer be
// trusted.
FrameStatus PeekFrame(const std::uint8_t* data, std::size_t available, std::size_t min_size,
                      std::size_t& frame_size);

// --- requests (client -> simulator) ------------------------------------------------------------

// Each appends one whole request to `out`.
void EncodeOpen(const OpenRequest& request, std::uint32_t send_id, std::vector<std::uint8_t>& out);
void EncodeAddToDataDefinition(const AddToDataDefinitionRequest& request, std::uint32_t send_id,
                               std::vector<std::uint8_t>& out);
void EncodeRequestDataOnSimObject(const RequestDataOnSimObjectRequest& request,
                                  std::uint32_t send_id, std::vector<std::uint8_t>& out);
void EncodeMapClientEvent(const MapClientEventRequest& request, std::uint32_t send_id,
                          std::vector<std::uint8_t>& out);
void EncodeTransmitClientEvent(const TransmitClientEventRequest& request, std::uint32_t send_id,
                               std::vector<std::uint8_t>& out);
void EncodeClose(std::uint32_t send_id, std::vector<std::uint8_t>& out);

// Decodes one whole framed request (as PeekFrame delimited it). False for an unknown type or a
// size that does not match the type's layout; never reads past data + size.
bool DecodeRequest(const std::uint8_t* data, std::size_t size, Request& out);

// --- messages (simulator -> client) ------------------------------------------------------------

void EncodeOpenMessage(const std::string& application_name, std::vector<std::uint8_t>& out);
void EncodeQuitMessage(std::vector<std::uint8_t>& out);
void EncodeExceptionMessage(std::uint32_t exception, std::uint32_t send_id, std::uint32_t index,
                            std::vector<std::uint8_t>& out);
// A SIMCONNECT_RECV_SIMOBJECT_DATA message whose data block is block[0..block_size).
void EncodeSimObjectDataMessage(std::uint32_t request_id, std::uint32_t object_id,
                                std::uint32_t define_id, std::uint32_t define_count,
                                const std::uint8_t* block, std::size_t block_size,
                                std::vector<std::uint8_t>& out);

// Little-endian helpers, shared by both ends.
void PutU32(std::vector<std::uint8_t>& out, std::uint32_t value);
std::uint32_t GetU32(const std::uint8_t* data);

}  // namespace skyhelm::wire
