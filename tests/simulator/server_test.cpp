// The server with real loopback clients speaking the byte protocol from the test.
#include "simulator/server.h"

#include <gtest/gtest.h>

#include <SimConnect.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

#include "sim/client_events.h"
#include "sim/telemetry_schema.h"
#include "tests/simulator/raw_client.h"

namespace skyhelm::simulator {
namespace {

using testing::Message;
using testing::RawClient;
constexpr std::uint32_t kData = SIMCONNECT_RECV_ID_SIMOBJECT_DATA;
constexpr std::uint32_t kException = SIMCONNECT_RECV_ID_EXCEPTION;
constexpr std::uint32_t kOpen = SIMCONNECT_RECV_ID_OPEN;
constexpr std::uint32_t kInt32 = SIMCONNECT_DATATYPE_INT32;
constexpr std::uint32_t kText = SIMCONNECT_DATATYPE_STRING256;

// Runs a Server with a frozen aircraft on a free loopback port on its own thread, keeping its
// output and diagnostic lines.
class ServerTest : public ::testing::Test {
 protected:
  void Start(ServerOptions options = {}) {
    options.port = 0;
    World world;
    world.frozen = true;
    const auto keep = [this](std::vector<std::string>& lines) {
      return [this, &lines](const std::string& line) {
        std::lock_guard<std::mutex> lock(mutex_);
        lines.push_back(line);
      };
    };
    server_ = std::make_unique<Server>(options, world, ServerLog{keep(out_), keep(err_)});
    std::string error;
    ASSERT_TRUE(server_->Listen(error)) << error;
    thread_ = std::thread([this] { server_->Run(stop_); });
  }
  void TearDown() override {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  std::vector<std::string> Lines(const std::vector<std::string>& lines) {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines;
  }
  std::uint16_t port() const { return server_->port(); }

  std::unique_ptr<Server> server_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::mutex mutex_;
  std::vector<std::string> out_, err_;
};

// The bridge's subscription and a second client with its own definition under the same id.
TEST_F(ServerTest, ServesEachClientItsOwnDefinitionAndAppliesEventsInOrder) {
  Start();
  RawClient bridge(port());
  bridge.SubscribeLikeTheBridge();
  ASSERT_EQ(bridge.Next().value().id(), kOpen);
  // The first message after the open is data: nothing of the 34 requests was refused.
  const auto data = bridge.Next();
  ASSERT_TRUE(data && data->id() == kData);
  ASSERT_EQ(data->block_size(), kTelemetryRecordBytes);
  // Request, object (the user aircraft), definition, flags, entry number, out of, define count.
  const std::uint32_t header[] = {kTelemetryRequest, 0, kTelemetryDefinition, 0, 1, 1, 1};
  for (std::size_t n = 0; n < 7; ++n) EXPECT_EQ(data->field(n), header[n]) << n;
  EXPECT_STREQ(data->TextAt(0), "Skyhelm Trainer");
  EXPECT_EQ(data->At<std::int32_t>(256), 120);  // knots
  EXPECT_EQ(data->At<std::int32_t>(260), 3000);
  EXPECT_EQ(data->At<std::int32_t>(332), 90);  // true heading
  EXPECT_FLOAT_EQ(data->At<float>(324), 47.45f);

  RawClient other(port());
  other.Open("B");
  other.Add(kTelemetryDefinition, "Plane Altitude", "meters", SIMCONNECT_DATATYPE_FLOAT64);
  other.Add(kTelemetryDefinition, "PLANE HEADING DEGREES TRUE", "radians",
            SIMCONNECT_DATATYPE_FLOAT32);
  other.RequestData(9, kTelemetryDefinition, SIMCONNECT_PERIOD_VISUAL_FRAME);
  const auto own = other.Next(kData);
  ASSERT_TRUE(own);
  ASSERT_EQ(own->block_size(), 12u);
  EXPECT_EQ(own->field(0), 9u);
  EXPECT_DOUBLE_EQ(own->At<double>(0), 3000 * 0.3048);
  EXPECT_FLOAT_EQ(own->At<float>(8), static_cast<float>(3.14159265358979323846 / 2));

  bridge.Transmit(kHeadingBugSet, 270);
  bridge.Transmit(kVerticalSpeedVarSet, static_cast<std::uint32_t>(-500));
  bridge.Transmit(kGearSet, 1);
  bridge.Transmit(kAutopilotMaster, 0);  // a button: switches the autopilot on
  // Requests are handled in order, so data produced after the last one shows every effect.
  std::optional<Message> later;
  for (int i = 0; i < 600 && (!later || later->At<std::int32_t>(304) != 1); ++i) {
    ASSERT_TRUE(later = bridge.Next(kData));
  }
  ASSERT_EQ(later->At<std::int32_t>(304), 1);
  EXPECT_EQ(later->At<std::int32_t>(280), 270);
  EXPECT_EQ(later->At<std::int32_t>(308), -500);
  EXPECT_EQ(later->At<float>(336), 1.0f);  // frozen: the gear is down at once
  const std::vector<std::string> expected = {"client 1 connected \"Request Data\"",
                                             "client 2 connected \"B\"",
                                             "event HEADING_BUG_SET 270",
                                             "event AP_VS_VAR_SET_ENGLISH -500",
                                             "event GEAR_SET 1",
                                             "event AP_MASTER 0"};
  EXPECT_EQ(Lines(out_), expected);
}

struct AddRefusal {
  const char* datum;
  const char* units;
  std::uint32_t type;
  SIMCONNECT_EXCEPTION exception;
  std::uint32_t index;  // of the offending parameter
};

TEST_F(ServerTest, RefusedRequestsAnswerWithAnExceptionAndKeepTheClient) {
  Start();
  RawClient client(port());
  client.Open();
  const auto expect_exception = [&](std::uint32_t send_id, SIMCONNECT_EXCEPTION exception,
                                    std::uint32_t index) {
    const auto message = client.Next(kException);
    ASSERT_TRUE(message);
    EXPECT_EQ(message->field(0), static_cast<std::uint32_t>(exception));
    EXPECT_EQ(message->field(1), send_id);
    EXPECT_EQ(message->field(2), index);
  };
  const AddRefusal refusals[] = {
      {"Plane Wobble", "feet", kInt32, SIMCONNECT_EXCEPTION_NAME_UNRECOGNIZED, 2},
      {"Plane Altitude", "furlongs", kInt32, SIMCONNECT_EXCEPTION_NAME_UNRECOGNIZED, 3},
      {"Plane Altitude", "feet ", kInt32, SIMCONNECT_EXCEPTION_NAME_UNRECOGNIZED, 3},
      {"Plane Altitude", "knots", kInt32, SIMCONNECT_EXCEPTION_NAME_UNRECOGNIZED, 3},
      {"Plane Altitude", "feet", SIMCONNECT_DATATYPE_XYZ, SIMCONNECT_EXCEPTION_INVALID_DATA_TYPE,
       4},
      {"Title", nullptr, kInt32, SIMCONNECT_EXCEPTION_INVALID_DATA_TYPE, 4},
  };
  for (const AddRefusal& r : refusals) {
    SCOPED_TRACE(std::string(r.datum) + " in " + (r.units ? r.units : "(none)"));
    expect_exception(client.Add(1, r.datum, r.units, r.type), r.exception, r.index);
  }
  const auto unrecognized = SIMCONNECT_EXCEPTION_UNRECOGNIZED_ID;
  expect_exception(client.Map(1, "EJECT_PILOT"), SIMCONNECT_EXCEPTION_NAME_UNRECOGNIZED, 2);
  expect_exception(client.RequestData(0, 42, SIMCONNECT_PERIOD_SIM_FRAME), unrecognized, 2);
  client.Add(5, "Plane Altitude", "feet", kInt32);
  expect_exception(client.RequestData(0, 5, SIMCONNECT_PERIOD_SIM_FRAME, 17), unrecognized, 3);
  expect_exception(client.Transmit(99, 1), unrecognized, 2);
  client.Map(4, "AP_MASTER");
  expect_exception(client.Map(4, "GEAR_SET"), SIMCONNECT_EXCEPTION_EVENT_ID_DUPLICATE, 1);
  // A definition whose block would overflow one message is refused at the entry that overflows.
  const std::size_t fits = wire::kMaxDataBlockBytes / wire::kTextBytes;
  for (std::size_t i = 0; i < fits; ++i) client.Add(2, "Title", nullptr, kText);
  expect_exception(client.Add(2, "Title", nullptr, kText), SIMCONNECT_EXCEPTION_INVALID_DATA_SIZE,
                   4);
  // Still served, with the definition as far as it fitted.
  client.RequestData(1, 2, SIMCONNECT_PERIOD_ONCE);
  const auto data = client.Next(kData);
  ASSERT_TRUE(data);
  EXPECT_EQ(data->block_size(), fits * wire::kTextBytes);
  EXPECT_LE(data->bytes.size(), wire::kMaxMessageBytes);
}

TEST_F(ServerTest, OnceSendsOneMessageAndNeverCancels) {
  Start();
  RawClient client(port());
  client.Open();
  client.Add(1, "Plane Altitude", "feet", kInt32);
  client.RequestData(1, 1, SIMCONNECT_PERIOD_ONCE);
  client.RequestData(2, 1, SIMCONNECT_PERIOD_SIM_FRAME);
  client.RequestData(2, 1, SIMCONNECT_PERIOD_NEVER);
  client.RequestData(3, 1, SIMCONNECT_PERIOD_ONCE);
  // Due requests go in request-id order and 3 came last: nothing of 1 or 2 can follow its data.
  std::size_t count[3] = {};
  std::optional<Message> m;
  while ((m = client.Next(kData)) && m->field(0) != 3) {
    ASSERT_LT(m->field(0), 3u);
    ++count[m->field(0)];
  }
  ASSERT_TRUE(m);
  EXPECT_EQ(count[1], 1u);
  EXPECT_LE(count[2], 1u);  // at most one frame before the cancel
}

// Broken framing, a request before the open and a wrong protocol version each close that one
// connection; so does a connection beyond the client limit. The good client keeps its frames.
TEST_F(ServerTest, BadClientsAreDroppedAloneWhileOthersKeepReceiving) {
  ServerOptions options;
  options.max_clients = 2;
  Start(options);
  RawClient good(port());
  good.SubscribeLikeTheBridge();
  ASSERT_TRUE(good.Next(kData));
  const std::vector<std::vector<std::uint8_t>> garbage = {
      {0xFF, 0xFF, 0xFF, 0x7F},                                // size beyond the limit
      {0x02, 0x00, 0x00, 0x00},                                // size below a header
      {0x10, 0, 0, 0, 0x63, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0},  // unknown request type
  };
  for (const auto& bytes : garbage) {
    RawClient bad(port());
    bad.Open();
    bad.SendBytes(bytes);
    EXPECT_TRUE(bad.WaitClosed());
  }
  EXPECT_EQ(Lines(err_).size(), garbage.size());  // one diagnostic line per drop
  RawClient early(port());
  early.Add(0, "Title", nullptr, kText);
  EXPECT_TRUE(early.WaitClosed());
  RawClient old(port());
  const std::uint32_t send_id = old.Open("old", 99);
  const auto refusal = old.Next();
  ASSERT_TRUE(refusal && refusal->id() == kException);
  EXPECT_EQ(refusal->field(0), static_cast<std::uint32_t>(SIMCONNECT_EXCEPTION_VERSION_MISMATCH));
  EXPECT_EQ(refusal->field(1), send_id);
  EXPECT_TRUE(old.WaitClosed());
  RawClient second(port());
  second.Open();
  ASSERT_TRUE(second.Next(kOpen));
  RawClient third(port());
  third.Open();
  EXPECT_TRUE(third.WaitClosed());
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(good.Next(kData));
}

TEST_F(ServerTest, SlowReaderHasABoundedQueueAnIntactStreamAndDoesNotStallOthers) {
  ServerOptions options;
  options.rate_hz = 1000.0;
  options.outbox_limit_bytes = 64 * 1024;
  Start(options);
  RawClient slow(port(), 4096);
  slow.SubscribeLikeTheBridge();  // then reads nothing for a while
  // A 51 KB block every frame outruns any kernel socket buffer within a few hundred frames.
  for (int i = 0; i < 200; ++i) slow.Add(1, "Title", nullptr, kText);
  slow.RequestData(1, 1, SIMCONNECT_PERIOD_SIM_FRAME);
  RawClient fast(port());
  fast.SubscribeLikeTheBridge();
  const std::uint64_t until = server_->stats().frames.load() + 1000;
  while (server_->stats().frames.load() < until) ASSERT_TRUE(fast.Next(kData));
  EXPECT_LE(server_->stats().peak_outbox_bytes.load(),
            options.outbox_limit_bytes + wire::kMaxMessageBytes);
  EXPECT_GT(server_->stats().dropped_data_messages.load(), 0u);
  // Only whole data messages were dropped: the open comes first, then whole records.
  ASSERT_EQ(slow.Next().value().id(), kOpen);
  for (int i = 0; i < 50; ++i) {
    const auto data = slow.Next();
    ASSERT_TRUE(data && data->id() == kData);
    ASSERT_EQ(data->block_size(),
              data->field(0) == 1 ? 200 * wire::kTextBytes : kTelemetryRecordBytes);
  }
}

}  // namespace
}  // namespace skyhelm::simulator
