// Decoding and validation of the bridge's telemetry datagrams, field by field against the schema.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

#include "sim/telemetry_schema.h"

namespace skyhelm::peer {

// The 21 values of one line, in line order (kTelemetryFields): the text exactly as received and
// its numeric value (ints widened to double; nan/inf as the IEEE values).
struct TelemetryValues {
  std::array<std::string, kTelemetryFieldCount> texts;
  std::array<double, kTelemetryFieldCount> numbers{};
};

enum class DatagramKind {
  kLine,       // a complete, valid telemetry line
  kNoData,     // a bare "\r\n": the bridge is up but has no telemetry yet
  kMalformed,  // anything else
};

enum class Problem {
  kNone,
  kEmpty,          // zero bytes
  kTag,            // does not open with "v1.2,"
  kTerminator,     // does not end with the final ",\n" plus the "\r\n" the bridge adds
  kTooFewValues,   // the line ends before the 21st value
  kTooManyValues,  // something follows the 21st value's comma
  kBadInt,         // an integer field that is not '-'? digits (no leading zeros, 32-bit range)
  kBadReal,        // a real field that is not fixed notation with six decimals, nan, inf or -inf
};

struct DecodedDatagram {
  DatagramKind kind = DatagramKind::kMalformed;
  TelemetryValues values;  // filled only for kLine
  Problem problem = Problem::kNone;
  std::size_t field_index = 0;  // for kBadInt/kBadReal: the offending field (0-based)
  std::string description;      // for kMalformed: one human-readable sentence
};

// Never fails and never reads beyond `datagram`: every byte sequence is either a line, no data,
// or malformed with a reason.
DecodedDatagram DecodeDatagram(std::string_view datagram);

// The field text rules on their own, for a single value without its comma.
bool ParseIntField(std::string_view text, double& value);
bool ParseRealField(std::string_view text, double& value);

}  // namespace skyhelm::peer
