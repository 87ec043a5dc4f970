// The server with real loopback clients speaking the byte protocol from the test.
#include "simulator/server.h"

#include <gtest/gtest.h>

#include <SimConnect.h>

#include <atomic>
#include <memory>
#include <thread>

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

// Runs a Server with the default aircraft, frozen, on a free loopback port on its own thread.
class ServerTest : public ::testing::Test {
 protected:
  void Start(ServerOptions options = {}) {
    options.port = 0;
    World world;
    world.frozen = true;
    server_ = std::make_unique<Server>(options, world, ServerLog{});
    std::string error;
    ASSERT_TRUE(server_->Listen(error)) << error;
    thread_ = std::thread([this] { server_->Run(stop_); });
  }
  void TearDown() override {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  std::uint16_t port() const { return server_->port(); }

  std::unique_ptr<Server> server_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

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

  // Still served, with the definition as far as it fitted. ONCE sends one message and NEVER
  // cancels; due requests go in request-id order, so nothing of 1 or 2 can follow 3's data.
  client.RequestData(1, 2, SIMCONNECT_PERIOD_ONCE);
  client.RequestData(2, 5, SIMCONNECT_PERIOD_SIM_FRAME);
  client.RequestData(2, 5, SIMCONNECT_PERIOD_NEVER);
  client.RequestData(3, 5, SIMCONNECT_PERIOD_ONCE);
  std::size_t count[3] = {};
  std::optional<Message> m;
  while ((m = client.Next(kData)) && m->field(0) != 3) {
    ASSERT_LT(m->field(0), 3u);
    ++count[m->field(0)];
    if (m->field(0) == 1) {
      EXPECT_EQ(m->block_size(), fits * wire::kTextBytes);
    }
    EXPECT_LE(m->bytes.size(), wire::kMaxMessageBytes);
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
