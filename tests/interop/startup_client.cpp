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

std::string Quoted(const char* text) { return text ? "\"" + std::string(text) + "\"" : "null"; }

void PrintTables() {
  using std::to_string;
  std::string entries, mappings;
  for (const skyhelm::TelemetryDatum& d : skyhelm::kTelemetryDefinitionEntries) {
    entries += (entries.empty() ? "[" : ",[") + Quoted(d.datum_name) + "," + Quoted(d.units_name) +
               "," + to_string(d.datum_type) + "]";
  }
  for (const skyhelm::ClientEventMapping& m : skyhelm::kClientEventMappings) {
    mappings +=
        (mappings.empty() ? "[" : ",[") + to_string(m.id) + "," + Quoted(m.sim_event_name) + "]";
  }
  std::printf(
      "{\"entries\":[%s],\"mappings\":[%s],\"heading_bug_event\":%u,\"standard_group\":%u,"
      "\"group_is_priority\":%u,\"sim_frame\":%u}\n",
      entries.c_str(), mappings.c_str(), static_cast<unsigned>(skyhelm::kHeadingBugSet),
      static_cast<unsigned>(SIMCONNECT_GROUP_PRIORITY_STANDARD),
      static_cast<unsigned>(SIMCONNECT_EVENT_FLAG_GROUPID_IS_PRIORITY),
      static_cast<unsigned>(SIMCONNECT_PERIOD_SIM_FRAME));
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
