// Data definitions as a client declares them, and the packing of their data blocks.
#pragma once

#include <SimConnect.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/simconnect/wire_protocol.h"
#include "simulator/catalogue.h"

namespace skyhelm::simulator {

// One accepted entry of a data definition.
struct DataEntry {
  const SimVariable* variable = nullptr;  // points into the catalogue (static lifetime)
  double factor = 1.0;                    // catalogue unit -> requested unit
  SIMCONNECT_DATATYPE type = SIMCONNECT_DATATYPE_INVALID;
};

// Bytes a datum of `type` occupies in a block; 0 for a type the simulator does not serve.
std::size_t DatumBytes(SIMCONNECT_DATATYPE type);

// Why an entry was refused: the exception to answer with and the 1-based index of the offending
// parameter of SimConnect_AddToDataDefinition (1 DefineID, 2 DatumName, 3 UnitsName, 4 DatumType).
struct EntryError {
  SIMCONNECT_EXCEPTION exception = SIMCONNECT_EXCEPTION_NONE;
  std::uint32_t index = 0;
};

// Checks a requested entry against the catalogue and units. Text variables take STRING256 and no
// units (a null or empty name); numeric ones take INT32, INT64, FLOAT32 or FLOAT64 and a unit of
// their family. Returns false with `error` set when the entry is refused.
bool MakeDataEntry(const wire::AddToDataDefinitionRequest& request, DataEntry& entry,
                   EntryError& error);

// Total block size of a definition.
std::size_t BlockBytes(const std::vector<DataEntry>& entries);

// Appends the definition's block to `out`: each entry in order, little-endian, at its type's size.
// Integers take the value in the requested unit truncated toward zero (saturated at the type's
// limits, NaN as 0); text is zero-padded to 256 bytes and cut at 255.
void PackBlock(const SimState& state, const std::vector<DataEntry>& entries,
               std::vector<std::uint8_t>& out);

}  // namespace skyhelm::simulator
