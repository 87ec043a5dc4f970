// The peer tool's pieces: the command check (what a datagram does at the bridge, which texts it
// refuses), when it sends its claim "1", how it tells a takeover from a late reader, and the live
// view's screen.
#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/loopback_peer.h"
#include "tests/support/test_names.h"
#include "tools/common/command_check.h"
#include "tools/peer/peer_claim.h"
#include "tools/peer/watch_screen.h"

namespace skyhelm::peer {
namespace {

using std::chrono::milliseconds;

struct CheckCase {
  std::string text;
  bool ok;
  const char* explanation;
  const char* problem_has;  // "" when ok
};
void PrintTo(const CheckCase& c, std::ostream* os) {
  *os << ::testing::PrintToString(c.text.substr(0, 40));
}
class CommandCheckTable : public ::testing::TestWithParam<CheckCase> {};

TEST_P(CommandCheckTable, ExplainsAndJudges) {
  const CheckCase& c = GetParam();
  const tools::CommandCheck check = tools::CheckCommand(c.text.data(), c.text.size());
  EXPECT_EQ(check.ok, c.ok) << check.problem;
  EXPECT_EQ(check.explanation, c.explanation);
  EXPECT_NE(check.problem.find(c.problem_has), std::string::npos) << check.problem;
  EXPECT_EQ(check.problem.empty(), c.ok);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Texts, CommandCheckTable, ::testing::Values(
    CheckCase{"v-500", true, "vertical speed setting -500 ft/min", ""},
    CheckCase{"hH", false, "heading bug 0, then heading hold", "h reads no value here"},
    CheckCase{"h", false, "heading bug 0", "h without a value would take 0"},
    CheckCase{"h0", true, "heading bug 0", ""},
    CheckCase{"h360", true, "heading bug 360", ""},
    CheckCase{"h361", false, "heading bug 361", "h361 is out of range: heading bug takes 0 to 360"},
    CheckCase{"v-9901", false, "vertical speed setting -9901 ft/min", "-9900 to 9900"},
    CheckCase{"g", true, "gear up", ""},
    CheckCase{"g-7", true, "gear down", ""},
    CheckCase{"FE", true, "flight director, then autopilot master", ""},
    CheckCase{"l 4500", true, "altitude setting 4500 ft", ""},
    CheckCase{"help", false, "heading bug 0", "\"elp\" after h would be ignored"},
    CheckCase{"V1000", false, "altitude hold", "V takes no value"},
    CheckCase{"l4500V", false, "altitude setting 4500 ft", "\"V\" after l4500"},
    CheckCase{"1", false, "nothing", "commands nothing"},
    CheckCase{"", false, "nothing", "empty"},
    CheckCase{std::string("h90\0H", 5), false, "heading bug 90", "the 1 byte(s) after"},
    CheckCase{"k99999999999", false, "speed setting 2147483647 kt", "32-bit range"},
    CheckCase{"v-99999999999", false, "vertical speed setting -2147483648 ft/min", "32-bit"},
    CheckCase{"h" + std::string(1023, '0'), true, "heading bug 0", ""},
    CheckCase{"h" + std::string(1024, '0'), false, "nothing", "1025 bytes"}),
    [](const auto& test) {
      return std::to_string(test.index) + "_" + test_support::TestName(test.param.text);
    });
// clang-format on

// One step: at `at_ms`, optionally a line arrives first, then Tick runs.
struct Step {
  int at_ms;
  bool line_arrives;
  ClaimSent expected;
};
struct ClaimScenario {
  const char* name;
  std::vector<Step> steps;
};
void PrintTo(const ClaimScenario& c, std::ostream* os) { *os << c.name; }
class Claims : public ::testing::TestWithParam<ClaimScenario> {};

// Scripted times; the claims go over a real loopback socket and are counted there.
TEST_P(Claims, SendOneDatagramPerClaim) {
  const test_support::LoopbackPeer bridge(0);  // stands in for the bridge: receives the claims
  std::string error;
  auto socket = PeerSocket::Open(
      *ParseEndpoint("127.0.0.1:" + std::to_string(bridge.local_port()), error), error);
  ASSERT_TRUE(socket) << error;
  PeerClaim claim(milliseconds(100), milliseconds(1000));  // reclaim after 100 ms, alive 1000
  LineTracker tracker;
  const Clock::time_point start = Clock::now();
  std::size_t claims = 0;
  for (const Step& step : GetParam().steps) {
    const Clock::time_point now = start + milliseconds(step.at_ms);
    if (step.line_arrives) tracker.Feed("v1.2,\r\n", now);
    const ClaimSent sent = claim.Tick(*socket, tracker, now);
    EXPECT_EQ(sent, step.expected) << "at " << step.at_ms << " ms";
    claims += sent != ClaimSent::kNone;
  }
  for (; claims > 0; --claims) EXPECT_EQ(bridge.Receive(milliseconds(1000)), "1");
  EXPECT_EQ(bridge.Receive(milliseconds(0)), std::nullopt);
}

constexpr ClaimSent kNone = ClaimSent::kNone;
constexpr ClaimSent kSilence = ClaimSent::kAfterSilence;
constexpr ClaimSent kAlive = ClaimSent::kKeepAlive;
// clang-format off
INSTANTIATE_TEST_SUITE_P(PeerClaim, Claims, ::testing::Values(
    ClaimScenario{"SilentBridgeIsClaimedAgain", {{0, false, kSilence}, {99, false, kNone},
        {100, false, kSilence}, {199, false, kNone}, {200, false, kSilence}}},
    // Silence counts from the newest datagram, not from the claim.
    ClaimScenario{"SilenceCountsFromTheLastLine", {{0, false, kSilence}, {80, true, kNone},
        {150, false, kNone}, {180, false, kSilence}}},
    // A steady stream still sends a claim once per keep-alive period, and only one.
    ClaimScenario{"SteadyStreamKeepsAlive", {{0, true, kSilence}, {999, true, kNone},
        {1000, true, kAlive}, {1990, true, kNone}, {2000, true, kAlive}}}),
    [](const auto& test) { return std::string(test.param.name); });
// clang-format on

// After a claim at 100 ms, the first datagram arrives at `at_ms` (before it: a late reader's).
TEST(PeerClaim, OnlyAnAnswerWithinTheWindowIsATakeover) {
  const Clock::time_point start = Clock::now();
  for (const auto& [at_ms, takeover] :
       {std::pair{99, false}, {100, true}, {129, true}, {130, false}}) {
    TakeoverWitness witness(milliseconds(30));
    witness.ClaimedAfterSilence(start + milliseconds(100));
    EXPECT_EQ(witness.Arrived(start + milliseconds(at_ms)), takeover) << at_ms;
  }
}

// The frame without its escape sequences; each row must fit the view's terminal.
std::string Visible(const WatchView& view) {
  std::istringstream stream(
      std::regex_replace(RenderWatchScreen(view), std::regex("\x1b[^A-Za-z]*[A-Za-z]|\r"), ""));
  std::string all;
  int rows = 0;
  for (std::string row; std::getline(stream, row); ++rows) {
    EXPECT_LT(row.size(), static_cast<std::size_t>(view.columns)) << row;
    all += row + "\n";
  }
  EXPECT_LE(rows, view.rows) << all;
  return all;
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
      "refused help -> heading bug 0: \"elp\" after h would be ignored and h would take 0 (a "
      "word? the bridge reads single letters) (watch --raw sends such texts anyway) " +
      std::string(120, 'x') + " end";
  const std::string all = Visible(view);
  for (const TelemetryField& field : kTelemetryFields) {
    EXPECT_NE(all.find(std::string(field.name) + " "), std::string::npos) << field.name;
  }
  for (const char* text : {"-122.290428", "--raw", " end\n"}) {
    EXPECT_NE(all.find(text), std::string::npos) << text << " in\n" << all;
  }
  view.columns = 40;
  view.rows = 12;
  EXPECT_EQ(Visible(view).rfind("terminal too small: 40x12", 0), 0u);
}

}  // namespace
}  // namespace skyhelm::peer
