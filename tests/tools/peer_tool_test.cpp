// The peer tool's pieces: the telemetry line's decoder (it accepts exactly what the bridge sends,
// every line the bridge builds among them, and names what is wrong with anything else), the command
// check (what a datagram does at the bridge, which texts it refuses), when the tool sends its claim
// "1", how it tells a takeover from a late reader, and the live view's screen.
#include <gtest/gtest.h>

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstring>
#include <limits>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "sim/telemetry.h"
#include "tests/support/loopback_peer.h"
#include "tools/common/command_check.h"
#include "tools/peer/line_decoder.h"
#include "tools/peer/peer_claim.h"
#include "tools/peer/watch_screen.h"

namespace skyhelm::peer {
namespace {

const auto kName = [](const auto& info) { return std::string(info.param.name); };

// Values of a reference line (a plausible aircraft in a turn) without the tag and the endings.
const std::vector<std::string> kReference = {
    "120", "350", "2.500000", "-10.250000", "3.000000",    "-5.000000", "270",
    "1",   "140", "0",        "1",          "1",           "1",         "700",
    "1",   "900", "0",        "47.250000",  "-122.500000", "268",       "1.000000"};

// The reference line with one field's text replaced (field -1: none).
std::string With(int field, const std::string& text) {
  std::string out = "v1.2";
  for (std::size_t i = 0; i < kReference.size(); ++i) {
    out += "," + (static_cast<int>(i) == field ? text : kReference[i]);
  }
  return out + ",\n\r\n";
}
const std::string kLine = With(-1, "");

struct Case {
  const char* name;
  std::string datagram;
  Problem problem;    // kNone: the reference line
  std::size_t field;  // kBadInt/kBadReal: the offending field
};
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }
class Decode : public ::testing::TestWithParam<Case> {};

TEST_P(Decode, AcceptsOrNamesTheProblem) {
  const Case& c = GetParam();
  const DecodedDatagram decoded = DecodeDatagram(c.datagram);
  EXPECT_EQ(decoded.problem, c.problem) << decoded.description;
  EXPECT_EQ(decoded.kind,
            c.problem == Problem::kNone ? DatagramKind::kLine : DatagramKind::kMalformed);
  EXPECT_EQ(decoded.description.empty(), c.problem == Problem::kNone);
  EXPECT_EQ(decoded.field_index, c.field);
  for (std::size_t i = 0; c.problem == Problem::kNone && i < kTelemetryFieldCount; ++i) {
    EXPECT_EQ(decoded.values.texts[i], kReference[i]) << i;
    EXPECT_EQ(decoded.values.numbers[i], std::stod(kReference[i])) << i;
  }
}

constexpr Problem kInt = Problem::kBadInt;
constexpr Problem kReal = Problem::kBadReal;
// The extremes of what the bridge sends are DecoderAgreesWithBridge's rows.
// clang-format off
INSTANTIATE_TEST_SUITE_P(LineDecoder, Decode, ::testing::Values(
    Case{"reference", kLine, Problem::kNone, 0},
    Case{"empty", "", Problem::kEmpty, 0},
    Case{"other_version", "v1.3" + kLine.substr(4), Problem::kTag, 0},
    Case{"crlf_without_line_feed", kLine.substr(0, kLine.size() - 3) + "\r\n", Problem::kTerminator, 0},
    Case{"twenty_values", kLine.substr(0, kLine.rfind("1.000000")) + "\n\r\n", Problem::kTooFewValues, 0},
    Case{"twenty_two_values", With(20, "1.000000,0"), Problem::kTooManyValues, 0},
    Case{"extra_line_end", kLine + "\r\n", Problem::kTooManyValues, 0},
    Case{"int_plus_sign", With(0, "+120"), kInt, 0},
    Case{"int_leading_zero", With(1, "0350"), kInt, 1},
    Case{"int_minus_zero", With(6, "-0"), kInt, 6},
    Case{"int_overflow", With(13, "2147483648"), kInt, 13},
    Case{"int_underflow", With(13, "-2147483649"), kInt, 13},
    Case{"int_with_zero_byte", With(16, std::string("0\0", 2)), kInt, 16},
    Case{"real_one_decimal", With(2, "2.5"), kReal, 2},
    Case{"real_seven_decimals", With(2, "2.5000000"), kReal, 2},
    Case{"real_no_point", With(3, "-10"), kReal, 3},
    Case{"real_no_whole_part", With(4, ".500000"), kReal, 4},
    Case{"real_leading_zero", With(5, "05.000000"), kReal, 5},
    Case{"real_minus_nan", With(20, "-nan"), kReal, 20}), kName);
// clang-format on

// A bare line end means "no data yet"; every truncation of a line, and every single-byte change
// other than signing a number, is malformed (and decoding never reads past the datagram).
TEST(LineDecoder, NoDataTruncationsAndSingleByteChanges) {
  EXPECT_EQ(DecodeDatagram("\r\n").kind, DatagramKind::kNoData);
  for (std::size_t length = 1; length < kLine.size(); ++length) {
    EXPECT_EQ(DecodeDatagram(std::string(kLine, 0, length)).kind, DatagramKind::kMalformed)
        << "length " << length;
  }
  for (std::size_t i = 0; i < kLine.size(); ++i) {
    for (char replacement : {'\0', 'x', ',', '\n', '.', '-'}) {
      std::string changed = kLine;
      changed[i] = replacement;
      // "140" -> "-40" is still a well-formed line; nothing else may be.
      if (kLine[i] != replacement && DecodeDatagram(changed).kind == DatagramKind::kLine) {
        EXPECT_TRUE(replacement == '-' && i > 0 && kLine[i - 1] == ',') << "byte " << i;
      }
    }
  }
}

// The bridge's line from a delivered record holding `int_value` in every int field and
// `float_value` in every float one.
struct RecordCase {
  const char* name;
  std::int32_t int_value;
  float float_value;
};
void PrintTo(const RecordCase& c, std::ostream* os) { *os << c.name; }
class DecoderAgreesWithBridge : public ::testing::TestWithParam<RecordCase> {};

TEST_P(DecoderAgreesWithBridge, EveryBuiltLineDecodesToTheRecord) {
  const RecordCase& c = GetParam();
  std::vector<unsigned char> message(kTelemetryMessageBytes, 0);
  unsigned char* const record = message.data() + kTelemetryMessageBytes - kTelemetryRecordBytes;
  const std::uint32_t header[] = {static_cast<std::uint32_t>(message.size()), 0,
                                  SIMCONNECT_RECV_ID_SIMOBJECT_DATA, kTelemetryRequest};
  std::memcpy(message.data(), header, sizeof header);
  std::memcpy(record, "Title, with commas,\n", 20);
  for (const TelemetryField& field : kTelemetryFields) {
    std::memcpy(record + field.record_offset,
                field.kind == FieldKind::kInt32 ? static_cast<const void*>(&c.int_value)
                                                : static_cast<const void*>(&c.float_value),
                4);
  }
  HandleSimMessage(reinterpret_cast<SIMCONNECT_RECV*>(message.data()),
                   static_cast<DWORD>(message.size()), nullptr);
  ASSERT_LE(LatestLine.size() + 2, 1024u) << "the datagram limit";
  const DecodedDatagram decoded = DecodeDatagram(LatestLine + "\r\n");
  ASSERT_EQ(decoded.kind, DatagramKind::kLine) << decoded.description << "\n" << LatestLine;
  const double wide = static_cast<double>(c.float_value);
  for (std::size_t i = 0; i < kTelemetryFieldCount; ++i) {
    const double got = decoded.values.numbers[i];
    SCOPED_TRACE(kTelemetryFields[i].name);
    if (kTelemetryFields[i].kind == FieldKind::kInt32) {
      EXPECT_EQ(got, c.int_value);
    } else if (!std::isfinite(wide)) {
      EXPECT_TRUE(std::isnan(wide) ? std::isnan(got) : got == wide) << got;
    } else {
      EXPECT_NEAR(got, wide, 5e-7 + std::fabs(wide) * 1e-15);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Peer, DecoderAgreesWithBridge,
    ::testing::Values(RecordCase{"int_min_float_max", INT_MIN, FLT_MAX},
                      RecordCase{"int_max_lowest_float", INT_MAX, -FLT_MAX},
                      RecordCase{"negative_zero", 0, -0.0f},
                      RecordCase{"nan", 2, std::numeric_limits<float>::quiet_NaN()},
                      RecordCase{"infinity", 4, std::numeric_limits<float>::infinity()}),
    kName);

using std::chrono::milliseconds;

struct CheckCase {
  std::string text;
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
  EXPECT_EQ(check.ok, *c.problem_has == '\0') << check.problem;
  EXPECT_EQ(check.explanation, c.explanation);
  EXPECT_NE(check.problem.find(c.problem_has), std::string::npos) << check.problem;
  EXPECT_EQ(check.problem.empty(), check.ok);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Texts, CommandCheckTable, ::testing::Values(
    CheckCase{"v-500", "vertical speed setting -500 ft/min", ""},
    CheckCase{"hH", "heading bug 0, then heading hold", "h reads no value here"},
    CheckCase{"h", "heading bug 0", "h without a value would take 0"},
    CheckCase{"h0", "heading bug 0", ""},
    CheckCase{"h360", "heading bug 360", ""},
    CheckCase{"h361", "heading bug 361", "h361 is out of range: heading bug takes 0 to 360"},
    CheckCase{"v-9901", "vertical speed setting -9901 ft/min", "-9900 to 9900"},
    CheckCase{"g", "gear up", ""},
    CheckCase{"g-7", "gear down", ""},
    CheckCase{"FE", "flight director, then autopilot master", ""},
    CheckCase{"l 4500", "altitude setting 4500 ft", ""},
    CheckCase{"help", "heading bug 0", "\"elp\" after h would be ignored"},
    CheckCase{"V1000", "altitude hold", "V takes no value"},
    CheckCase{"l4500V", "altitude setting 4500 ft", "\"V\" after l4500"},
    CheckCase{"1", "nothing", "commands nothing"},
    CheckCase{"", "nothing", "empty"},
    CheckCase{std::string("h90\0H", 5), "heading bug 90", "the 1 byte(s) after"},
    CheckCase{"k99999999999", "speed setting 2147483647 kt", "32-bit range"},
    CheckCase{"v-99999999999", "vertical speed setting -2147483648 ft/min", "32-bit"},
    CheckCase{"h" + std::string(1023, '0'), "heading bug 0", ""},
    CheckCase{"h" + std::string(1024, '0'), "nothing", "1025 bytes"}));
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
        {1000, true, kAlive}, {1990, true, kNone}, {2000, true, kAlive}}}), kName);
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
  tracker.Feed(kLine, Clock::now());
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
  for (const char* text : {"-122.500000", "--raw", " end\n"}) {
    EXPECT_NE(all.find(text), std::string::npos) << text << " in\n" << all;
  }
  view.columns = 40;
  view.rows = 12;
  EXPECT_EQ(Visible(view).rfind("terminal too small: 40x12", 0), 0u);
}

}  // namespace
}  // namespace skyhelm::peer
