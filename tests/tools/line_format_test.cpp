// Renderings of a decoded line: pairs, JSON, CSV, and the live view's frame.
#include "tools/peer/line_format.h"

#include <gtest/gtest.h>

#include <string>

#include "tools/peer/watch_screen.h"

namespace skyhelm::peer {
namespace {

constexpr const char* kLine =
    "v1.2,120,350,2.500000,-10.250000,3.000000,-5.000000,270,1,140,0,1,1,1,700,1,900,0,"
    "47.250000,-122.500000,268,nan,\n\r\n";

TelemetryValues Decoded() {
  const DecodedDatagram decoded = DecodeDatagram(kLine);
  EXPECT_EQ(decoded.kind, DatagramKind::kLine) << decoded.description;
  return decoded.values;
}

TEST(LineFormat, PairsNameEveryFieldWithItsTextInLineOrder) {
  EXPECT_EQ(FormatPairs(Decoded()),
            "ground_speed=120 altitude=350 pitch=2.500000 bank=-10.250000 fd_pitch=3.000000 "
            "fd_bank=-5.000000 heading_bug=270 heading_hold=1 speed_setting=140 speed_hold=0 "
            "throttle_arm=1 flight_director=1 autopilot_master=1 vs_setting=700 vs_hold=1 "
            "altitude_setting=900 altitude_hold=0 latitude=47.250000 longitude=-122.500000 "
            "true_heading=268 gear_position=nan");
}

TEST(LineFormat, JsonWritesNonFiniteValuesAsNull) {
  const std::string json = FormatJson(Decoded());
  EXPECT_EQ(json.substr(0, 36), "{\"ground_speed\":120,\"altitude\":350,\"");
  EXPECT_NE(json.find("\"longitude\":-122.500000,"), std::string::npos);
  EXPECT_EQ(json.substr(json.size() - 21), "\"gear_position\":null}");
}

TEST(WatchScreen, ShowsEveryFieldWithItsUnitAndTheStreamState) {
  LineTracker tracker;
  const Clock::time_point t0{};
  tracker.Feed(kLine, t0);
  WatchView view;
  view.bridge_text = "127.0.0.1:47001";
  view.tracker = &tracker;
  view.now = t0 + std::chrono::milliseconds(250);
  view.input = "h27";
  const std::string frame = RenderWatchScreen(view);
  for (const TelemetryField& field : kTelemetryFields) {
    EXPECT_NE(frame.find(field.name), std::string::npos) << field.name;
  }
  EXPECT_NE(frame.find("-122.500000  deg"), std::string::npos);
  EXPECT_NE(frame.find("700  ft/min"), std::string::npos);
  EXPECT_NE(frame.find("newest distinct line 0.25 s ago"), std::string::npos);
  EXPECT_NE(frame.find("> h27"), std::string::npos);
}

TEST(WatchScreen, TellsNoDataFromSilence) {
  LineTracker tracker;
  tracker.Feed("\r\n", Clock::time_point{});
  WatchView view;
  view.tracker = &tracker;
  EXPECT_NE(RenderWatchScreen(view).find("no data yet"), std::string::npos);
  view.silent = true;
  EXPECT_NE(RenderWatchScreen(view).find("SILENT"), std::string::npos);
}

}  // namespace
}  // namespace skyhelm::peer
