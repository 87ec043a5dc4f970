// Data definitions as a client declares them, and the packing and unpacking of their data blocks.
#pragma once

#include <SimConnect.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/simconnect/wire_protocol.h"
#include "simulator/catalogue.h"
#include "simulator/data_requests.h"

namespace skyhelm::simulator {

// One accepted entry of a data definition.
struct DataEntry {
  const SimVariable* variable = nullptr;  // points into the catalogue (static lifetime)
  double factor = 1.0;                    // catalogue unit -> requested unit
  SIMCONNECT_DATATYPE type = SIMCONNECT_DATATYPE_INVALID;
  float epsilon = 0.0f;
  std::uint32_t datum_id = 0xFFFFFFFFu;
};

// Bytes a datum of `type` occupies in a block; 0 for a type the simulator does not serve.
std::size_t DatumBytes(SIMCONNECT_DATATYPE type);

// Why an entry or a block was refused: the exception to answer with and the 1-based index of the
// offending parameter of the call (AddToDataDefinition: 1 DefineID, 2 DatumName, 3 UnitsName,
// 4 DatumType; SetDataOnSimObject: 6 the data).
struct EntryError {
  SIMCONNECT_EXCEPTION exception = SIMCONNECT_EXCEPTION_NONE;
  std::uint32_t index = 0;
};
using SetDataResult = EntryError;

// Checks a requested entry against the catalogue and units. Text variables take the fixed STRING
// types (8 to 260 bytes) and no units (a null or empty name); numeric ones take INT32, INT64,
// FLOAT32 or FLOAT64 and a unit of their family; a structure takes its own data type and no
// units. Returns false with `error` set when the entry is refused.
bool MakeDataEntry(const wire::AddToDataDefinitionRequest& request, DataEntry& entry,
                   EntryError& error);

// Total block size of a definition.
std::size_t BlockBytes(const std::vector<DataEntry>& entries);

// Reads the definition's entries from the aircraft: each in order, little-endian, at its type's
// size. Integers take the value in the requested unit truncated toward zero (saturated at the
// type's limits, NaN as 0); text is zero-padded to its size and cut one byte short of it.
void SampleDefinition(const SimState& state, const std::vector<DataEntry>& entries, Sample& sample);
// The whole block, as SampleDefinition lays it out.
void PackBlock(const SimState& state, const std::vector<DataEntry>& entries,
               std::vector<std::uint8_t>& out);

// SetDataOnSimObject: writes a block laid out as the definition (or, tagged, datum id + value
// pairs) into the aircraft. Every entry must be settable and the block must hold exactly the
// definition (tagged: whole pairs of known datum ids); otherwise nothing is written. Values are
// taken in the entry's unit and clamped to the variable's range.
SetDataResult ApplyBlock(const std::vector<DataEntry>& entries,
                         const std::vector<std::uint8_t>& data, SimState& state);
SetDataResult ApplyTaggedBlock(const std::vector<DataEntry>& entries,
                               const std::vector<std::uint8_t>& data, SimState& state);

}  // namespace skyhelm::simulator
