// The relay's JSON messages to browsers, and the one message it reads from them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "tools/peer/line_decoder.h"

namespace skyhelm::relay {

// {"type":"telemetry","seq":N,"fields":{"ground_speed":{"value":120,"unit":"kt"},...}}, the
// fields named and ordered as in the line; a value that is not a finite number is null.
std::string TelemetryJson(const peer::TelemetryValues& values, std::uint64_t seq);

struct StatusFigures {
  const char* bridge = "waiting";  // BridgeStateName
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

// {"type":"result","id":ID,"ok":true|false,"text":...,"explanation"|"error":...}
std::string ResultJson(std::string_view id_json, bool ok, std::string_view text,
                       std::string_view detail);

// A browser's command: {"type":"command","text":"h270","id":7,"token":"..."} (id and token
// optional; id is echoed in the result as the JSON it was, a number or a string).
struct CommandMessage {
  std::string text;
  std::string id_json = "null";
  std::optional<std::string> token;
};
// Nullopt, with `error` set, for anything that is not such an object. Bounded: nesting, escapes
// other than \" \\ \/ \b \f \n \r \t \uXXXX (ASCII only) and texts that do not fit are refused.
std::optional<CommandMessage> ParseCommandMessage(std::string_view json, std::string& error);

// `text` as a JSON string literal, quotes included; bytes below 0x20 and above 0x7e escaped.
std::string JsonString(std::string_view text);

}  // namespace skyhelm::relay
