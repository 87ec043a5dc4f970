// Strict decoding of telemetry datagrams: "v1.2", 21 comma-terminated values, "\n", then "\r\n".
#include "tools/peer/line_decoder.h"

#include <charconv>
#include <cstdint>
#include <limits>

namespace skyhelm::peer {
namespace {

constexpr std::string_view kTagAndComma = "v1.2,";
constexpr std::string_view kLineEnd = "\n\r\n";  // the line's own "\n", then the send's "\r\n"
constexpr std::string_view kNoDataDatagram = "\r\n";

bool AllDigits(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// Digits as a printf conversion writes them: at least one, no leading zero unless alone.
bool PlainDigits(std::string_view digits) {
  return AllDigits(digits) && (digits.size() == 1 || digits[0] != '0');
}

std::string Quoted(std::string_view text) {
  constexpr std::size_t kMaxShown = 40;
  std::string shown(text.substr(0, kMaxShown));
  for (char& c : shown) {
    if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7f) c = '?';
  }
  return "\"" + shown + (text.size() > kMaxShown ? "...\"" : "\"");
}

DecodedDatagram Malformed(Problem problem, std::string description, std::size_t field = 0) {
  DecodedDatagram result;
  result.kind = DatagramKind::kMalformed;
  result.problem = problem;
  result.field_index = field;
  result.description = std::move(description);
  return result;
}

DecodedDatagram FieldProblem(std::size_t field, std::string_view text) {
  const TelemetryField& schema = kTelemetryFields[field];
  const bool is_int = schema.kind == FieldKind::kInt32;
  return Malformed(is_int ? Problem::kBadInt : Problem::kBadReal,
                   "field " + std::to_string(field + 1) + " (" + schema.name + ") " + Quoted(text) +
                       (is_int ? " is not an integer" : " is not a real with six decimals"),
                   field);
}

}  // namespace

bool ParseIntField(std::string_view text, double& value) {
  std::string_view digits = text;
  const bool negative = !digits.empty() && digits[0] == '-';
  if (negative) digits.remove_prefix(1);
  if (!PlainDigits(digits) || (negative && digits == "0")) return false;
  std::int64_t parsed = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), parsed);
  if (error != std::errc() || end != text.data() + text.size()) return false;
  if (parsed < std::numeric_limits<std::int32_t>::min() ||
      parsed > std::numeric_limits<std::int32_t>::max()) {
    return false;
  }
  value = static_cast<double>(parsed);
  return true;
}

bool ParseRealField(std::string_view text, double& value) {
  if (text == "nan") {
    value = std::numeric_limits<double>::quiet_NaN();
    return true;
  }
  if (text == "inf" || text == "-inf") {
    value = text[0] == '-' ? -std::numeric_limits<double>::infinity()
                           : std::numeric_limits<double>::infinity();
    return true;
  }
  std::string_view body = text;
  if (!body.empty() && body[0] == '-') body.remove_prefix(1);
  const std::size_t point = body.find('.');
  if (point == std::string_view::npos) return false;
  const std::string_view whole = body.substr(0, point);
  const std::string_view decimals = body.substr(point + 1);
  if (!PlainDigits(whole) || decimals.size() != 6 || !AllDigits(decimals)) return false;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size();
}

DecodedDatagram DecodeDatagram(std::string_view datagram) {
  if (datagram.empty()) return Malformed(Problem::kEmpty, "empty datagram");
  if (datagram == kNoDataDatagram) {
    DecodedDatagram result;
    result.kind = DatagramKind::kNoData;
    return result;
  }
  if (datagram.substr(0, kTagAndComma.size()) != kTagAndComma) {
    return Malformed(Problem::kTag, "does not start with \"v1.2,\": " + Quoted(datagram));
  }
  if (datagram.size() < kTagAndComma.size() + kLineEnd.size() ||
      datagram.substr(datagram.size() - kLineEnd.size()) != kLineEnd) {
    return Malformed(Problem::kTerminator, "does not end with \",\\n\\r\\n\"");
  }
  std::string_view rest =
      datagram.substr(kTagAndComma.size(), datagram.size() - kTagAndComma.size() - kLineEnd.size());
  DecodedDatagram result;
  for (std::size_t i = 0; i < kTelemetryFieldCount; ++i) {
    const std::size_t comma = rest.find(',');
    if (comma == std::string_view::npos) {
      return Malformed(Problem::kTooFewValues,
                       "the line ends after " + std::to_string(i) + " of 21 values");
    }
    const std::string_view text = rest.substr(0, comma);
    const bool ok = kTelemetryFields[i].kind == FieldKind::kInt32
                        ? ParseIntField(text, result.values.numbers[i])
                        : ParseRealField(text, result.values.numbers[i]);
    if (!ok) return FieldProblem(i, text);
    result.values.texts[i] = std::string(text);
    rest.remove_prefix(comma + 1);
  }
  if (!rest.empty()) {
    return Malformed(Problem::kTooManyValues, "more than 21 values: " + Quoted(rest));
  }
  result.kind = DatagramKind::kLine;
  return result;
}

}  // namespace skyhelm::peer
