// Text renderings of a decoded telemetry line.
#include "tools/peer/line_format.h"

#include <cmath>
#include <cstdio>

namespace skyhelm::peer {

std::string FormatPairs(const TelemetryValues& values) {
  std::string out;
  for (std::size_t i = 0; i < kTelemetryFieldCount; ++i) {
    if (i > 0) out += ' ';
    out += kTelemetryFields[i].name;
    out += '=';
    out += values.texts[i];
  }
  return out;
}

std::string FormatJson(const TelemetryValues& values) {
  std::string out = "{";
  for (std::size_t i = 0; i < kTelemetryFieldCount; ++i) {
    if (i > 0) out += ',';
    out += '"';
    out += kTelemetryFields[i].name;
    out += "\":";
    out += std::isfinite(values.numbers[i]) ? values.texts[i] : "null";
  }
  return out + "}";
}

std::string CsvHeader() {
  std::string out = "time_s";
  for (const TelemetryField& field : kTelemetryFields) {
    out += ',';
    out += field.name;
  }
  return out;
}

std::string CsvRow(double time_s, const TelemetryValues& values) {
  char time_text[32];
  std::snprintf(time_text, sizeof time_text, "%.3f", time_s);
  std::string out = time_text;
  for (const std::string& text : values.texts) {
    out += ',';
    out += text;
  }
  return out;
}

}  // namespace skyhelm::peer
