// Building and reading the relay's JSON by hand: the messages are small and flat.
#include "tools/relay/relay_json.h"

#include <cmath>
#include <cstdio>

namespace skyhelm::relay {

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20 || byte > 0x7e) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", byte);
      out += escape;
    } else {
      out += c;
    }
  }
  out += '"';
  return out;
}

std::string TelemetryJson(const peer::TelemetryValues& values, std::uint64_t seq) {
  std::string out = "{\"type\":\"telemetry\",\"seq\":" + std::to_string(seq) + ",\"fields\":{";
  for (std::size_t i = 0; i < kTelemetryFieldCount; ++i) {
    if (i > 0) out += ',';
    out += '"';
    out += kTelemetryFields[i].name;
    out += "\":{\"value\":";
    // The line's own text is already a JSON number (integers, fixed six decimals).
    out += std::isfinite(values.numbers[i]) ? values.texts[i] : std::string("null");
    out += ",\"unit\":\"";
    out += kTelemetryFields[i].unit;
    out += "\"}";
  }
  out += "}}";
  return out;
}

std::string StatusJson(const StatusFigures& s) {
  char buffer[512];
  std::snprintf(buffer, sizeof buffer,
                "{\"type\":\"status\",\"bridge\":\"%s\",\"line_age_ms\":%.0f,\"unchanged_ms\":%.0f,"
                "\"claims\":%llu,\"takeovers\":%llu,\"udp_subscribers\":%zu,\"web_clients\":%zu,"
                "\"web_frames_skipped\":%llu,\"token_required\":%s}",
                s.bridge, s.line_age_ms, s.unchanged_ms, static_cast<unsigned long long>(s.claims),
                static_cast<unsigned long long>(s.takeovers), s.udp_subscribers, s.web_clients,
                static_cast<unsigned long long>(s.web_frames_skipped),
                s.token_required ? "true" : "false");
  return buffer;
}

std::string ResultJson(std::string_view id_json, bool ok, std::string_view text,
                       std::string_view detail) {
  std::string out = "{\"type\":\"result\",\"id\":";
  out += id_json;
  out += ok ? ",\"ok\":true,\"text\":" : ",\"ok\":false,\"text\":";
  out += JsonString(text);
  out += ok ? ",\"explanation\":" : ",\"error\":";
  out += JsonString(detail);
  out += '}';
  return out;
}

namespace {

// A cursor over one flat JSON object.
class FlatReader {
 public:
  explicit FlatReader(std::string_view json) : json_(json) {}

  void SkipSpace() {
    while (pos_ < json_.size() && (json_[pos_] == ' ' || json_[pos_] == '\t' ||
                                   json_[pos_] == '\n' || json_[pos_] == '\r')) {
      ++pos_;
    }
  }
  bool Take(char c) {
    SkipSpace();
    if (pos_ < json_.size() && json_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }
  bool AtEnd() {
    SkipSpace();
    return pos_ == json_.size();
  }
  char Peek() {
    SkipSpace();
    return pos_ < json_.size() ? json_[pos_] : '\0';
  }

  bool String(std::string& out) {
    if (!Take('"')) return false;
    out.clear();
    while (pos_ < json_.size()) {
      const char c = json_[pos_++];
      if (c == '"') return true;
      if (static_cast<unsigned char>(c) < 0x20) return false;
      if (c != '\\') {
        out += c;
        continue;
      }
      if (pos_ >= json_.size()) return false;
      const char e = json_[pos_++];
      switch (e) {
        case '"':
        case '\\':
        case '/':
          out += e;
          break;
        case 'b':
          out += '\b';
          break;
        case 'f':
          out += '\f';
          break;
        case 'n':
          out += '\n';
          break;
        case 'r':
          out += '\r';
          break;
        case 't':
          out += '\t';
          break;
        case 'u': {
          if (json_.size() - pos_ < 4) return false;
          unsigned code = 0;
          for (int i = 0; i < 4; ++i) {
            const char h = json_[pos_++];
            code <<= 4;
            if (h >= '0' && h <= '9') {
              code |= static_cast<unsigned>(h - '0');
            } else if (h >= 'a' && h <= 'f') {
              code |= static_cast<unsigned>(h - 'a' + 10);
            } else if (h >= 'A' && h <= 'F') {
              code |= static_cast<unsigned>(h - 'A' + 10);
            } else {
              return false;
            }
          }
          if (code > 0x7f) return false;
          out += static_cast<char>(code);
          break;
        }
        default:
          return false;
      }
    }
    return false;
  }

  // A number, true, false or null, as its text.
  bool Scalar(std::string& out) {
    SkipSpace();
    const std::size_t start = pos_;
    while (pos_ < json_.size()) {
      const char c = json_[pos_];
      const bool number_char =
          (c >= '0' && c <= '9') || c == '-' || c == '+' || c == '.' || c == 'e' || c == 'E';
      const bool word_char = c >= 'a' && c <= 'z';
      if (!number_char && !word_char) break;
      ++pos_;
    }
    out.assign(json_.substr(start, pos_ - start));
    if (out == "true" || out == "false" || out == "null") return true;
    double ignored = 0;
    int consumed = 0;
    return !out.empty() && out.size() < 32 &&
           std::sscanf(out.c_str(), "%lf%n", &ignored, &consumed) == 1 &&
           static_cast<std::size_t>(consumed) == out.size() &&
           out.find_first_of("tfnai") == std::string::npos;
  }

 private:
  std::string_view json_;
  std::size_t pos_ = 0;
};

}  // namespace

std::optional<CommandMessage> ParseCommandMessage(std::string_view json, std::string& error) {
  constexpr std::size_t kMaxMessageBytes = 4096;
  if (json.size() > kMaxMessageBytes) {
    error = "message too long";
    return std::nullopt;
  }
  FlatReader reader(json);
  CommandMessage message;
  bool have_type = false;
  bool have_text = false;
  error = "not a JSON object of strings and numbers";
  if (!reader.Take('{')) return std::nullopt;
  if (!reader.Take('}')) {
    do {
      std::string key;
      std::string value;
      if (!reader.String(key) || !reader.Take(':')) return std::nullopt;
      const bool is_string = reader.Peek() == '"';
      if (is_string ? !reader.String(value) : !reader.Scalar(value)) return std::nullopt;
      if (key == "type") {
        if (!is_string || value != "command") {
          error = "type must be \"command\"";
          return std::nullopt;
        }
        have_type = true;
      } else if (key == "text" && is_string) {
        message.text = value;
        have_text = true;
      } else if (key == "token" && is_string) {
        message.token = value;
      } else if (key == "id") {
        message.id_json = is_string ? JsonString(value) : value;
      }
    } while (reader.Take(','));
    if (!reader.Take('}')) return std::nullopt;
  }
  if (!reader.AtEnd()) return std::nullopt;
  if (!have_type || !have_text) {
    error = "a command needs \"type\":\"command\" and a \"text\"";
    return std::nullopt;
  }
  error.clear();
  return message;
}

}  // namespace skyhelm::relay
