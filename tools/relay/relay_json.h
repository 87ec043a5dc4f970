// The relay's JSON frames to browsers and the messages it reads from them, through nlohmann-json:
// strict grammar in, valid UTF-8 out. The frames are described in docs/protocol.md and
// docs/schemas/.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/peer/line_decoder.h"

namespace skyhelm::relay {

// Raised when a frame changes in a way an existing client would misread.
inline constexpr int kProtocolVersion = 1;

// Which fields a client asked for; all of them unless it subscribed to fewer.
using FieldMask = std::vector<bool>;

// {"type":"telemetry","seq":N,"fields":{"ground_speed":{"value":120,"unit":"kt"},...}}, the
// fields named and ordered as in the line (only those in `mask`, when given); a value that is not
// a finite number is null.
std::string TelemetryJson(const peer::TelemetryValues& values, std::uint64_t seq,
                          const FieldMask* mask = nullptr);

// The first frame on every WebSocket: the protocol version and what the relay offers.
struct HelloFigures {
  const char* relay_version = "";
  double max_rate_hz = 30;
  bool token_required = false;
  double commands_per_second = 10;
  double command_burst = 20;
};
std::string HelloJson(const HelloFigures& hello);

struct StatusFigures {
  const char* bridge = "waiting";  // BridgeStateName
  bool frames_arriving = false;    // datagrams from the bridge right now
  bool line_changing = false;      // the line changed within kStillAfter
  double line_age_ms = -1;         // since the bridge's last datagram; -1: none yet
  double unchanged_ms = -1;        // since the line last changed; -1: no line yet
  std::uint64_t claims = 0;
  std::uint64_t takeovers = 0;
  std::size_t udp_subscribers = 0;
  std::size_t web_clients = 0;
  std::uint64_t web_frames_skipped = 0;
  bool token_required = false;
};
std::string StatusJson(const StatusFigures& status);

// {"type":"result","id":ID,"ok":..,"outcome":..,"text":..,...}: one for every command
// ("refused" or "forwarded"), and for a forwarded one whose effect the line shows a second one
// ("confirmed" or "not_confirmed").
struct ResultFrame {
  nlohmann::json id;  // as the client sent it: number, string or null
  const char* outcome = "refused";
  std::string text;       // the command's text
  std::string detail;     // explanation (forwarded, confirmed) or error (refused, not_confirmed)
  const char* code = "";  // refused: a stable error code (docs/protocol.md)
  double after_ms = -1;   // confirmed, not_confirmed: time since it was forwarded
  double retry_after_ms = -1;  // token_backoff, rate_limited: when to try again
};
std::string ResultJson(const ResultFrame& result);

// {"type":"subscribed","id":ID,"fields":[...],"rate":R}
std::string SubscribedJson(const nlohmann::json& id, const FieldMask& mask, double rate_hz);

// A browser's message: {"type":"command","text":"h270","id":7,"token":"..."} or
// {"type":"subscribe","fields":["altitude"],"rate":5,"id":8} (id, token, fields, rate optional).
struct ClientMessage {
  bool subscribe = false;
  nlohmann::json id;  // null when absent
  std::string text;
  std::optional<std::string> token;
  FieldMask fields;    // subscribe: empty when all fields
  double rate_hz = 0;  // subscribe: 0 when not given (the relay's --rate)
};
struct MessageError {
  const char* code = "";
  std::string text;
  nlohmann::json id;  // the message's id when it had a usable one
};
// Nullopt, with `error` set, for anything that is not such a message.
std::optional<ClientMessage> ParseClientMessage(std::string_view json, MessageError& error);

}  // namespace skyhelm::relay
