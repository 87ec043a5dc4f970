// The relay's frames through nlohmann-json. Keys keep their order (ordered_json), so a frame reads
// in the order its description gives; text that is not valid UTF-8 (it cannot come from a parsed
// message, but a line or a checker's text might carry a stray byte) is written as U+FFFD rather
// than failing the frame.
#include "tools/relay/relay_json.h"

#include <cmath>

namespace skyhelm::relay {

namespace {

using Json = nlohmann::ordered_json;

std::string Dump(const Json& frame) {
  return frame.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// The id as the client sent it; nlohmann's json and ordered_json differ only in object order,
// and an id is never an object.
Json Id(const nlohmann::json& id) { return Json::parse(id.dump()); }

Json Number(double value) { return std::isfinite(value) ? Json(value) : Json(nullptr); }

std::optional<std::size_t> FieldByName(const std::string& name) {
  for (std::size_t i = 0; i < kTelemetryFieldCount; ++i) {
    if (name == kTelemetryFields[i].name) return i;
  }
  return std::nullopt;
}

}  // namespace

std::string TelemetryJson(const peer::TelemetryValues& values, std::uint64_t seq,
                          const FieldMask* mask) {
  Json fields = Json::object();
  for (std::size_t i = 0; i < kTelemetryFieldCount; ++i) {
    if (mask != nullptr && !(*mask)[i]) continue;
    const double v = values.numbers[i];
    Json value = !std::isfinite(v) ? Json(nullptr)
                 : kTelemetryFields[i].kind == FieldKind::kInt32
                     ? Json(static_cast<std::int64_t>(v))
                     : Json(v);
    fields[kTelemetryFields[i].name] = {{"value", std::move(value)},
                                        {"unit", kTelemetryFields[i].unit}};
  }
  return Dump({{"type", "telemetry"}, {"seq", seq}, {"fields", std::move(fields)}});
}

std::string HelloJson(const HelloFigures& h) {
  Json fields = Json::array();
  for (std::size_t i = 0; i < kTelemetryFieldCount; ++i) {
    fields.push_back({{"name", kTelemetryFields[i].name}, {"unit", kTelemetryFields[i].unit}});
  }
  return Dump({{"type", "hello"},
               {"protocol", kProtocolVersion},
               {"relay", h.relay_version},
               {"max_rate", h.max_rate_hz},
               {"token_required", h.token_required},
               {"command_burst", h.command_burst},
               {"commands_per_second", h.commands_per_second},
               {"fields", std::move(fields)}});
}

std::string StatusJson(const StatusFigures& s) {
  return Dump({{"type", "status"},
               {"protocol", kProtocolVersion},
               {"bridge", s.bridge},
               {"frames_arriving", s.frames_arriving},
               {"line_changing", s.line_changing},
               {"line_age_ms", std::round(s.line_age_ms)},
               {"unchanged_ms", std::round(s.unchanged_ms)},
               {"claims", s.claims},
               {"takeovers", s.takeovers},
               {"udp_subscribers", s.udp_subscribers},
               {"web_clients", s.web_clients},
               {"web_frames_skipped", s.web_frames_skipped},
               {"token_required", s.token_required}});
}

std::string ResultJson(const ResultFrame& r) {
  const std::string outcome = r.outcome;
  const bool ok = outcome != "refused" && outcome != "not_confirmed";
  Json frame = {
      {"type", "result"}, {"id", Id(r.id)}, {"ok", ok}, {"outcome", outcome}, {"text", r.text}};
  if (ok) {
    frame["explanation"] = r.detail;
  } else {
    frame["error"] = r.detail;
  }
  if (*r.code != '\0') frame["code"] = r.code;
  if (r.after_ms >= 0) frame["after_ms"] = std::round(r.after_ms);
  if (r.retry_after_ms >= 0) frame["retry_after_ms"] = std::ceil(r.retry_after_ms);
  return Dump(frame);
}

std::string SubscribedJson(const nlohmann::json& id, const FieldMask& mask, double rate_hz) {
  Json names = Json::array();
  for (std::size_t i = 0; i < kTelemetryFieldCount; ++i) {
    if (mask.empty() || mask[i]) names.push_back(kTelemetryFields[i].name);
  }
  return Dump({{"type", "subscribed"},
               {"id", Id(id)},
               {"fields", std::move(names)},
               {"rate", Number(rate_hz)}});
}

std::optional<ClientMessage> ParseClientMessage(std::string_view json, MessageError& error) {
  constexpr std::size_t kMaxMessageBytes = 4096;
  constexpr std::size_t kMaxIdBytes = 128;
  const auto fail = [&error](const char* code, std::string text) {
    error.code = code;
    error.text = std::move(text);
    return std::nullopt;
  };
  if (json.size() > kMaxMessageBytes) return fail("bad_json", "message too long");
  // Strict RFC 8259: no comments, no trailing commas, no +1, .5, 0x10 or 01, valid UTF-8 only.
  const nlohmann::json parsed = nlohmann::json::parse(json, nullptr, false);
  if (parsed.is_discarded() || !parsed.is_object()) {
    return fail("bad_json", parsed.is_discarded() ? "not a JSON object (not JSON at all)"
                                                  : "not a JSON object");
  }
  ClientMessage message;
  if (const auto id = parsed.find("id"); id != parsed.end()) {
    if (!id->is_null() && !id->is_number() && !id->is_string()) {
      return fail("bad_message", "id must be a number or a string");
    }
    if (id->is_string() && id->get_ref<const std::string&>().size() > kMaxIdBytes) {
      return fail("bad_message", "id longer than 128 bytes");
    }
    message.id = *id;
    error.id = *id;
  }
  const auto type = parsed.find("type");
  const std::string type_text =
      type != parsed.end() && type->is_string() ? type->get<std::string>() : "";
  if (type_text == "command") {
    const auto text = parsed.find("text");
    if (text == parsed.end() || !text->is_string()) {
      return fail("bad_message", "a command needs \"type\":\"command\" and a \"text\"");
    }
    message.text = text->get<std::string>();
    if (const auto token = parsed.find("token"); token != parsed.end()) {
      if (!token->is_string()) return fail("bad_message", "token must be a string");
      message.token = token->get<std::string>();
    }
    return message;
  }
  if (type_text != "subscribe") {
    return fail("bad_message", "type must be \"command\" or \"subscribe\"");
  }
  message.subscribe = true;
  if (const auto fields = parsed.find("fields"); fields != parsed.end() && !fields->is_null()) {
    if (!fields->is_array() || fields->empty()) {
      return fail("bad_message", "fields must be a list of field names");
    }
    message.fields.assign(kTelemetryFieldCount, false);
    for (const auto& name : *fields) {
      const std::optional<std::size_t> index =
          name.is_string() ? FieldByName(name.get<std::string>()) : std::nullopt;
      if (!index) return fail("unknown_field", "no field " + name.dump() + " in the line");
      message.fields[*index] = true;
    }
  }
  if (const auto rate = parsed.find("rate"); rate != parsed.end() && !rate->is_null()) {
    if (!rate->is_number() || !(rate->get<double>() > 0)) {
      return fail("bad_rate", "rate must be a number of frames per second above 0");
    }
    message.rate_hz = rate->get<double>();
  }
  return message;
}

}  // namespace skyhelm::relay
