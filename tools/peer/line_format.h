// Text renderings of a decoded telemetry line: name=value pairs, JSON, and CSV rows.
#pragma once

#include <string>

#include "tools/peer/line_decoder.h"

namespace skyhelm::peer {

// "ground_speed=120 altitude=350 ... gear_position=1.000000": the received texts, unchanged.
std::string FormatPairs(const TelemetryValues& values);

// {"ground_speed":120,...}: numbers as received; nan and infinities (not JSON numbers) as null.
std::string FormatJson(const TelemetryValues& values);

// "time_s,ground_speed,...,gear_position": the header of a recording.
std::string CsvHeader();

// "12.345,120,...": the receive time in seconds since the recording began, then the texts.
std::string CsvRow(double time_s, const TelemetryValues& values);

}  // namespace skyhelm::peer
