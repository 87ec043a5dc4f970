// The relay's decisions as plain functions: pacing, subscribers, the claim policy, its JSON.
#include "tools/relay/relay_logic.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "tools/relay/relay_json.h"
#include "tests/support/test_names.h"

namespace skyhelm::relay {
namespace {

using std::chrono::milliseconds;

const TimePoint kT0 = TimePoint{} + std::chrono::hours(1);
TimePoint At(int ms) { return kT0 + milliseconds(ms); }

struct DeliveryCase {
  const char* name;
  std::uint64_t sent_seq;  // 0: nothing sent yet
  int sent_at_ms;
  std::uint64_t line_seq;
  int now_ms;
  int heartbeat_ms;  // 0: never
  bool send_now;
  int retry_at_ms;  // -1: no retry
};

void PrintTo(const DeliveryCase& c, std::ostream* os) { *os << c.name; }

class Delivery : public ::testing::TestWithParam<DeliveryCase> {};

TEST_P(Delivery, NewestLineAtMostOncePerInterval) {
  const DeliveryCase& c = GetParam();
  const DeliveryPace pace{milliseconds(33), milliseconds(c.heartbeat_ms)};
  const DeliveryDecision d =
      DecideDelivery({c.sent_seq, At(c.sent_at_ms)}, c.line_seq, At(c.now_ms), pace);
  EXPECT_EQ(d.send_now, c.send_now);
  EXPECT_EQ(d.retry_at, c.retry_at_ms < 0 ? TimePoint{} : At(c.retry_at_ms));
}

INSTANTIATE_TEST_SUITE_P(
    Pace, Delivery,
    ::testing::Values(
        DeliveryCase{"no_line_yet", 0, 0, 0, 0, 1000, false, -1},
        DeliveryCase{"first_line_at_once", 0, 0, 1, 5, 1000, true, -1},
        DeliveryCase{"new_line_after_interval", 1, 0, 2, 33, 1000, true, -1},
        DeliveryCase{"new_line_too_soon_waits", 1, 0, 2, 10, 1000, false, 33},
        DeliveryCase{"skipped_lines_do_not_queue", 1, 0, 9, 20, 1000, false, 33},
        DeliveryCase{"same_line_waits_for_heartbeat", 4, 0, 4, 500, 1000, false, 1000},
        DeliveryCase{"same_line_repeated_on_heartbeat", 4, 0, 4, 1000, 1000, true, -1},
        DeliveryCase{"same_line_never_without_heartbeat", 4, 0, 4, 9000, 0, false, -1}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(SubscriberTable, AnyDatagramSubscribesRefreshesAndSilenceExpires) {
  SubscriberTable table(2);
  ASSERT_NE(table.Heard(1, 10, At(0)), nullptr);
  ASSERT_NE(table.Heard(1, 11, At(0)), nullptr);  // same host, other port: another subscriber
  EXPECT_EQ(table.Heard(2, 10, At(0)), nullptr);  // full
  table.items()[0].delivery.line_seq = 7;
  Subscriber* again = table.Heard(1, 10, At(900));  // refresh keeps what it was sent
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(again->delivery.line_seq, 7u);
  EXPECT_EQ(table.size(), 2u);
  EXPECT_EQ(table.Expire(At(1000), milliseconds(1000)), 0u);  // exactly the limit stays
  EXPECT_EQ(table.Expire(At(1001), milliseconds(1000)), 1u);  // 1:11 silent since 0
  ASSERT_EQ(table.size(), 1u);
  EXPECT_EQ(table.items()[0].port, 10);
  EXPECT_NE(table.Heard(2, 10, At(1001)), nullptr);  // room again
}

// One step of a claim scenario: at `ms`, something happens, then the policy ticks.
enum class Event { kNothing, kDatagram, kRefused };
struct Step {
  int ms;
  Event event;
  bool claims;
  BridgeState state;
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
    if (step.event == Event::kDatagram) OnBridgeDatagram(up, At(step.ms));
    if (step.event == Event::kRefused) OnBridgeRefused(up);
    EXPECT_EQ(TickClaim(up, At(step.ms), policy), step.claims) << "at " << step.ms << " ms";
    EXPECT_EQ(up.state, step.state) << "at " << step.ms << " ms";
  }
  EXPECT_EQ(up.takeovers, GetParam().takeovers);
}

using E = Event;
using S = BridgeState;
INSTANTIATE_TEST_SUITE_P(Policy, Claim,
                         ::testing::Values(ClaimCase{"live_bridge_is_claimed_once",
                                                     {{0, E::kNothing, true, S::kWaiting},
                                                      {100, E::kDatagram, false, S::kLive},
                                                      {5000, E::kDatagram, false, S::kLive}},
                                                     0},
                                           ClaimCase{"no_bridge_yet_backs_off_to_the_maximum",
                                                     {{0, E::kNothing, true, S::kWaiting},
                                                      {400, E::kNothing, false, S::kWaiting},
                                                      {500, E::kNothing, true, S::kWaiting},
                                                      {1400, E::kNothing, false, S::kWaiting},
                                                      {1500, E::kNothing, true, S::kWaiting},
                                                      {3500, E::kNothing, true, S::kWaiting},
                                                      {5000, E::kNothing, false, S::kWaiting},
                                                      {5500, E::kNothing, true, S::kWaiting}},
                                                     0},
                                           ClaimCase{"takeover_is_reclaimed_and_counted",
                                                     {{0, E::kNothing, true, S::kWaiting},
                                                      {10, E::kDatagram, false, S::kLive},
                                                      {510, E::kNothing, false, S::kLive},
                                                      {600, E::kNothing, true, S::kSilent},
                                                      {1010, E::kNothing, false, S::kSilent},
                                                      {1020, E::kDatagram, false, S::kLive}},
                                                     1},
                                           ClaimCase{"stopped_bridge_is_unreachable_not_a_takeover",
                                                     {{0, E::kNothing, true, S::kWaiting},
                                                      {10, E::kDatagram, false, S::kLive},
                                                      {1010, E::kNothing, true, S::kSilent},
                                                      {1020, E::kRefused, false, S::kUnreachable},
                                                      {2010, E::kNothing, true, S::kUnreachable},
                                                      {2100, E::kDatagram, false, S::kLive}},
                                                     0}),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

struct MessageCase {
  const char* json;
  bool ok;
  const char* text_or_error;
  const char* id_json;
  const char* token;  // nullptr: none
};

void PrintTo(const MessageCase& c, std::ostream* os) {
  *os << ::testing::PrintToString(std::string(c.json).substr(0, 60));
}

class Message : public ::testing::TestWithParam<MessageCase> {};

TEST_P(Message, ParsesOnlyFlatCommandObjects) {
  const MessageCase& c = GetParam();
  std::string error;
  const auto message = ParseCommandMessage(c.json, error);
  ASSERT_EQ(message.has_value(), c.ok) << error;
  if (!c.ok) {
    EXPECT_NE(error.find(c.text_or_error), std::string::npos) << error;
    return;
  }
  EXPECT_EQ(message->text, c.text_or_error);
  EXPECT_EQ(message->id_json, c.id_json);
  EXPECT_EQ(message->token.has_value(), c.token != nullptr);
  if (c.token) {
    EXPECT_EQ(*message->token, c.token);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Json, Message,
    ::testing::Values(
        MessageCase{R"({"type":"command","text":"h270"})", true, "h270", "null", nullptr},
        MessageCase{R"( { "id" : 7 , "type":"command", "text":"v-500", "token":"s3" } )", true,
                    "v-500", "7", "s3"},
        MessageCase{R"({"type":"command","text":"a\"b\u0041\n","id":"x\"y"})", true, "a\"bA\n",
                    R"("x\"y")", nullptr},
        MessageCase{R"({"type":"command","text":"E","extra":true})", true, "E", "null", nullptr},
        MessageCase{R"({"type":"hello","text":"E"})", false, "type must be", "", nullptr},
        MessageCase{R"({"type":"command"})", false, "needs", "", nullptr},
        MessageCase{R"({"type":"command","text":"E"} x)", false, "not a JSON", "", nullptr},
        MessageCase{R"({"type":"command","text":"\u00e9"})", false, "not a JSON", "", nullptr},
        MessageCase{R"({"type":"command","text":{"a":1}})", false, "not a JSON", "", nullptr},
        MessageCase{R"({"type":"command","text":"E)", false, "not a JSON", "", nullptr},
        MessageCase{"[1]", false, "not a JSON", "", nullptr}),
    [](const auto& test) {
      return std::to_string(test.index) + "_" + test_support::TestName(test.param.text_or_error);
    });

TEST(RelayJson, TelemetryNamesEveryFieldWithItsUnitAndNullsNonNumbers) {
  peer::TelemetryValues values;
  for (std::size_t i = 0; i < kTelemetryFieldCount; ++i) {
    values.texts[i] = "1";
    values.numbers[i] = 1;
  }
  values.texts[3] = "nan";
  values.numbers[3] = std::nan("");
  const std::string json = TelemetryJson(values, 42);
  EXPECT_EQ(
      json.rfind(
          R"({"type":"telemetry","seq":42,"fields":{"ground_speed":{"value":1,"unit":"kt"},)", 0),
      0u)
      << json;
  EXPECT_NE(json.find(R"("bank":{"value":null,"unit":"deg"})"), std::string::npos) << json;
  EXPECT_NE(json.find(R"("gear_position":{"value":1,"unit":"0..1"}}})"), std::string::npos) << json;
  EXPECT_EQ(JsonString("a\"\\\x01\xc3"), R"("a\"\\\u0001\u00c3")");
}

}  // namespace
}  // namespace skyhelm::relay
