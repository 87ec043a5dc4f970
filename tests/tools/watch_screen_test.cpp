// The live view fits an 80x24 terminal with every field, and says so when a terminal is smaller.
#include "tools/peer/watch_screen.h"

#include <gtest/gtest.h>

#include <cctype>
#include <sstream>
#include <string>
#include <vector>

namespace skyhelm::peer {
namespace {

// The frame's rows with the escape sequences removed.
std::vector<std::string> VisibleRows(const std::string& frame) {
  std::string plain;
  for (std::size_t i = 0; i < frame.size(); ++i) {
    if (frame[i] == '\x1b') {
      while (i < frame.size() && !std::isalpha(static_cast<unsigned char>(frame[i]))) ++i;
      continue;
    }
    if (frame[i] != '\r') plain += frame[i];
  }
  std::vector<std::string> rows;
  std::istringstream stream(plain);
  for (std::string row; std::getline(stream, row);) rows.push_back(row);
  return rows;
}

TEST(WatchScreen, FitsEightyByTwentyFourWithEveryFieldAndSaysWhenTooSmall) {
  LineTracker tracker;
  tracker.Feed(
      "v1.2,120,3227,-3.296740,-18.242668,0.000000,0.000000,180,1,120,0,0,0,1,0,0,3500,1,"
      "47.445232,-122.290428,146,0.000000,\n\r\n",
      Clock::now());
  WatchView view;
  view.bridge_text = "127.0.0.1:47001";
  view.tracker = &tracker;
  view.now = Clock::now();
  // The longest status there is, with its reason and hint last: wrapped, never cut.
  view.status =
      "refused help -> heading bug 0: \"elp\" after h would be ignored and h would "
      "take 0 (a word? the bridge reads single letters) (watch --raw sends such texts "
      "anyway) " +
      std::string(120, 'x') + " end";
  const std::vector<std::string> rows = VisibleRows(RenderWatchScreen(view));
  EXPECT_LE(rows.size(), 24u);
  std::string all;
  for (const std::string& row : rows) {
    EXPECT_LT(row.size(), 80u) << row;
    all += row + "\n";
  }
  EXPECT_NE(all.find("skyhelm-peer watch"), std::string::npos) << all;
  for (const TelemetryField& field : kTelemetryFields) {
    EXPECT_NE(all.find(std::string(field.name) + " "), std::string::npos) << field.name;
  }
  EXPECT_NE(all.find("-122.290428"), std::string::npos) << all;
  EXPECT_NE(all.find("--raw"), std::string::npos) << all;
  EXPECT_NE(all.find(" end\n"), std::string::npos) << all;

  view.columns = 40;
  view.rows = 12;
  const std::vector<std::string> small = VisibleRows(RenderWatchScreen(view));
  ASSERT_FALSE(small.empty());
  EXPECT_EQ(small[0].rfind("terminal too small: 40x12", 0), 0u) << small[0];
  for (const std::string& row : small) EXPECT_LT(row.size(), 40u) << row;
}

}  // namespace
}  // namespace skyhelm::peer
