// The server with real loopback clients speaking the byte protocol from the test.
#include "simulator/server.h"

#include <gtest/gtest.h>

#include <SimConnect.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "sim/client_events.h"
#include "sim/telemetry_schema.h"
#include "tests/simulator/raw_client.h"

namespace skyhelm::simulator {
namespace {

using std::chrono::milliseconds;
using testing::Message;
using testing::RawClient;

// Runs a Server on a free loopback port on its own thread for the length of a test.
class ServerTest : public ::testing::Test {
 protected:
  void StartServer(ServerOptions options = {}, World world = FrozenWorld()) {
    options.port = 0;
    if (options.rate_hz == 60.0) options.rate_hz = 200.0;
    server_ = std::make_unique<Server>(options, world, Log());
    std::string error;
    ASSERT_TRUE(server_->Listen(error)) << error;
    thread_ = std::thread([this] { server_->Run(stop_); });
  }
  void TearDown() override { StopServer(); }
  void StopServer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  static World FrozenWorld() {
    World world;
    world.frozen = true;
    return world;
  }
  ServerLog Log() {
    return {[this](const std::string& line) { Record(out_, line); },
            [this](const std::string& line) { Record(err_, line); }};
  }
  void Record(std::vector<std::string>& lines, const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex_);
    lines.push_back(line);
  }
  std::vector<std::string> OutLines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return out_;
  }
  std::vector<std::string> ErrLines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return err_;
  }
  std::uint16_t port() const { return server_->port(); }

  std::unique_ptr<Server> server_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::mutex mutex_;
  std::vector<std::string> out_;
  std::vector<std::string> err_;
};

std::optional<Message> NextData(RawClient& client) {
  return client.NextWithId(SIMCONNECT_RECV_ID_SIMOBJECT_DATA);
}

TEST_F(ServerTest, ServesTheBridgeSubscriptionWithoutExceptions) {
  StartServer();
  RawClient client(port());
  client.SubscribeLikeTheBridge();
  auto open = client.Next();
  ASSERT_TRUE(open);
  EXPECT_EQ(open->id(), static_cast<std::uint32_t>(SIMCONNECT_RECV_ID_OPEN));
  // The first message after the open is data: nothing of the 34 requests was refused.
  auto data = client.Next();
  ASSERT_TRUE(data);
  ASSERT_EQ(data->id(), static_cast<std::uint32_t>(SIMCONNECT_RECV_ID_SIMOBJECT_DATA));
  ASSERT_EQ(data->block_size(), kTelemetryRecordBytes);
  EXPECT_EQ(data->field(0), kTelemetryRequest);  // dwRequestID
  EXPECT_EQ(data->field(1), 0u);                 // dwObjectID: the user aircraft
  EXPECT_EQ(data->field(2), kTelemetryDefinition);
  EXPECT_EQ(data->field(4), 1u);  // dwentrynumber
  EXPECT_EQ(data->field(5), 1u);  // dwoutof
  EXPECT_EQ(data->field(6), 1u);  // dwDefineCount
  EXPECT_STREQ(reinterpret_cast<const char*>(data->block()), "Skyhelm Trainer");
  EXPECT_EQ(testing::BlockInt32(*data, 256), 120);   // knots
  EXPECT_EQ(testing::BlockInt32(*data, 260), 3000);  // feet
  EXPECT_EQ(testing::BlockInt32(*data, 332), 90);    // true heading
  EXPECT_FLOAT_EQ(testing::BlockFloat32(*data, 324), 47.45f);
  // Data keeps coming every frame.
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(NextData(client));
}

TEST_F(ServerTest, EventsChangeTheAircraftAndAreLogged) {
  StartServer();
  RawClient client(port());
  client.SubscribeLikeTheBridge();
  client.Transmit(kHeadingBugSet, 270);
  client.Transmit(kVerticalSpeedVarSet, static_cast<std::uint32_t>(-500));
  client.Transmit(kGearSet, 1);
  client.Transmit(kAutopilotMaster, 0);
  // Requests are handled in order, so data produced after them shows their effect.
  std::optional<Message> data;
  for (int i = 0; i < 200; ++i) {
    data = NextData(client);
    ASSERT_TRUE(data);
    if (testing::BlockInt32(*data, 304) == 1) break;
  }
  EXPECT_EQ(testing::BlockInt32(*data, 280), 270);
  EXPECT_EQ(testing::BlockInt32(*data, 308), -500);
  EXPECT_EQ(testing::BlockFloat32(*data, 336), 1.0f);  // frozen: the gear is down at once
  const auto lines = OutLines();
  const std::vector<std::string> expected = {"event HEADING_BUG_SET 270",
                                             "event AP_VS_VAR_SET_ENGLISH -500", "event GEAR_SET 1",
                                             "event AP_MASTER 0"};
  std::vector<std::string> events;
  for (const auto& line : lines) {
    if (line.rfind("event ", 0) == 0) events.push_back(line);
  }
  EXPECT_EQ(events, expected);
  EXPECT_EQ(lines.front(), "client 1 connected \"Request Data\"");
}

TEST_F(ServerTest, TwoClientsGetTheirOwnDefinitions) {
  StartServer();
  RawClient a(port());
  RawClient b(port());
  a.Open("A");
  a.Add(7, "Plane Altitude", "meters", SIMCONNECT_DATATYPE_FLOAT64);
  a.RequestData(3, 7, SIMCONNECT_PERIOD_SIM_FRAME);
  b.Open("B");
  b.Add(7, "PLANE HEADING DEGREES TRUE", "radians", SIMCONNECT_DATATYPE_FLOAT32);
  b.Add(7, "title", nullptr, SIMCONNECT_DATATYPE_STRING256);
  b.RequestData(9, 7, SIMCONNECT_PERIOD_VISUAL_FRAME);
  const auto data_a = NextData(a);
  const auto data_b = NextData(b);
  ASSERT_TRUE(data_a && data_b);
  ASSERT_EQ(data_a->block_size(), 8u);
  EXPECT_EQ(data_a->field(0), 3u);
  double meters;
  std::memcpy(&meters, data_a->block(), 8);
  EXPECT_DOUBLE_EQ(meters, 3000 * 0.3048);
  ASSERT_EQ(data_b->block_size(), 4u + 256u);
  EXPECT_EQ(data_b->field(0), 9u);
  EXPECT_FLOAT_EQ(testing::BlockFloat32(*data_b, 0),
                  static_cast<float>(3.14159265358979323846 / 2));
  EXPECT_STREQ(reinterpret_cast<const char*>(data_b->block() + 4), "Skyhelm Trainer");
}

struct RefusalCase {
  const char* label;
  std::function<std::uint32_t(RawClient&)> send;  // returns the offending send id
  SIMCONNECT_EXCEPTION exception;
  std::uint32_t index;
};

const RefusalCase kRefusals[] = {
    {"unknown variable",
     [](RawClient& c) { return c.Add(1, "Plane Wobble", "feet", SIMCONNECT_DATATYPE_INT32); },
     SIMCONNECT_EXCEPTION_NAME_UNRECOGNIZED, 2},
    {"unknown unit",
     [](RawClient& c) { return c.Add(1, "Plane Altitude", "furlongs", SIMCONNECT_DATATYPE_INT32); },
     SIMCONNECT_EXCEPTION_NAME_UNRECOGNIZED, 3},
    {"unit of another family",
     [](RawClient& c) { return c.Add(1, "Plane Altitude", "knots", SIMCONNECT_DATATYPE_INT32); },
     SIMCONNECT_EXCEPTION_NAME_UNRECOGNIZED, 3},
    {"unsupported data type",
     [](RawClient& c) { return c.Add(1, "Plane Altitude", "feet", SIMCONNECT_DATATYPE_XYZ); },
     SIMCONNECT_EXCEPTION_INVALID_DATA_TYPE, 4},
    {"text as a number",
     [](RawClient& c) { return c.Add(1, "Title", nullptr, SIMCONNECT_DATATYPE_INT32); },
     SIMCONNECT_EXCEPTION_INVALID_DATA_TYPE, 4},
    {"unknown event name", [](RawClient& c) { return c.Map(1, "EJECT_PILOT"); },
     SIMCONNECT_EXCEPTION_NAME_UNRECOGNIZED, 2},
    {"undefined definition",
     [](RawClient& c) { return c.RequestData(0, 42, SIMCONNECT_PERIOD_SIM_FRAME); },
     SIMCONNECT_EXCEPTION_UNRECOGNIZED_ID, 2},
    {"other object",
     [](RawClient& c) {
       c.Add(5, "Plane Altitude", "feet", SIMCONNECT_DATATYPE_INT32);
       return c.RequestData(0, 5, SIMCONNECT_PERIOD_SIM_FRAME, 17);
     },
     SIMCONNECT_EXCEPTION_UNRECOGNIZED_ID, 3},
    {"unmapped event", [](RawClient& c) { return c.Transmit(99, 1); },
     SIMCONNECT_EXCEPTION_UNRECOGNIZED_ID, 2},
    {"duplicate event id",
     [](RawClient& c) {
       c.Map(4, "AP_MASTER");
       return c.Map(4, "GEAR_SET");
     },
     SIMCONNECT_EXCEPTION_EVENT_ID_DUPLICATE, 1},
};

TEST_F(ServerTest, RefusedRequestsAnswerWithAnExceptionAndKeepTheClient) {
  StartServer();
  RawClient client(port());
  client.Open();
  ASSERT_TRUE(client.NextWithId(SIMCONNECT_RECV_ID_OPEN));
  for (const RefusalCase& c : kRefusals) {
    SCOPED_TRACE(c.label);
    const std::uint32_t send_id = c.send(client);
    const auto message = client.NextWithId(SIMCONNECT_RECV_ID_EXCEPTION);
    ASSERT_TRUE(message);
    EXPECT_EQ(message->field(0), static_cast<std::uint32_t>(c.exception));
    EXPECT_EQ(message->field(1), send_id);
    EXPECT_EQ(message->field(2), c.index);
  }
  // Still served after all that.
  client.Add(8, "Plane Altitude", "feet", SIMCONNECT_DATATYPE_INT32);
  client.RequestData(1, 8, SIMCONNECT_PERIOD_ONCE);
  EXPECT_TRUE(NextData(client));
}

TEST_F(ServerTest, OversizedDefinitionIsRefused) {
  StartServer();
  RawClient client(port());
  client.Open();
  const std::size_t fits = wire::kMaxDataBlockBytes / wire::kTextBytes;
  for (std::size_t i = 0; i < fits; ++i)
    client.Add(1, "Title", nullptr, SIMCONNECT_DATATYPE_STRING256);
  const std::uint32_t too_many = client.Add(1, "Title", nullptr, SIMCONNECT_DATATYPE_STRING256);
  const auto message = client.NextWithId(SIMCONNECT_RECV_ID_EXCEPTION);
  ASSERT_TRUE(message);
  EXPECT_EQ(message->field(1), too_many);
  client.RequestData(1, 1, SIMCONNECT_PERIOD_ONCE);
  const auto data = NextData(client);
  ASSERT_TRUE(data);
  EXPECT_EQ(data->block_size(), fits * wire::kTextBytes);
  EXPECT_LE(data->bytes.size(), wire::kMaxMessageBytes);
}

TEST_F(ServerTest, OnceSendsOneMessageAndNeverCancels) {
  StartServer();
  RawClient client(port());
  client.Open();
  client.Add(1, "Plane Altitude", "feet", SIMCONNECT_DATATYPE_INT32);
  client.RequestData(1, 1, SIMCONNECT_PERIOD_ONCE);
  client.RequestData(2, 1, SIMCONNECT_PERIOD_SIM_FRAME);
  client.RequestData(2, 1, SIMCONNECT_PERIOD_NEVER);
  client.RequestData(3, 1, SIMCONNECT_PERIOD_ONCE);
  std::vector<std::uint32_t> request_ids;
  while (auto message = client.Next(milliseconds(500))) {
    if (message->id() == SIMCONNECT_RECV_ID_SIMOBJECT_DATA)
      request_ids.push_back(message->field(0));
  }
  // Request 2 may have produced nothing or one message before it was cancelled, never more.
  std::size_t ones = 0, twos = 0, threes = 0;
  for (auto id : request_ids) (id == 1 ? ones : id == 2 ? twos : threes)++;
  EXPECT_EQ(ones, 1u);
  EXPECT_EQ(threes, 1u);
  EXPECT_LE(twos, 1u);
}

TEST_F(ServerTest, MalformedClientIsDroppedAloneWhileOthersKeepReceiving) {
  StartServer();
  RawClient good(port());
  good.SubscribeLikeTheBridge();
  ASSERT_TRUE(NextData(good));
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
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(NextData(good));
  EXPECT_EQ(ErrLines().size(), garbage.size());
}

TEST_F(ServerTest, HandshakeFailuresCloseTheConnection) {
  StartServer();
  RawClient early(port());
  early.Add(0, "Title", nullptr, SIMCONNECT_DATATYPE_STRING256);
  EXPECT_TRUE(early.WaitClosed());

  RawClient old(port());
  wire::OpenRequest request;
  request.protocol_version = 99;
  std::vector<std::uint8_t> bytes;
  wire::EncodeOpen(request, 5, bytes);
  old.SendBytes(bytes);
  const auto message = old.Next();
  ASSERT_TRUE(message);
  EXPECT_EQ(message->id(), static_cast<std::uint32_t>(SIMCONNECT_RECV_ID_EXCEPTION));
  EXPECT_EQ(message->field(0), static_cast<std::uint32_t>(SIMCONNECT_EXCEPTION_VERSION_MISMATCH));
  EXPECT_EQ(message->field(1), 5u);
  EXPECT_TRUE(old.WaitClosed());
}

TEST_F(ServerTest, SlowReaderHasBoundedQueueAndDoesNotStallOthers) {
  ServerOptions options;
  options.rate_hz = 1000.0;
  options.outbox_limit_bytes = 64 * 1024;
  StartServer(options);
  RawClient slow(port(), 4096);
  slow.SubscribeLikeTheBridge();  // then never reads
  // A 51 KB block every frame outruns any kernel socket buffer within a few hundred frames.
  for (int i = 0; i < 200; ++i) slow.Add(1, "Title", nullptr, SIMCONNECT_DATATYPE_STRING256);
  slow.RequestData(1, 1, SIMCONNECT_PERIOD_SIM_FRAME);
  RawClient fast(port());
  fast.SubscribeLikeTheBridge();
  const std::uint64_t until = server_->stats().frames.load() + 1000;
  while (server_->stats().frames.load() < until) ASSERT_TRUE(NextData(fast));
  const std::size_t peak = server_->stats().peak_outbox_bytes.load();
  EXPECT_LE(peak, options.outbox_limit_bytes + wire::kMaxMessageBytes);
  EXPECT_GT(server_->stats().dropped_data_messages.load(), 0u);
  RecordProperty("peak_outbox_bytes", std::to_string(peak));
  std::printf("slow reader: peak outbox %zu bytes, %llu data messages dropped\n", peak,
              static_cast<unsigned long long>(server_->stats().dropped_data_messages.load()));
  // The slow client's stream is still intact: whole messages, the open first.
  const auto first = slow.Next();
  ASSERT_TRUE(first);
  EXPECT_EQ(first->id(), static_cast<std::uint32_t>(SIMCONNECT_RECV_ID_OPEN));
  for (int i = 0; i < 50; ++i) {
    const auto data = slow.Next();
    ASSERT_TRUE(data);
    ASSERT_EQ(data->id(), static_cast<std::uint32_t>(SIMCONNECT_RECV_ID_SIMOBJECT_DATA));
    const std::size_t expected =
        data->field(0) == 1 ? 200 * wire::kTextBytes : kTelemetryRecordBytes;
    ASSERT_EQ(data->block_size(), expected);
  }
}

TEST_F(ServerTest, ClientLimitRefusesFurtherConnections) {
  ServerOptions options;
  options.max_clients = 2;
  StartServer(options);
  RawClient a(port());
  RawClient b(port());
  a.Open();
  b.Open();
  ASSERT_TRUE(a.NextWithId(SIMCONNECT_RECV_ID_OPEN));
  ASSERT_TRUE(b.NextWithId(SIMCONNECT_RECV_ID_OPEN));
  RawClient refused(port());
  refused.Open();
  EXPECT_TRUE(refused.WaitClosed());
  a.Add(1, "Plane Altitude", "feet", SIMCONNECT_DATATYPE_INT32);
  a.RequestData(1, 1, SIMCONNECT_PERIOD_ONCE);
  EXPECT_TRUE(NextData(a));
}

TEST_F(ServerTest, StoppingSendsQuitToEveryClient) {
  StartServer();
  RawClient a(port());
  RawClient b(port());
  a.SubscribeLikeTheBridge();
  b.Open();
  ASSERT_TRUE(NextData(a));
  ASSERT_TRUE(b.NextWithId(SIMCONNECT_RECV_ID_OPEN));
  StopServer();
  EXPECT_TRUE(a.NextWithId(SIMCONNECT_RECV_ID_QUIT));
  EXPECT_TRUE(b.NextWithId(SIMCONNECT_RECV_ID_QUIT));
  EXPECT_TRUE(a.WaitClosed());
}

}  // namespace
}  // namespace skyhelm::simulator
