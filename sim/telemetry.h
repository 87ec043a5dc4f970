// The telemetry line: the dispatch callback that turns each delivered record into the line.
//
// The line, byte for byte: ProtocolTag, then for each of the 21 fields of kTelemetryFields a
// comma and the field's text (FormatInt / FormatReal), then ",\n". The record's title is
// delivered but never reaches the line.
#pragma once

#include "sim/simconnect_api.h"

#include <cstddef>
#include <string>

namespace skyhelm {

// "v1.2": opens every line. Lives from program start to exit.
extern const std::string ProtocolTag;

// The most recent telemetry line, with its final line feed; empty until the first data message.
// Written only by HandleSimMessage, read only by the send step, both on the loop's thread. Its
// capacity is reserved at program start for the longest possible line, so rebuilding it never
// allocates.
extern std::string LatestLine;

// The bytes a data message must hold for the line to be built from it: the message header up to
// its data block (40 bytes) and the 340-byte record.
inline constexpr std::size_t kTelemetryMessageBytes = 380;

// The dispatch callback (see DispatchProc). For a SIMCONNECT_RECV_ID_SIMOBJECT_DATA message of
// request 0 it rebuilds LatestLine from the record; every other message, the quit notification
// included, is ignored. cbData is the authority on the message's length: a data message shorter
// than kTelemetryMessageBytes is ignored, and nothing is read at or past pData + cbData. The
// record is read as little-endian bytes, whatever its alignment. Never fails, never allocates.
void CALLBACK HandleSimMessage(SIMCONNECT_RECV* pData, DWORD cbData, void* pContext);

}  // namespace skyhelm
