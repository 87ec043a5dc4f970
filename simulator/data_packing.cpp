// Entry checks and block packing for client data definitions.
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

template <typename T>
void PutLittleEndian(std::vector<std::uint8_t>& out, T value) {
  std::uint8_t bytes[sizeof(T)];
  std::memcpy(bytes, &value, sizeof(T));
  // The simulator runs on little-endian hosts only (x86, arm64 Linux), so memory order is wire
  // order.
  out.insert(out.end(), bytes, bytes + sizeof(T));
}

void PutText(std::vector<std::uint8_t>& out, const std::string& text) {
  const std::size_t n = text.size() < wire::kTextBytes - 1 ? text.size() : wire::kTextBytes - 1;
  const std::size_t at = out.size();
  out.resize(at + wire::kTextBytes, 0);
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

bool IsNumericType(std::uint32_t type) {
  return type == SIMCONNECT_DATATYPE_INT32 || type == SIMCONNECT_DATATYPE_INT64 ||
         type == SIMCONNECT_DATATYPE_FLOAT32 || type == SIMCONNECT_DATATYPE_FLOAT64;
}

}  // namespace

std::size_t DatumBytes(SIMCONNECT_DATATYPE type) {
  switch (type) {
    case SIMCONNECT_DATATYPE_INT32:
    case SIMCONNECT_DATATYPE_FLOAT32:
      return 4;
    case SIMCONNECT_DATATYPE_INT64:
    case SIMCONNECT_DATATYPE_FLOAT64:
      return 8;
    case SIMCONNECT_DATATYPE_STRING256:
      return wire::kTextBytes;
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
  const bool text = variable->family == UnitFamily::kText;
  const auto factor = ConversionFactor(variable->family, request.units_name);
  if (!factor) {
    error = {SIMCONNECT_EXCEPTION_NAME_UNRECOGNIZED, 3};
    return false;
  }
  const bool type_fits = text ? request.datum_type == SIMCONNECT_DATATYPE_STRING256
                              : IsNumericType(request.datum_type);
  if (!type_fits) {
    error = {SIMCONNECT_EXCEPTION_INVALID_DATA_TYPE, 4};
    return false;
  }
  entry = {variable, *factor, static_cast<SIMCONNECT_DATATYPE>(request.datum_type)};
  return true;
}

std::size_t BlockBytes(const std::vector<DataEntry>& entries) {
  std::size_t total = 0;
  for (const DataEntry& entry : entries) total += DatumBytes(entry.type);
  return total;
}

void PackBlock(const SimState& state, const std::vector<DataEntry>& entries,
               std::vector<std::uint8_t>& out) {
  for (const DataEntry& entry : entries) {
    if (entry.type == SIMCONNECT_DATATYPE_STRING256) {
      PutText(out, ReadText(state, *entry.variable));
    } else {
      PackNumber(ReadValue(state, *entry.variable) * entry.factor, entry.type, out);
    }
  }
}

}  // namespace skyhelm::simulator
