// The relay's decisions as plain functions: pacing, subscribers, the claim policy, tokens, the
// message budget, Host and Origin, and its JSON.
#include "tools/relay/relay_logic.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "tools/relay/relay_json.h"

namespace skyhelm::relay {
namespace {

using std::chrono::milliseconds;

const TimePoint kT0 = TimePoint{} + std::chrono::hours(1);
TimePoint At(int ms) { return kT0 + milliseconds(ms); }
const auto kName = [](const auto& info) { return std::string(info.param.name); };

struct DeliveryCase {
  const char* name;
  std::uint64_t sent_seq;  // 0: nothing sent yet; sent at 0 ms
  std::uint64_t line_seq;
  int now_ms, heartbeat_ms;  // heartbeat 0: never
  bool send_now;
  int retry_at_ms;  // -1: no retry
};
void PrintTo(const DeliveryCase& c, std::ostream* os) { *os << c.name; }
class Delivery : public ::testing::TestWithParam<DeliveryCase> {};

TEST_P(Delivery, NewestLineAtMostOncePerInterval) {
  const DeliveryCase& c = GetParam();
  const DeliveryPace pace{milliseconds(33), milliseconds(c.heartbeat_ms)};
  const DeliveryDecision d = DecideDelivery({c.sent_seq, At(0)}, c.line_seq, At(c.now_ms), pace);
  EXPECT_EQ(d.send_now, c.send_now);
  EXPECT_EQ(d.retry_at, c.retry_at_ms < 0 ? TimePoint{} : At(c.retry_at_ms));
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Pace, Delivery, ::testing::Values(
    DeliveryCase{"no_line_yet", 0, 0, 0, 1000, false, -1},
    DeliveryCase{"first_line_at_once", 0, 1, 5, 1000, true, -1},
    DeliveryCase{"new_line_after_interval", 1, 2, 33, 1000, true, -1},
    DeliveryCase{"new_line_too_soon_waits", 1, 2, 10, 1000, false, 33},
    DeliveryCase{"same_line_waits_for_heartbeat", 4, 4, 500, 1000, false, 1000},
    DeliveryCase{"same_line_repeated_on_heartbeat", 4, 4, 1000, 1000, true, -1},
    DeliveryCase{"same_line_never_without_heartbeat", 4, 4, 9000, 0, false, -1}), kName);
// clang-format on

TEST(SubscriberTable, AnyDatagramSubscribesRefreshesAndSilenceExpires) {
  SubscriberTable table(2);
  ASSERT_NE(table.Heard(1, 10, At(0)), nullptr);
  ASSERT_NE(table.Heard(1, 11, At(0)), nullptr);  // same host, other port: another subscriber
  EXPECT_EQ(table.Heard(2, 10, At(0)), nullptr);  // full
  table.items()[0].delivery.line_seq = 7;
  ASSERT_EQ(table.Heard(1, 10, At(900)), &table.items()[0]);  // a refresh keeps what it was sent
  EXPECT_EQ(table.items()[0].delivery.line_seq, 7u);
  const auto silence = milliseconds(1000), probe = milliseconds(3000);
  EXPECT_EQ(table.Expire(At(1000), silence, probe), 0u);  // exactly the limit stays
  EXPECT_FALSE(table.items()[1].probing);
  // 1:11 silent since 0: its lines pause, the pause a peer of the bridge answers with "1".
  EXPECT_EQ(table.Expire(At(1001), silence, probe), 0u);
  EXPECT_TRUE(table.items()[1].probing);
  EXPECT_FALSE(table.items()[0].probing);
  EXPECT_EQ(table.Expire(At(4001), silence, probe), 1u);  // no answer: gone
  ASSERT_EQ(table.size(), 1u);
  EXPECT_EQ(table.items()[0].port, 10);
  EXPECT_TRUE(table.items()[0].probing);  // 1:10 silent since 900 ...
  table.Heard(1, 10, At(4100));           // ... answers
  EXPECT_EQ(table.Expire(At(4200), silence, probe), 0u);
  EXPECT_FALSE(table.items()[0].probing);
  EXPECT_NE(table.Heard(2, 10, At(4200)), nullptr);  // room again
}

// One step of a claim scenario: at `ms`, something happens, then the policy ticks.
enum class E { kNothing, kDatagram, kRefused };
using S = BridgeState;
struct Step {
  int ms;
  E event;
  bool claims;
  S state;
};
struct ClaimCase {
  const char* name;
  std::vector<Step> steps;
  std::uint64_t takeovers;
};
void PrintTo(const ClaimCase& c, std::ostream* os) { *os << c.name; }
class Claim : public ::testing::TestWithParam<ClaimCase> {};

TEST_P(Claim, ClaimsOnceThenOnlyDuringSilenceBackingOff) {
  const ClaimPolicy policy{milliseconds(500), milliseconds(500), milliseconds(2000)};
  UpstreamState up;
  for (const Step& step : GetParam().steps) {
    if (step.event == E::kDatagram) OnBridgeDatagram(up, At(step.ms));
    if (step.event == E::kRefused) OnBridgeRefused(up);
    EXPECT_EQ(TickClaim(up, At(step.ms), policy), step.claims) << "at " << step.ms << " ms";
    EXPECT_EQ(up.state, step.state) << "at " << step.ms << " ms";
  }
  EXPECT_EQ(up.takeovers, GetParam().takeovers);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Policy, Claim, ::testing::Values(
    ClaimCase{"no_bridge_yet_backs_off_to_the_maximum", {{0, E::kNothing, true, S::kWaiting},
        {400, E::kNothing, false, S::kWaiting}, {500, E::kNothing, true, S::kWaiting},
        {1400, E::kNothing, false, S::kWaiting}, {1500, E::kNothing, true, S::kWaiting},
        {3500, E::kNothing, true, S::kWaiting}, {5000, E::kNothing, false, S::kWaiting},
        {5500, E::kNothing, true, S::kWaiting}}, 0},
    ClaimCase{"takeover_is_reclaimed_and_counted", {{0, E::kNothing, true, S::kWaiting},
        {10, E::kDatagram, false, S::kLive}, {510, E::kNothing, false, S::kLive},
        {600, E::kNothing, true, S::kSilent}, {1010, E::kNothing, false, S::kSilent},
        {1020, E::kDatagram, false, S::kLive}}, 1},
    ClaimCase{"stopped_bridge_is_unreachable_not_a_takeover", {{0, E::kNothing, true, S::kWaiting},
        {10, E::kDatagram, false, S::kLive}, {1010, E::kNothing, true, S::kSilent},
        {1020, E::kRefused, false, S::kUnreachable}, {2010, E::kNothing, true, S::kUnreachable},
        {2100, E::kDatagram, false, S::kLive}}, 0}), kName);
// clang-format on

struct MessageCase {
  const char* name;
  std::string json;
  const char* code;  // "": accepted
  const char* text_or_error;
  std::string id_json = "null";  // the id as the result frame writes it
};
void PrintTo(const MessageCase& c, std::ostream* os) { *os << c.name; }
class Message : public ::testing::TestWithParam<MessageCase> {};

TEST_P(Message, StrictJsonAndEchoedIdsAreValidJson) {
  const MessageCase& c = GetParam();
  MessageError error;
  const auto message = ParseClientMessage(c.json, error);
  ASSERT_EQ(message.has_value(), *c.code == '\0') << error.text;
  ResultFrame result;
  if (!message) {
    EXPECT_STREQ(error.code, c.code);
    EXPECT_NE(error.text.find(c.text_or_error), std::string::npos) << error.text;
    result.id = error.id;
  } else {
    EXPECT_EQ(message->text, c.text_or_error);
    result.id = message->id;
    result.text = message->text;
  }
  // Whatever came in, the result frame is JSON and carries the id and text as they were.
  const std::string frame = ResultJson(result);
  const auto parsed = nlohmann::json::parse(frame, nullptr, false);
  ASSERT_FALSE(parsed.is_discarded()) << frame;
  EXPECT_EQ(parsed["id"].dump(), c.id_json) << frame;
  EXPECT_EQ(parsed["text"].get<std::string>(), result.text);
}

// A command "E" with `more` before its closing brace.
std::string Cmd(const std::string& more) { return R"({"type":"command","text":"E")" + more + "}"; }
const std::string kId128(128, 'i'), kId128Json = "\"" + kId128 + "\"";
// clang-format off
INSTANTIATE_TEST_SUITE_P(Json, Message, ::testing::Values(
    MessageCase{"spaces_escapes_token",
      R"( { "id" : "x\"y" , "type":"command", "text":"a\"b\u0041\n", "token":"s3" } )", "",
      "a\"bA\n", R"("x\"y")"},
    MessageCase{"non_ascii_raw",
      "{\"type\":\"command\",\"text\":\"h270\xc3\xa9\",\"id\":\"\xc3\xa9\"}", "", "h270\xc3\xa9",
      "\"\xc3\xa9\""},
    MessageCase{"id_of_128_bytes", Cmd(R"(,"id":")" + kId128 + "\""), "", "E", kId128Json},
    MessageCase{"id_of_129_bytes", Cmd(R"(,"id":"i)" + kId128 + "\""), "bad_message", "longer"},
    MessageCase{"object_id", Cmd(R"(,"id":{"a":1})"), "bad_message", "id must be"},
    MessageCase{"token_not_string", Cmd(R"(,"token":1)"), "bad_message", "token must"},
    MessageCase{"invalid_utf8", "{\"type\":\"command\",\"text\":\"h\xc3\"}", "bad_json", "not a JSON"},
    MessageCase{"other_type", R"({"type":"hello","text":"E","id":3})", "bad_message", "type must",
      "3"},
    MessageCase{"no_text", R"({"type":"command","id":"q"})", "bad_message", "needs", "\"q\""},
    MessageCase{"array", "[1]", "bad_json", "not a JSON object"},
    MessageCase{"too_long", R"({"type":"command","text":")" + std::string(5000, 'a') + "\"}",
      "bad_json", "too long"},
    MessageCase{"subscribe", R"({"type":"subscribe","fields":["altitude"],"rate":5,"id":1})", "",
      "", "1"},
    MessageCase{"subscribe_unknown_field", R"({"type":"subscribe","fields":["alt"]})",
      "unknown_field", "\"alt\""},
    MessageCase{"subscribe_bad_rate", R"({"type":"subscribe","rate":0})", "bad_rate", "above 0"}),
    kName);
// clang-format on

TEST(RelayJson, TelemetryNamesItsFieldsWithUnitsNullsNonNumbersAndKeepsOnlySubscribedOnes) {
  peer::TelemetryValues values;
  values.numbers.fill(1);
  values.numbers[3] = std::nan("");  // bank
  const std::string all = TelemetryJson(values, 42);
  EXPECT_EQ(all.rfind(R"({"type":"telemetry","seq":42,"fields":{"ground_speed":{"value":1,)", 0),
            0u)
      << all;
  EXPECT_EQ(nlohmann::json::parse(all)["fields"].size(), kTelemetryFieldCount) << all;

  MessageError error;
  const auto message = ParseClientMessage(
      R"({"type":"subscribe","fields":["gear_position","bank","altitude"],"rate":2})", error);
  ASSERT_TRUE(message && message->subscribe) << error.text;
  EXPECT_EQ(message->rate_hz, 2);
  EXPECT_EQ(SubscribedJson(nullptr, message->fields, 2),
            R"({"type":"subscribed","id":null,"fields":["altitude","bank","gear_position"],)"
            R"("rate":2.0})");
  EXPECT_EQ(TelemetryJson(values, 3, &message->fields),
            R"({"type":"telemetry","seq":3,"fields":{"altitude":{"value":1,"unit":"ft"},)"
            R"("bank":{"value":null,"unit":"deg"},"gear_position":{"value":1.0,"unit":"0..1"}}})");
}

TEST(Token, MatchesOnlyTheSameBytes) {
  EXPECT_TRUE(TokenMatches("s3cret", "s3cret"));
  for (const auto& [expected, given] : {std::pair<std::string, std::string>{"s3cret", "s3creT"},
                                        {"s3cret", "s3cre"},
                                        {"", ""},
                                        {std::string("a\0b", 3), std::string("a\0c", 3)}}) {
    EXPECT_FALSE(TokenMatches(expected, given)) << expected << " / " << given;
  }
}

TEST(FailedTokens, EachFailureDoublesTheWaitUpToTheMostPerAddress) {
  FailedTokens state;
  EXPECT_EQ(TokenWaitLeft(state, At(0)), Duration::zero());
  int now_ms = 0;
  for (const int wait_ms : {250, 500, 1000, 2000, 4000, 8000, 16000, 30000, 30000}) {
    OnTokenFailed(state, At(now_ms));
    EXPECT_EQ(TokenWaitLeft(state, At(now_ms)), milliseconds(wait_ms));
    EXPECT_EQ(TokenWaitLeft(state, At(now_ms + wait_ms)), Duration::zero());
    now_ms += wait_ms;
  }
  FailedTokensByAddress table(2);
  OnTokenFailed(table.For("10.0.0.1", At(0)), At(0));
  table.For("10.0.0.2", At(0));
  table.For("10.0.0.3", At(100));  // full: a newcomer cannot wash out a wait that still runs
  EXPECT_GT(TokenWaitLeft(table.For("10.0.0.1", At(100)), At(100)), Duration::zero());
  table.Forget("10.0.0.1");
  EXPECT_EQ(TokenWaitLeft(table.For("10.0.0.1", At(100)), At(100)), Duration::zero());
}

TEST(MessageBudget, BurstThenRateThenFlooding) {
  const BudgetPolicy policy{3, 10, 5};
  MessageBudget budget;
  const auto spend = [&](int ms, int times, BudgetVerdict verdict) {
    for (int i = 0; i < times; ++i) EXPECT_EQ(SpendMessage(budget, At(ms), policy), verdict) << ms;
  };
  spend(0, 3, BudgetVerdict::kAllowed);
  spend(0, 1, BudgetVerdict::kRefused);
  spend(100, 1, BudgetVerdict::kAllowed);  // 10 a second
  spend(100, 4, BudgetVerdict::kRefused);
  spend(100, 1, BudgetVerdict::kFlooding);
}

struct HostCase {
  const char* name;
  const char* host;
  const char* origin;  // nullptr: none
  bool host_ok, origin_ok;
};
void PrintTo(const HostCase& c, std::ostream* os) { *os << c.name; }
class Hosts : public ::testing::TestWithParam<HostCase> {};
TEST_P(Hosts, OnlyThisMachinesNamesAndItsOwnPage) {
  const HostPolicy policy{{"localhost", "127.0.0.1", "[::1]", "192.168.1.5", "cockpit"},
                          {"http://dev.example:3000"}};
  const HostCase& c = GetParam();
  EXPECT_EQ(HostAllowed(policy, c.host), c.host_ok);
  const std::string origin = c.origin ? c.origin : "";
  EXPECT_EQ(OriginAllowed(policy, c.origin ? &origin : nullptr, c.host), c.origin_ok);
}
// clang-format off
INSTANTIATE_TEST_SUITE_P(Policy, Hosts, ::testing::Values(
    HostCase{"loopback_own_page", "127.0.0.1:8047", "http://127.0.0.1:8047", true, true},
    HostCase{"host_name_any_case", "Cockpit.:8047", "http://cockpit.:8047", true, true},
    HostCase{"v6_loopback_without_port", "[::1]", "http://[::1]", true, true},
    HostCase{"rebound_name", "evil.example:8047", "http://evil.example:8047", false, false},
    HostCase{"other_port_origin", "127.0.0.1:8047", "http://127.0.0.1:1", true, false},
    HostCase{"https_origin", "127.0.0.1:8047", "https://127.0.0.1:8047", true, false},
    HostCase{"allowed_origin", "192.168.1.5:8047", "http://dev.example:3000", true, true},
    HostCase{"empty_host", "", nullptr, false, true},
    HostCase{"suffix_is_not_the_name", "127.0.0.1.evil.example", nullptr, false, true}), kName);
// clang-format on

}  // namespace
}  // namespace skyhelm::relay
