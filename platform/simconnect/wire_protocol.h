// SimConnect's network protocol, as the client library and the stand-in simulator speak it.
//
// TCP, little-endian. Every packet in either direction starts with its whole size (the size field
// included) as a u32; nothing else frames the stream.
//
//   client -> simulator: u32 size, u32 protocol version, u32 packet type (0xF0000000 | id),
//                        u32 send id, then the operation's fixed-layout payload
//   simulator -> client: exactly the bytes of a SIMCONNECT_RECV structure (dwSize, dwVersion =
//                        the client's protocol version, dwID, ...), a data block appended
//
// Send ids count per connection: the Open packet is 1, each later packet one more. There is no
// close packet; closing the socket ends the session. Text fields are fixed 256-byte zero-padded
// fields; a longer text is cut at 255 bytes and a zero.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace skyhelm::wire {

inline constexpr std::size_t kTextBytes = 256;
inline constexpr std::size_t kRequestHeaderBytes = 16;
inline constexpr std::size_t kMessageHeaderBytes = 12;  // sizeof(SIMCONNECT_RECV)
// No packet in either direction may be larger: a size field beyond it means a broken stream.
inline constexpr std::size_t kMaxMessageBytes = 64 * 1024;
// The largest data block a definition may describe, so that its message stays within the bound.
inline constexpr std::size_t kMaxDataBlockBytes = kMaxMessageBytes - 64;
inline constexpr std::size_t kSimObjectDataHeaderBytes = 40;  // offset of dwData

// Protocol versions: 2, 3 and 4 are the three releases of the first simulator's library (4 is the
// one every later simulator still accepts), 5 and 6 the two newer simulators' libraries.
inline constexpr std::uint32_t kOldestProtocol = 2;
inline constexpr std::uint32_t kNewestProtocol = 6;
inline constexpr std::uint32_t kDefaultProtocol = 4;
inline constexpr bool IsKnownProtocol(std::uint32_t protocol) {
  return protocol >= kOldestProtocol && protocol <= kNewestProtocol;
}

// The version block an Open packet carries: the library's product alias and version figures.
struct LibraryVersion {
  std::array<char, 3> alias{};  // zero-padded, not zero-terminated
  std::uint32_t major = 0;
  std::uint32_t minor = 0;
  std::uint32_t build_major = 0;
  std::uint32_t build_minor = 0;
};
// The block of a known protocol version; protocol must satisfy IsKnownProtocol.
LibraryVersion LibraryVersionOf(std::uint32_t protocol);

inline constexpr std::uint32_t kPacketTypeBase = 0xF0000000u;

// The operations' ids (the packet type is kPacketTypeBase | id). kUnsupported stands for any
// other packet type: a well-framed request this code does not implement.
enum class RequestType : std::uint32_t {
  kOpen = 0x01,
  kMapClientEventToSimEvent = 0x04,
  kTransmitClientEvent = 0x05,
  kAddToDataDefinition = 0x0C,
  kRequestDataOnSimObject = 0x0E,
  // The general calls below decode into Request::general; the words are in the order listed
  // (a float travels as its bits in a word), text is the one 256-byte text field, data the bytes
  // after the fixed part.
  kSetSystemEventState = 0x06,                // event id, state
  kAddClientEventToNotificationGroup = 0x07,  // group id, event id, maskable
  kRemoveClientEvent = 0x08,                  // group id, event id
  kSetNotificationGroupPriority = 0x09,       // group id, priority
  kClearNotificationGroup = 0x0A,             // group id
  kClearDataDefinition = 0x0D,                // define id
  kSetDataOnSimObject = 0x10,          // define id, object id, flags, array count, unit size; data
  kSubscribeToSystemEvent = 0x17,      // event id; text: the system event's name
  kUnsubscribeFromSystemEvent = 0x18,  // event id
  kRequestSystemState = 0x35,          // request id; text: the state's name
  kMapClientDataNameToId = 0x37,       // text: the area's name; client data id
  kCreateClientData = 0x38,            // client data id, size, flags
  kAddToClientDataDefinition = 0x39,   // define id, offset, size or type, epsilon, datum id
  kClearClientDataDefinition = 0x3A,   // define id
  kRequestClientData = 0x3B,  // client data id, request id, define id, period, flags, origin,
                              // interval, limit
  kSetClientData = 0x3C,      // client data id, define id, flags, reserved, unit size; data
  kUnsupported = 0xFFFFFFFFu,
};

// True for the types that decode into Request::general.
bool IsGeneralRequest(RequestType type);

struct OpenRequest {
  std::string client_name;
  LibraryVersion version;  // ignored when encoding: the protocol's own block is sent
};

struct AddToDataDefinitionRequest {
  std::uint32_t define_id = 0;
  std::string datum_name;
  std::string units_name;  // empty for none (strings)
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

// A request of one of the general calls (see RequestType).
struct GeneralRequest {
  std::array<std::uint32_t, 8> words{};
  std::string text;
  std::vector<std::uint8_t> data;
};

// One decoded client request; only the member named by `type` is meaningful.
struct Request {
  RequestType type = RequestType::kUnsupported;
  std::uint32_t protocol = 0;
  std::uint32_t packet_type = 0;  // as sent
  std::uint32_t send_id = 0;
  // A known operation whose size does not match its layout (decoded as kUnsupported).
  bool size_mismatch = false;
  OpenRequest open;
  AddToDataDefinitionRequest add;
  RequestDataOnSimObjectRequest request_data;
  MapClientEventRequest map;
  TransmitClientEventRequest transmit;
  GeneralRequest general;
};

// --- framing -----------------------------------------------------------------------------------

enum class FrameStatus { kIncomplete, kComplete, kBroken };

// Looks at the start of `available` bytes of a stream. kComplete sets frame_size to the size of the
// first packet, which is wholly present; kIncomplete means more bytes are needed; kBroken means
// the size field is below min_size or above kMaxMessageBytes, so the stream can no longer be
// trusted.
FrameStatus PeekFrame(const std::uint8_t* data, std::size_t available, std::size_t min_size,
                      std::size_t& frame_size);

// --- requests (client -> simulator) ------------------------------------------------------------

// Each appends one whole packet in `protocol`'s format to `out`.
void EncodeOpen(const OpenRequest& request, std::uint32_t protocol, std::uint32_t send_id,
                std::vector<std::uint8_t>& out);
void EncodeAddToDataDefinition(const AddToDataDefinitionRequest& request, std::uint32_t protocol,
                               std::uint32_t send_id, std::vector<std::uint8_t>& out);
void EncodeRequestDataOnSimObject(const RequestDataOnSimObjectRequest& request,
                                  std::uint32_t protocol, std::uint32_t send_id,
                                  std::vector<std::uint8_t>& out);
void EncodeMapClientEvent(const MapClientEventRequest& request, std::uint32_t protocol,
                          std::uint32_t send_id, std::vector<std::uint8_t>& out);
void EncodeTransmitClientEvent(const TransmitClientEventRequest& request, std::uint32_t protocol,
                               std::uint32_t send_id, std::vector<std::uint8_t>& out);
// `type` must satisfy IsGeneralRequest; words beyond the type's layout are not sent.
void EncodeGeneralRequest(RequestType type, const GeneralRequest& request, std::uint32_t protocol,
                          std::uint32_t send_id, std::vector<std::uint8_t>& out);

// Decodes one whole framed request (as PeekFrame delimited it) into `out`, which is reset first.
// False only when the header itself is unusable (shorter than 16 bytes or a size field other than
// `size`); any other packet type, or a known one of the wrong size (shorter than its fixed part,
// for the calls that carry data), decodes as kUnsupported. Never reads past data + size.
bool DecodeRequest(const std::uint8_t* data, std::size_t size, Request& out);

// --- messages (simulator -> client) ------------------------------------------------------------

// Message ids (dwID, the values of SIMCONNECT_RECV_ID) of the messages this code sends or reads.
inline constexpr std::uint32_t kRecvIdException = 1;
inline constexpr std::uint32_t kRecvIdOpen = 2;
inline constexpr std::uint32_t kRecvIdQuit = 3;
inline constexpr std::uint32_t kRecvIdEvent = 4;
inline constexpr std::uint32_t kRecvIdEventFrame = 7;
inline constexpr std::uint32_t kRecvIdSimObjectData = 8;
inline constexpr std::uint32_t kRecvIdSystemState = 15;
inline constexpr std::uint32_t kRecvIdClientData = 16;

// SIMCONNECT_RECV_OPEN's figures after the application name.
struct OpenMessageVersions {
  std::uint32_t application[4] = {};  // major, minor, build major, build minor
  std::uint32_t simconnect[4] = {};
};
void EncodeOpenMessage(std::uint32_t protocol, const std::string& application_name,
                       const OpenMessageVersions& versions, std::vector<std::uint8_t>& out);
void EncodeQuitMessage(std::uint32_t protocol, std::vector<std::uint8_t>& out);
// The same quit message written over out[0..kMessageHeaderBytes), for the client library, which
// makes one up for a broken stream and must not allocate to do so.
void WriteQuitMessage(std::uint32_t protocol, std::uint8_t* out);
// SIMCONNECT_RECV_EVENT: a client event (or a system event) with its group and data word.
void EncodeEventMessage(std::uint32_t protocol, std::uint32_t group_id, std::uint32_t event_id,
                        std::uint32_t data, std::vector<std::uint8_t>& out);
// SIMCONNECT_RECV_EVENT_FRAME: the "Frame" system event with the frame rate and simulation rate.
void EncodeFrameEventMessage(std::uint32_t protocol, std::uint32_t event_id, float frame_rate,
                             float sim_speed, std::vector<std::uint8_t>& out);
// SIMCONNECT_RECV_SYSTEM_STATE: an integer, a float and a text of at most 259 bytes.
void EncodeSystemStateMessage(std::uint32_t protocol, std::uint32_t request_id,
                              std::uint32_t integer, float real, const std::string& text,
                              std::vector<std::uint8_t>& out);
void EncodeExceptionMessage(std::uint32_t protocol, std::uint32_t exception, std::uint32_t send_id,
                            std::uint32_t index, std::vector<std::uint8_t>& out);
// The fields of SIMCONNECT_RECV_SIMOBJECT_DATA (and of RECV_CLIENT_DATA, which shares its layout)
// before the data block.
struct DataMessage {
  bool client_data = false;  // RECV_CLIENT_DATA rather than RECV_SIMOBJECT_DATA
  std::uint32_t request_id = 0;
  std::uint32_t object_id = 0;
  std::uint32_t define_id = 0;
  std::uint32_t flags = 0;  // the request's flags
  std::uint32_t define_count = 0;
};
void EncodeDataMessage(std::uint32_t protocol, const DataMessage& header, const std::uint8_t* block,
                       std::size_t block_size, std::vector<std::uint8_t>& out);
// A SIMCONNECT_RECV_SIMOBJECT_DATA message without flags whose data block is
// block[0..block_size).
void EncodeSimObjectDataMessage(std::uint32_t protocol, std::uint32_t request_id,
                                std::uint32_t object_id, std::uint32_t define_id,
                                std::uint32_t define_count, const std::uint8_t* block,
                                std::size_t block_size, std::vector<std::uint8_t>& out);

// Little-endian helpers, shared by both ends.
void PutU32(std::vector<std::uint8_t>& out, std::uint32_t value);
std::uint32_t GetU32(const std::uint8_t* data);

}  // namespace skyhelm::wire
