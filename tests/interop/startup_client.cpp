// Test helper for the interoperability tests: the bridge's simulator start-up through the client
// library, then one HEADING_BUG_SET 270, then close. With --tables it prints instead, as one JSON
// object, the calls that start-up makes, so that another client library can make the same ones.
#include <SimConnect.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>

#include "sim/client_events.h"
#include "sim/sim_link.h"
#include "sim/telemetry_schema.h"

namespace {

std::string Quoted(const char* text) {
  return text == nullptr ? "null" : "\"" + std::string(text) + "\"";
}

void PrintTables() {
  std::string json = "{\"entries\":[";
  const char* comma = "";
  for (const skyhelm::TelemetryDatum& datum : skyhelm::kTelemetryDefinitionEntries) {
    json += comma + std::string("[") + Quoted(datum.datum_name) + "," + Quoted(datum.units_name) +
            "," + std::to_string(datum.datum_type) + "]";
    comma = ",";
  }
  json += "],\"mappings\":[";
  comma = "";
  for (const skyhelm::ClientEventMapping& mapping : skyhelm::kClientEventMappings) {
    json += comma + std::string("[") + std::to_string(mapping.id) + "," +
            Quoted(mapping.sim_event_name) + "]";
    comma = ",";
  }
  json += "],\"heading_bug_event\":" + std::to_string(skyhelm::kHeadingBugSet) +
          ",\"standard_group\":" + std::to_string(SIMCONNECT_GROUP_PRIORITY_STANDARD) +
          ",\"group_is_priority\":" + std::to_string(SIMCONNECT_EVENT_FLAG_GROUPID_IS_PRIORITY) +
          ",\"sim_frame\":" + std::to_string(SIMCONNECT_PERIOD_SIM_FRAME) + "}";
  std::puts(json.c_str());
}

HANDLE g_handle = nullptr;

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--tables") == 0) {
    PrintTables();
    return 0;
  }
  std::atomic<std::int32_t> stop_flag{0};
  bool ran = false;
  skyhelm::RunSimLink(
      g_handle, stop_flag,
      [](void* ran_loop) {
        skyhelm::TransmitCommandEvent(g_handle, skyhelm::kHeadingBugSet, 270);
        *static_cast<bool*>(ran_loop) = true;
      },
      &ran);
  return ran ? 0 : 1;
}
