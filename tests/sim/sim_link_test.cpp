// Tests for RunSimLink: what the connection declares to a scripted simulator, and a failed open.
#include "sim/sim_link.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/platform/scripted_sim_server.h"
#include "tests/support/child_process.h"

namespace skyhelm {
namespace {

using testing::ScriptedSimServer;

struct ExpectedDatum {
  const char* name;
  const char* units;  // nullptr: no units
  std::uint32_t type;
};

// Written out here rather than taken from the connection's table, so that a change to the table
// shows up as a failure.
const ExpectedDatum kExpectedDefinition[] = {
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

void CountLoopRun(void* context) { ++*static_cast<int*>(context); }

class SimLinkTest : public ::testing::Test {
 protected:
  void TearDown() override { unsetenv("SKYHELM_SIM_ADDRESS"); }

  int RunLink(const std::string& address) {
    setenv("SKYHELM_SIM_ADDRESS", address.c_str(), 1);
    int loop_runs = 0;
    std::atomic<std::int32_t> stop_flag{7};
    HANDLE handle = nullptr;
    RunSimLink(handle, stop_flag, &CountLoopRun, &loop_runs);
    EXPECT_EQ(stop_flag, 0);
    return loop_runs;
  }
};

TEST_F(SimLinkTest, DeclaresTheTelemetryDefinitionRequestAndEventsThenCloses) {
  ScriptedSimServer server;
  EXPECT_EQ(RunLink(server.Address()), 1);
  ASSERT_TRUE(server.WaitForClientGone(std::chrono::seconds(5)));
  const std::vector<wire::Request> requests = server.Requests();
  ASSERT_EQ(requests.size(), 1u + 22u + 1u + 11u + 1u);
  EXPECT_FALSE(server.saw_undecodable_request());

  std::size_t at = 0;
  EXPECT_EQ(requests[at].type, wire::RequestType::kOpen);
  EXPECT_EQ(requests[at++].open.client_name, "Request Data");
  for (const ExpectedDatum& datum : kExpectedDefinition) {
    const wire::Request& r = requests[at++];
    ASSERT_EQ(r.type, wire::RequestType::kAddToDataDefinition) << datum.name;
    EXPECT_EQ(r.add.define_id, 0u);
    EXPECT_EQ(r.add.datum_name, datum.name);
    EXPECT_EQ(r.add.has_units, datum.units != nullptr) << datum.name;
    EXPECT_EQ(r.add.units_name, datum.units != nullptr ? datum.units : "") << datum.name;
    EXPECT_EQ(r.add.datum_type, datum.type) << datum.name;
    EXPECT_EQ(r.add.epsilon, 0.0f);
    EXPECT_EQ(r.add.datum_id, 0xFFFFFFFFu);
  }
  const wire::Request& request = requests[at++];
  ASSERT_EQ(request.type, wire::RequestType::kRequestDataOnSimObject);
  const wire::RequestDataOnSimObjectRequest& d = request.request_data;
  EXPECT_EQ(std::vector<std::uint32_t>({d.request_id, d.define_id, d.object_id, d.period, d.flags,
                                        d.origin, d.interval, d.limit}),
            std::vector<std::uint32_t>({0, 0, 0, 3, 0, 0, 0, 0}));
  for (const auto& mapping : kExpectedMappings) {
    const wire::Request& r = requests[at++];
    ASSERT_EQ(r.type, wire::RequestType::kMapClientEventToSimEvent) << mapping.name;
    EXPECT_EQ(r.map.event_id, mapping.id);
    EXPECT_EQ(r.map.event_name, mapping.name);
  }
  EXPECT_EQ(requests[at].type, wire::RequestType::kClose);
}

TEST_F(SimLinkTest, NeverRunsTheLoopWhenTheOpenFails) {
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  const int loop_runs = RunLink("127.0.0.1:" + std::to_string(testing::FreeLoopbackPort(false)));
  const std::string out = ::testing::internal::GetCapturedStdout();
  ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(loop_runs, 0);
  EXPECT_EQ(out, "");
}

}  // namespace
}  // namespace skyhelm
