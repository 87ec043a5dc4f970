// The telemetry subscription: data definition 0, the record it delivers and the line fields.
//
// One table serves the connection (what to ask the simulator for), the line formatting (where each
// value sits in the delivered record) and the peer tool's decoder (names, units and kinds).
#pragma once

#include "sim/simconnect_api.h"

#include <cstddef>
#include <iterator>

namespace skyhelm {

inline constexpr SIMCONNECT_DATA_DEFINITION_ID kTelemetryDefinition = 0;
inline constexpr SIMCONNECT_DATA_REQUEST_ID kTelemetryRequest = 0;

// Size of the data block delivered for data definition 0: the 256-byte title, then 21 values of
// 4 bytes each, packed, little-endian.
inline constexpr std::size_t kTelemetryRecordBytes = 340;
inline constexpr std::size_t kTelemetryFieldCount = 21;

enum class FieldKind { kInt32, kFloat32 };

struct TelemetryDatum {
  const char* datum_name;  // the simulation variable, exactly as the simulator spells it
  const char* units_name;  // nullptr for the title
  SIMCONNECT_DATATYPE datum_type;
};

// The 22 entries of data definition 0, in the order they are added (and delivered).
inline constexpr TelemetryDatum kTelemetryDefinitionEntries[] = {
    {"Title", nullptr, SIMCONNECT_DATATYPE_STRING256},
    {"Ground Velocity", "knots", SIMCONNECT_DATATYPE_INT32},
    {"Plane Altitude", "feet", SIMCONNECT_DATATYPE_INT32},
    {"Plane Pitch Degrees", "degrees", SIMCONNECT_DATATYPE_FLOAT32},
    {"Plane Bank Degrees", "degrees", SIMCONNECT_DATATYPE_FLOAT32},
    {"AUTOPILOT FLIGHT DIRECTOR PITCH", "degrees", SIMCONNECT_DATATYPE_FLOAT32},
    {"AUTOPILOT FLIGHT DIRECTOR BANK", "degrees", SIMCONNECT_DATATYPE_FLOAT32},
    {"AUTOPILOT HEADING LOCK DIR", "degrees", SIMCONNECT_DATATYPE_INT32},
    {"AUTOPILOT HEADING LOCK", "bool", SIMCONNECT_DATATYPE_INT32},
    {"AUTOPILOT AIRSPEED HOLD VAR", "Knots", SIMCONNECT_DATATYPE_INT32},
    {"AUTOPILOT AIRSPEED HOLD", "bool", SIMCONNECT_DATATYPE_INT32},
    {"AUTOPILOT THROTTLE ARM", "bool", SIMCONNECT_DATATYPE_INT32},
    {"AUTOPILOT FLIGHT DIRECTOR ACTIVE", "BOOL", SIMCONNECT_DATATYPE_INT32},
    {"AUTOPILOT MASTER", "BOOL", SIMCONNECT_DATATYPE_INT32},
    {"AUTOPILOT VERTICAL HOLD VAR", "Feet/minute", SIMCONNECT_DATATYPE_INT32},
    {"AUTOPILOT VERTICAL HOLD", "bool", SIMCONNECT_DATATYPE_INT32},
    {"AUTOPILOT ALTITUDE LOCK VAR", "feet", SIMCONNECT_DATATYPE_INT32},
    {"AUTOPILOT ALTITUDE LOCK", "bool", SIMCONNECT_DATATYPE_INT32},
    {"Plane Latitude", "degrees", SIMCONNECT_DATATYPE_FLOAT32},
    {"Plane Longitude", "degrees", SIMCONNECT_DATATYPE_FLOAT32},
    {"PLANE HEADING DEGREES TRUE", "degrees", SIMCONNECT_DATATYPE_INT32},
    {"GEAR CENTER POSITION", "percent over 100", SIMCONNECT_DATATYPE_FLOAT32},
};

struct TelemetryField {
  const char* name;  // short name used by the peer tool (name=value, CSV header)
  const char* unit;  // for display
  FieldKind kind;
  std::size_t record_offset;  // byte offset in the delivered record
};

// The 21 line fields, in line order. Field i comes from definition entry i + 1.
inline constexpr TelemetryField kTelemetryFields[kTelemetryFieldCount] = {
    {"ground_speed", "kt", FieldKind::kInt32, 256},
    {"altitude", "ft", FieldKind::kInt32, 260},
    {"pitch", "deg", FieldKind::kFloat32, 264},
    {"bank", "deg", FieldKind::kFloat32, 268},
    {"fd_pitch", "deg", FieldKind::kFloat32, 272},
    {"fd_bank", "deg", FieldKind::kFloat32, 276},
    {"heading_bug", "deg", FieldKind::kInt32, 280},
    {"heading_hold", "bool", FieldKind::kInt32, 284},
    {"speed_setting", "kt", FieldKind::kInt32, 288},
    {"speed_hold", "bool", FieldKind::kInt32, 292},
    {"throttle_arm", "bool", FieldKind::kInt32, 296},
    {"flight_director", "bool", FieldKind::kInt32, 300},
    {"autopilot_master", "bool", FieldKind::kInt32, 304},
    {"vs_setting", "ft/min", FieldKind::kInt32, 308},
    {"vs_hold", "bool", FieldKind::kInt32, 312},
    {"altitude_setting", "ft", FieldKind::kInt32, 316},
    {"altitude_hold", "bool", FieldKind::kInt32, 320},
    {"latitude", "deg", FieldKind::kFloat32, 324},
    {"longitude", "deg", FieldKind::kFloat32, 328},
    {"true_heading", "deg", FieldKind::kInt32, 332},
    {"gear_position", "0..1", FieldKind::kFloat32, 336},
};

// The field table must say what the definition table implies: field i sits where entry i + 1 is
// delivered (entries packed in order, the title 256 bytes, every other entry 4), with the kind of
// that entry's datum type.
constexpr bool FieldsAgreeWithDefinition() {
  if (std::size(kTelemetryDefinitionEntries) != kTelemetryFieldCount + 1 ||
      kTelemetryDefinitionEntries[0].datum_type != SIMCONNECT_DATATYPE_STRING256) {
    return false;
  }
  std::size_t offset = 256;
  for (std::size_t i = 0; i < kTelemetryFieldCount; ++i) {
    const SIMCONNECT_DATATYPE type = kTelemetryDefinitionEntries[i + 1].datum_type;
    const bool kind_agrees =
        (type == SIMCONNECT_DATATYPE_INT32 && kTelemetryFields[i].kind == FieldKind::kInt32) ||
        (type == SIMCONNECT_DATATYPE_FLOAT32 && kTelemetryFields[i].kind == FieldKind::kFloat32);
    if (!kind_agrees || kTelemetryFields[i].record_offset != offset) return false;
    offset += 4;
  }
  return offset == kTelemetryRecordBytes;
}
static_assert(FieldsAgreeWithDefinition(), "kTelemetryFields disagrees with the data definition");

}  // namespace skyhelm
