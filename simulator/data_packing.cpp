// Entry checks, block packing and SetDataOnSimObject unpacking for client data definitions.
#include "simulator/data_packing.h"

#include <cmath>
#include <cstring>
#include <limits>

namespace skyhelm::simulator {
namespace {

// Truncates toward zero, saturating at the integer type's limits; NaN becomes 0.
template <typename Int>
Int TruncateToInt(double value) {
  if (std::isnan(value)) return 0;
  // -min is a power of two, exact as a double, so the comparisons are exact and the cast below
  // only ever sees values strictly inside the range.
  constexpr double kUpper = -static_cast<double>(std::numeric_limits<Int>::min());
  constexpr double kLower = static_cast<double>(std::numeric_limits<Int>::min());
  if (value >= kUpper) return std::numeric_limits<Int>::max();
  if (value <= kLower) return std::numeric_limits<Int>::min();
  return static_cast<Int>(value);
}

// The simulator runs on little-endian hosts only (x86, arm64 Linux), so memory order is wire
// order.
template <typename T>
void PutLittleEndian(std::vector<std::uint8_t>& out, T value) {
  std::uint8_t bytes[sizeof(T)];
  std::memcpy(bytes, &value, sizeof(T));
  out.insert(out.end(), bytes, bytes + sizeof(T));
}

template <typename T>
double GetLittleEndian(const std::uint8_t* data) {
  T value;
  std::memcpy(&value, data, sizeof(T));
  return static_cast<double>(value);
}

void PutText(std::vector<std::uint8_t>& out, const std::string& text, std::size_t field_bytes) {
  const std::size_t n = text.size() < field_bytes - 1 ? text.size() : field_bytes - 1;
  const std::size_t at = out.size();
  out.resize(at + field_bytes, 0);
  std::memcpy(out.data() + at, text.data(), n);
}

void PackNumber(double value, SIMCONNECT_DATATYPE type, std::vector<std::uint8_t>& out) {
  switch (type) {
    case SIMCONNECT_DATATYPE_INT32:
      PutLittleEndian(out, TruncateToInt<std::int32_t>(value));
      break;
    case SIMCONNECT_DATATYPE_INT64:
      PutLittleEndian(out, TruncateToInt<std::int64_t>(value));
      break;
    case SIMCONNECT_DATATYPE_FLOAT32:
      PutLittleEndian(out, static_cast<float>(value));
      break;
    default:
      PutLittleEndian(out, value);
      break;
  }
}

double UnpackNumber(const std::uint8_t* data, SIMCONNECT_DATATYPE type) {
  switch (type) {
    case SIMCONNECT_DATATYPE_INT32:
      return GetLittleEndian<std::int32_t>(data);
    case SIMCONNECT_DATATYPE_INT64:
      return GetLittleEndian<std::int64_t>(data);
    case SIMCONNECT_DATATYPE_FLOAT32:
      return GetLittleEndian<float>(data);
    default:
      return GetLittleEndian<double>(data);
  }
}

bool IsNumericType(std::uint32_t type) {
  return type == SIMCONNECT_DATATYPE_INT32 || type == SIMCONNECT_DATATYPE_INT64 ||
         type == SIMCONNECT_DATATYPE_FLOAT32 || type == SIMCONNECT_DATATYPE_FLOAT64;
}

bool IsTextType(std::uint32_t type) {
  return type >= SIMCONNECT_DATATYPE_STRING8 && type <= SIMCONNECT_DATATYPE_STRING260;
}

void PackEntry(const SimState& state, const DataEntry& entry, std::vector<std::uint8_t>& out,
               double& value) {
  value = 0.0;
  if (IsTextType(entry.type)) {
    PutText(out, ReadText(state, *entry.variable), DatumBytes(entry.type));
  } else if (entry.type == SIMCONNECT_DATATYPE_LATLONALT) {
    for (double part : ReadStruct(state, *entry.variable)) PutLittleEndian(out, part);
  } else {
    value = ReadValue(state, *entry.variable) * entry.factor;
    PackNumber(value, entry.type, out);
  }
}

// Writes one entry's bytes (DatumBytes of its type) into the aircraft.
void UnpackEntry(const DataEntry& entry, const std::uint8_t* data, SimState& state) {
  if (entry.type == SIMCONNECT_DATATYPE_LATLONALT) {
    WriteStruct(state, *entry.variable,
                {GetLittleEndian<double>(data), GetLittleEndian<double>(data + 8),
                 GetLittleEndian<double>(data + 16)});
  } else if (!IsTextType(entry.type)) {
    WriteValue(state, *entry.variable, UnpackNumber(data, entry.type) / entry.factor);
  }
}

SetDataResult CheckSettable(const std::vector<DataEntry>& entries) {
  for (const DataEntry& entry : entries) {
    if (!entry.variable->settable) return {SIMCONNECT_EXCEPTION_DATA_ERROR, 1};
  }
  return {};
}

}  // namespace

std::size_t DatumBytes(SIMCONNECT_DATATYPE type) {
  switch (type) {
    case SIMCONNECT_DATATYPE_INT32:
    case SIMCONNECT_DATATYPE_FLOAT32:
      return 4;
    case SIMCONNECT_DATATYPE_INT64:
    case SIMCONNECT_DATATYPE_FLOAT64:
    case SIMCONNECT_DATATYPE_STRING8:
      return 8;
    case SIMCONNECT_DATATYPE_STRING32:
      return 32;
    case SIMCONNECT_DATATYPE_STRING64:
      return 64;
    case SIMCONNECT_DATATYPE_STRING128:
      return 128;
    case SIMCONNECT_DATATYPE_STRING256:
      return 256;
    case SIMCONNECT_DATATYPE_STRING260:
      return 260;
    case SIMCONNECT_DATATYPE_LATLONALT:
      return 24;
    default:
      return 0;
  }
}

bool MakeDataEntry(const wire::AddToDataDefinitionRequest& request, DataEntry& entry,
                   EntryError& error) {
  const SimVariable* variable = FindVariable(request.datum_name);
  if (variable == nullptr) {
    error = {SIMCONNECT_EXCEPTION_NAME_UNRECOGNIZED, 2};
    return false;
  }
  const auto factor = ConversionFactor(variable->family, request.units_name);
  if (!factor) {
    error = {SIMCONNECT_EXCEPTION_NAME_UNRECOGNIZED, 3};
    return false;
  }
  bool type_fits = false;
  switch (variable->family) {
    case UnitFamily::kText:
      type_fits = IsTextType(request.datum_type);
      break;
    case UnitFamily::kLatLonAlt:
      type_fits = request.datum_type == SIMCONNECT_DATATYPE_LATLONALT;
      break;
    default:
      type_fits = IsNumericType(request.datum_type);
      break;
  }
  if (!type_fits) {
    error = {SIMCONNECT_EXCEPTION_INVALID_DATA_TYPE, 4};
    return false;
  }
  entry = {variable, *factor, static_cast<SIMCONNECT_DATATYPE>(request.datum_type), request.epsilon,
           request.datum_id};
  return true;
}

std::size_t BlockBytes(const std::vector<DataEntry>& entries) {
  std::size_t total = 0;
  for (const DataEntry& entry : entries) total += DatumBytes(entry.type);
  return total;
}

void SampleDefinition(const SimState& state, const std::vector<DataEntry>& entries,
                      Sample& sample) {
  sample.bytes.clear();
  sample.ends.clear();
  sample.values.clear();
  for (const DataEntry& entry : entries) {
    double value = 0.0;
    PackEntry(state, entry, sample.bytes, value);
    sample.ends.push_back(sample.bytes.size());
    sample.values.push_back(value);
  }
}

void PackBlock(const SimState& state, const std::vector<DataEntry>& entries,
               std::vector<std::uint8_t>& out) {
  double value = 0.0;
  for (const DataEntry& entry : entries) PackEntry(state, entry, out, value);
}

SetDataResult ApplyBlock(const std::vector<DataEntry>& entries,
                         const std::vector<std::uint8_t>& data, SimState& state) {
  if (data.size() != BlockBytes(entries)) return {SIMCONNECT_EXCEPTION_INVALID_DATA_SIZE, 6};
  const SetDataResult settable = CheckSettable(entries);
  if (settable.exception != SIMCONNECT_EXCEPTION_NONE) return settable;
  std::size_t at = 0;
  for (const DataEntry& entry : entries) {
    UnpackEntry(entry, data.data() + at, state);
    at += DatumBytes(entry.type);
  }
  return {};
}

SetDataResult ApplyTaggedBlock(const std::vector<DataEntry>& entries,
                               const std::vector<std::uint8_t>& data, SimState& state) {
  // Check every pair before writing any, so a bad block changes nothing.
  std::vector<std::pair<const DataEntry*, std::size_t>> pairs;
  for (std::size_t at = 0; at < data.size();) {
    if (data.size() - at < 4) return {SIMCONNECT_EXCEPTION_INVALID_DATA_SIZE, 6};
    std::uint32_t id = 0;
    std::memcpy(&id, data.data() + at, 4);
    const DataEntry* found = nullptr;
    for (const DataEntry& entry : entries) {
      if (entry.datum_id == id) found = &entry;
    }
    if (found == nullptr) return {SIMCONNECT_EXCEPTION_DATUM_ID, 6};
    if (!found->variable->settable) return {SIMCONNECT_EXCEPTION_DATA_ERROR, 1};
    const std::size_t size = DatumBytes(found->type);
    if (data.size() - at - 4 < size) return {SIMCONNECT_EXCEPTION_INVALID_DATA_SIZE, 6};
    pairs.emplace_back(found, at + 4);
    at += 4 + size;
  }
  for (const auto& [entry, at] : pairs) UnpackEntry(*entry, data.data() + at, state);
  return {};
}

}  // namespace skyhelm::simulator
