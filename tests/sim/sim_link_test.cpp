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

// One line per request the connection sends, in order. Written out here rather than taken from
// the connection's tables, so that a change to them shows up as a failure.
const std::vector<std::string> kExpectedRequests = {
    "open Request Data",
    "add 0 Title / (none) 9",
    "add 0 Ground Velocity / knots 1",
    "add 0 Plane Altitude / feet 1",
    "add 0 Plane Pitch Degrees / degrees 3",
    "add 0 Plane Bank Degrees / degrees 3",
    "add 0 AUTOPILOT FLIGHT DIRECTOR PITCH / degrees 3",
    "add 0 AUTOPILOT FLIGHT DIRECTOR BANK / degrees 3",
    "add 0 AUTOPILOT HEADING LOCK DIR / degrees 1",
    "add 0 AUTOPILOT HEADING LOCK / bool 1",
    "add 0 AUTOPILOT AIRSPEED HOLD VAR / Knots 1",
    "add 0 AUTOPILOT AIRSPEED HOLD / bool 1",
    "add 0 AUTOPILOT THROTTLE ARM / bool 1",
    "add 0 AUTOPILOT FLIGHT DIRECTOR ACTIVE / BOOL 1",
    "add 0 AUTOPILOT MASTER / BOOL 1",
    "add 0 AUTOPILOT VERTICAL HOLD VAR / Feet/minute 1",
    "add 0 AUTOPILOT VERTICAL HOLD / bool 1",
    "add 0 AUTOPILOT ALTITUDE LOCK VAR / feet 1",
    "add 0 AUTOPILOT ALTITUDE LOCK / bool 1",
    "add 0 Plane Latitude / degrees 3",
    "add 0 Plane Longitude / degrees 3",
    "add 0 PLANE HEADING DEGREES TRUE / degrees 1",
    "add 0 GEAR CENTER POSITION / percent over 100 3",
    "request 0 0 0 3 0 0 0 0",
    "map 1 HEADING_BUG_SET",
    "map 3 AP_PANEL_HEADING_HOLD",
    "map 2 AP_SPD_VAR_SET",
    "map 4 AP_PANEL_SPEED_HOLD",
    "map 5 AUTO_THROTTLE_ARM",
    "map 6 TOGGLE_FLIGHT_DIRECTOR",
    "map 7 AP_MASTER",
    "map 8 AP_VS_VAR_SET_ENGLISH",
    "map 9 AP_PANEL_ALTITUDE_HOLD",
    "map 10 AP_ALT_VAR_SET_ENGLISH",
    "map 11 GEAR_SET",
};

std::string Describe(const wire::Request& r) {
  const auto n = [](std::uint32_t value) { return " " + std::to_string(value); };
  switch (r.type) {
    case wire::RequestType::kOpen:
      return "open " + r.open.client_name;
    case wire::RequestType::kAddToDataDefinition:
      return "add" + n(r.add.define_id) + " " + r.add.datum_name + " / " +
             (r.add.units_name.empty() ? "(none)" : r.add.units_name) + n(r.add.datum_type) +
             (r.add.epsilon == 0.0f && r.add.datum_id == 0xFFFFFFFFu ? "" : " (epsilon, datum id)");
    case wire::RequestType::kRequestDataOnSimObject: {
      const wire::RequestDataOnSimObjectRequest& d = r.request_data;
      return "request" + n(d.request_id) + n(d.define_id) + n(d.object_id) + n(d.period) +
             n(d.flags) + n(d.origin) + n(d.interval) + n(d.limit);
    }
    case wire::RequestType::kMapClientEventToSimEvent:
      return "map" + n(r.map.event_id) + " " + r.map.event_name;
    default:
      return "other";
  }
}

TEST(SimLink, DeclaresTheTelemetryDefinitionRequestAndEventsRunsTheLoopOnceThenCloses) {
  test_support::ScriptedSimServer server;
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
  std::vector<std::string> requests;
  for (const wire::Request& request : server.Requests()) requests.push_back(Describe(request));
  EXPECT_EQ(requests, kExpectedRequests);
}

}  // namespace
}  // namespace skyhelm
