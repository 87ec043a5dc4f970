// Tests for RunSimLink: what the connection declares to a scripted simulator. (A failed open never
// runs the loop: startup_test sees the exact output without "Running...".)
#include "sim/sim_link.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/platform/scripted_sim_server.h"

namespace skyhelm {
namespace {

// Written out here rather than taken from the connection's table, so that a change to the table
// shows up as a failure.
const struct {
  const char* name;
  const char* units;  // nullptr: no units
  std::uint32_t type;
} kExpectedDefinition[] = {
    {"Title", nullptr, 9},
    {"Ground Velocity", "knots", 1},
    {"Plane Altitude", "feet", 1},
    {"Plane Pitch Degrees", "degrees", 3},
    {"Plane Bank Degrees", "degrees", 3},
    {"AUTOPILOT FLIGHT DIRECTOR PITCH", "degrees", 3},
    {"AUTOPILOT FLIGHT DIRECTOR BANK", "degrees", 3},
    {"AUTOPILOT HEADING LOCK DIR", "degrees", 1},
    {"AUTOPILOT HEADING LOCK", "bool", 1},
    {"AUTOPILOT AIRSPEED HOLD VAR", "Knots", 1},
    {"AUTOPILOT AIRSPEED HOLD", "bool", 1},
    {"AUTOPILOT THROTTLE ARM", "bool", 1},
    {"AUTOPILOT FLIGHT DIRECTOR ACTIVE", "BOOL", 1},
    {"AUTOPILOT MASTER", "BOOL", 1},
    {"AUTOPILOT VERTICAL HOLD VAR", "Feet/minute", 1},
    {"AUTOPILOT VERTICAL HOLD", "bool", 1},
    {"AUTOPILOT ALTITUDE LOCK VAR", "feet", 1},
    {"AUTOPILOT ALTITUDE LOCK", "bool", 1},
    {"Plane Latitude", "degrees", 3},
    {"Plane Longitude", "degrees", 3},
    {"PLANE HEADING DEGREES TRUE", "degrees", 1},
    {"GEAR CENTER POSITION", "percent over 100", 3},
};

const struct {
  std::uint32_t id;
  const char* name;
} kExpectedMappings[] = {
    {1, "HEADING_BUG_SET"},
    {3, "AP_PANEL_HEADING_HOLD"},
    {2, "AP_SPD_VAR_SET"},
    {4, "AP_PANEL_SPEED_HOLD"},
    {5, "AUTO_THROTTLE_ARM"},
    {6, "TOGGLE_FLIGHT_DIRECTOR"},
    {7, "AP_MASTER"},
    {8, "AP_VS_VAR_SET_ENGLISH"},
    {9, "AP_PANEL_ALTITUDE_HOLD"},
    {10, "AP_ALT_VAR_SET_ENGLISH"},
    {11, "GEAR_SET"},
};

TEST(SimLink, DeclaresTheTelemetryDefinitionRequestAndEventsRunsTheLoopOnceThenCloses) {
  testing::ScriptedSimServer server;
  setenv("SKYHELM_SIM_ADDRESS", server.Address().c_str(), 1);
  int loop_runs = 0;
  std::atomic<std::int32_t> stop_flag{7};
  HANDLE handle = nullptr;
  RunSimLink(
      handle, stop_flag, [](void* runs) { ++*static_cast<int*>(runs); }, &loop_runs);
  unsetenv("SKYHELM_SIM_ADDRESS");
  EXPECT_EQ(stop_flag, 0);
  EXPECT_EQ(loop_runs, 1);
  ASSERT_TRUE(server.WaitForClientGone());
  const std::vector<wire::Request> requests = server.Requests();
  ASSERT_EQ(requests.size(), 1u + 22u + 1u + 11u + 1u);
  EXPECT_FALSE(server.saw_undecodable_request());

  std::size_t at = 0;
  EXPECT_EQ(requests[at].type, wire::RequestType::kOpen);
  EXPECT_EQ(requests[at++].open.client_name, "Request Data");
  for (const auto& datum : kExpectedDefinition) {
    const wire::AddToDataDefinitionRequest& add = requests[at++].add;
    ASSERT_EQ(requests[at - 1].type, wire::RequestType::kAddToDataDefinition) << datum.name;
    EXPECT_EQ(add.define_id, 0u);
    EXPECT_EQ(add.datum_name, datum.name);
    EXPECT_EQ(add.has_units, datum.units != nullptr) << datum.name;
    EXPECT_EQ(add.units_name, datum.units != nullptr ? datum.units : "") << datum.name;
    EXPECT_EQ(add.datum_type, datum.type) << datum.name;
    EXPECT_EQ(add.epsilon, 0.0f);
    EXPECT_EQ(add.datum_id, 0xFFFFFFFFu);
  }
  ASSERT_EQ(requests[at].type, wire::RequestType::kRequestDataOnSimObject);
  const wire::RequestDataOnSimObjectRequest& d = requests[at++].request_data;
  EXPECT_EQ(std::vector<std::uint32_t>({d.request_id, d.define_id, d.object_id, d.period, d.flags,
                                        d.origin, d.interval, d.limit}),
            std::vector<std::uint32_t>({0, 0, 0, 3, 0, 0, 0, 0}));
  for (const auto& mapping : kExpectedMappings) {
    ASSERT_EQ(requests[at].type, wire::RequestType::kMapClientEventToSimEvent) << mapping.name;
    EXPECT_EQ(requests[at].map.event_id, mapping.id);
    EXPECT_EQ(requests[at++].map.event_name, mapping.name);
  }
  EXPECT_EQ(requests[at].type, wire::RequestType::kClose);
}

}  // namespace
}  // namespace skyhelm
