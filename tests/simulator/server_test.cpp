// The server with real loopback clients speaking SimConnect's protocol from the test.
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

using test_support::RawClient;
using Words = std::vector<std::uint32_t>;
constexpr std::uint32_t kData = SIMCONNECT_RECV_ID_SIMOBJECT_DATA;
constexpr std::uint32_t kInt32 = SIMCONNECT_DATATYPE_INT32;
constexpr std::uint32_t kText = SIMCONNECT_DATATYPE_STRING256;

// The default aircraft, frozen, served on a free loopback port from its own thread.
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

  std::unique_ptr<Server> server_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// The exception names the request's send id and the index of the offending parameter, in the
// client's own protocol version; the client stays connected.
TEST_F(ServerTest, RefusedRequestsAnswerWithAnExceptionAndKeepTheClient) {
  Start();
  RawClient client(server_->port());
  client.Open("Request Data", 5);
  const auto refused = [&](std::uint32_t send_id, SIMCONNECT_EXCEPTION exception,
                           std::uint32_t index) {
    EXPECT_EQ(client.Next(SIMCONNECT_RECV_ID_EXCEPTION).words(5),
              (Words{5, SIMCONNECT_RECV_ID_EXCEPTION, exception, send_id, index}));
  };
  const auto unknown_name = SIMCONNECT_EXCEPTION_NAME_UNRECOGNIZED;
  const auto bad_type = SIMCONNECT_EXCEPTION_INVALID_DATA_TYPE;
  const auto unrecognized = SIMCONNECT_EXCEPTION_UNRECOGNIZED_ID;
  refused(client.Add(1, "Plane Wobble", "feet", kInt32), unknown_name, 2);
  refused(client.Add(1, "Plane Altitude", "knots", kInt32), unknown_name, 3);
  refused(client.Add(1, "Plane Altitude", "feet", SIMCONNECT_DATATYPE_XYZ), bad_type, 4);
  refused(client.Add(1, "Title", nullptr, kInt32), bad_type, 4);
  refused(client.Map(1, "EJECT_PILOT"), unknown_name, 2);
  refused(client.RequestData(0, 42, SIMCONNECT_PERIOD_SIM_FRAME), unrecognized, 2);
  client.Add(5, "Plane Altitude", "feet", kInt32);
  refused(client.RequestData(0, 5, SIMCONNECT_PERIOD_SIM_FRAME, 17), unrecognized, 3);
  refused(client.Send(wire::EncodeTransmitClientEvent, {0, 99}), unrecognized, 2);
  client.Map(4, "AP_MASTER");
  refused(client.Open("again", 5), SIMCONNECT_EXCEPTION_ILLEGAL_OPERATION, 0);
  refused(client.Map(4, "GEAR_SET"), SIMCONNECT_EXCEPTION_EVENT_ID_DUPLICATE, 1);
  client.SendBytes(
      {16, 0, 0, 0, 5, 0, 0, 0, 5, 0, 0, 0xF0, 77, 0, 0, 0});  // a bare TransmitClientEvent
  refused(77, SIMCONNECT_EXCEPTION_SIZE_MISMATCH, 0);
  // A definition is refused at the entry that overflows a message, and served as far as it fits.
  const std::size_t fits = wire::kMaxDataBlockBytes / wire::kTextBytes;
  for (std::size_t i = 0; i < fits; ++i) client.Add(2, "Title", nullptr, kText);
  refused(client.Add(2, "Title", nullptr, kText), SIMCONNECT_EXCEPTION_INVALID_DATA_SIZE, 4);
  client.RequestData(1, 2, SIMCONNECT_PERIOD_ONCE);
  const auto data = client.Next(kData);
  EXPECT_EQ(std::make_pair(data.words(3), data.block_size()),
            std::make_pair(Words{5, kData, 1}, fits * wire::kTextBytes));
}

// Broken framing, a request before the open and a wrong protocol version each close that one
// connection. The good client keeps its frames.
TEST_F(ServerTest, BadClientsAreDroppedAloneWhileOthersKeepReceiving) {
  Start();
  RawClient good(server_->port());
  good.SubscribeLikeTheBridge();
  ASSERT_TRUE(good.Next(kData));
  for (const std::vector<std::uint8_t>& bytes : std::vector<std::vector<std::uint8_t>>{
           {0xFF, 0xFF, 0xFF, 0x7F},                                // size beyond the limit
           {0x02, 0x00, 0x00, 0x00},                                // size below a header
           {0x0F, 0, 0, 0, 4, 0, 0, 0, 5, 0, 0, 0xF0, 1, 0, 0}}) {  // one byte short of a header
    RawClient bad(server_->port());
    bad.Open();
    bad.SendBytes(bytes);
    EXPECT_TRUE(bad.WaitClosed());
  }
  RawClient early(server_->port());
  early.Map(1, "EJECT_PILOT");  // a session would refuse it; before the open nothing answers
  EXPECT_FALSE(early.Next());
  EXPECT_TRUE(early.WaitClosed());
  RawClient old(server_->port());
  const std::uint32_t send_id = old.Open("old", 99);
  EXPECT_EQ(old.Next().words(4), (Words{99, SIMCONNECT_RECV_ID_EXCEPTION,
                                        SIMCONNECT_EXCEPTION_VERSION_MISMATCH, send_id}));
  EXPECT_TRUE(old.WaitClosed());
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(good.Next(kData));
}

// A client that reads nothing, asks for 51 KB every frame and streams requests that each draw an
// exception (never dropped): the server stops reading it, its queue stays bounded and whole, and
// the others keep their frames.
TEST_F(ServerTest, StalledClientIsBoundedKeepsAWholeStreamAndStallsNoOne) {
  ServerOptions options;
  options.rate_hz = 1000.0;
  options.outbox_limit_bytes = 64 * 1024;
  Start(options);
  // Both fill definition 0, each with its own entries: definitions belong to a client.
  RawClient slow(server_->port(), 4096);
  slow.Open();
  for (int i = 0; i < 200; ++i) slow.Add(kTelemetryDefinition, "Title", nullptr, kText);
  slow.RequestData(1, kTelemetryDefinition, SIMCONNECT_PERIOD_SIM_FRAME);
  RawClient fast(server_->port());
  fast.SubscribeLikeTheBridge();
  const auto fast_keeps_up = [&](std::uint64_t frames) {
    for (const auto until = server_->stats().frames.load() + frames;
         server_->stats().frames.load() < until;) {
      if (fast.Next(kData).block_size() != kTelemetryRecordBytes) return false;
    }
    return true;
  };
  // Transmits of an unmapped event: 36 bytes that draw 24, so that a server still reading passes
  // the bound within a few reads, and one that stopped reading stays under it.
  std::vector<std::uint8_t> refused;
  for (int i = 0; i < 1024; ++i) {
    wire::EncodeTransmitClientEvent(
        {0, 99, 0, SIMCONNECT_GROUP_PRIORITY_STANDARD, SIMCONNECT_EVENT_FLAG_GROUPID_IS_PRIORITY},
        wire::kDefaultProtocol, 0, refused);
  }
  const std::size_t bound = options.outbox_limit_bytes + wire::kMaxMessageBytes;
  // Until the bound is passed, or the socket has taken nothing over 200 frames: each of those
  // polled it, and a server reading it would have made room.
  for (std::size_t idle = 0, sent = 0; idle < 200 && server_->stats().peak_outbox_bytes <= bound;) {
    const std::size_t at = sent % (refused.size() / 1024);
    const std::size_t n = slow.SendNow(refused.data() + at, refused.size() - at);
    sent += n;
    idle = n > 0 ? 0 : idle + 1;
    ASSERT_TRUE(n > 0 || fast_keeps_up(1));
  }
  ASSERT_LE(server_->stats().peak_outbox_bytes.load(), bound);
  ASSERT_TRUE(fast_keeps_up(100));
  EXPECT_GT(server_->stats().dropped_data_messages.load(), 0u);
  // Only whole data messages were dropped: the open comes first, then whole records.
  ASSERT_EQ(slow.Next().id(), static_cast<std::uint32_t>(SIMCONNECT_RECV_ID_OPEN));
  for (int i = 0; i < 50; ++i) ASSERT_EQ(slow.Next(kData).block_size(), 200 * wire::kTextBytes);
}

}  // namespace
}  // namespace skyhelm::simulator
