// docs/protocol.md's field table agrees with the code's table, so the two cannot drift apart.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "sim/telemetry_schema.h"

namespace skyhelm {
namespace {

std::vector<std::string> Cells(const std::string& row) {
  std::vector<std::string> cells;
  std::istringstream stream(row.substr(1));
  for (std::string cell; std::getline(stream, cell, '|');) {
    const std::size_t start = cell.find_first_not_of(' ');
    const std::size_t end = cell.find_last_not_of(' ');
    cells.push_back(start == std::string::npos ? "" : cell.substr(start, end - start + 1));
  }
  return cells;
}

TEST(ProtocolDocument, FieldTableMatchesTheTelemetrySchema) {
  std::ifstream file(SKYHELM_PROTOCOL_DOC);
  ASSERT_TRUE(file) << SKYHELM_PROTOCOL_DOC;
  std::vector<std::vector<std::string>> rows;
  bool in_table = false;
  for (std::string line; std::getline(file, line);) {
    if (line.rfind("| # | name | simulation variable | asked in | wire | unit |", 0) == 0) {
      in_table = true;
    } else if (in_table && line.rfind("|---", 0) != 0) {
      if (line.rfind("|", 0) != 0) break;
      rows.push_back(Cells(line));
    }
  }
  ASSERT_EQ(rows.size(), kTelemetryFieldCount);
  for (std::size_t i = 0; i < kTelemetryFieldCount; ++i) {
    const TelemetryField& field = kTelemetryFields[i];
    const TelemetryDatum& datum = kTelemetryDefinitionEntries[i + 1];
    const bool is_int = field.kind == FieldKind::kInt32;
    ASSERT_GE(rows[i].size(), 7u) << i;
    EXPECT_EQ(rows[i][0], std::to_string(i + 1));
    EXPECT_EQ(rows[i][1], field.name);
    EXPECT_EQ(rows[i][2], datum.datum_name);
    EXPECT_EQ(rows[i][3], datum.units_name);
    EXPECT_EQ(rows[i][4], is_int ? "int32" : "float32");
    EXPECT_EQ(is_int, datum.datum_type == SIMCONNECT_DATATYPE_INT32) << field.name;
    EXPECT_EQ(rows[i][5], field.unit);
  }
}

}  // namespace
}  // namespace skyhelm
