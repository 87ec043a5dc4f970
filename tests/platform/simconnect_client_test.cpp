// Tests for the stand-in client library against a scripted simulator on 127.0.0.1.
#include <gtest/gtest.h>

#include <SimConnect.h>

#include <chrono>
#include <string>
#include <vector>

#include "platform/simconnect/client_connection.h"
#include "tests/platform/scripted_sim_server.h"
#include "tests/platform/sim_client_fixture.h"
#include "tests/support/child_process.h"

namespace skyhelm::testing {
namespace {

using Bytes = std::vector<std::uint8_t>;
using OpenReply = ScriptedSimServer::OpenReply;
constexpr auto kQuit = static_cast<std::uint32_t>(SIMCONNECT_RECV_ID_QUIT);
constexpr auto kOpen = static_cast<std::uint32_t>(SIMCONNECT_RECV_ID_OPEN);

Bytes Concat(const std::vector<Bytes>& parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

// --- open ------------------------------------------------------------------------------------

using SimClientOpen = SimClientTest;

TEST_F(SimClientOpen, HandshakesAndDeliversTheOpenMessageThroughDispatch) {
  ScriptedSimServer server;
  ASSERT_EQ(OpenAgainst(server), S_OK);
  ASSERT_NE(handle_, nullptr);
  const std::vector<wire::Request> requests = server.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].type, wire::RequestType::kOpen);
  EXPECT_EQ(requests[0].open.magic, wire::kMagic);
  EXPECT_EQ(requests[0].open.protocol_version, wire::kProtocolVersion);
  EXPECT_EQ(requests[0].open.client_name, "Request Data");
  DWORD send_id = 0;
  ASSERT_EQ(SimConnect_GetLastSentPacketID(handle_, &send_id), S_OK);
  EXPECT_EQ(send_id, requests[0].send_id);

  ASSERT_TRUE(DispatchUntil(1));
  const Received& open = recorder_.messages[0];
  EXPECT_EQ(open.id, kOpen);
  EXPECT_EQ(open.cb_data, sizeof(SIMCONNECT_RECV_OPEN));
  EXPECT_EQ(open.context, &recorder_);
}

TEST_F(SimClientOpen, CloseSendsACloseRequestAndEndsTheConnection) {
  ScriptedSimServer server;
  ASSERT_EQ(OpenAgainst(server), S_OK);
  EXPECT_EQ(SimConnect_Close(handle_), S_OK);
  EXPECT_TRUE(server.WaitForClientGone(std::chrono::seconds(5)));
  const std::vector<wire::Request> requests = server.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].type, wire::RequestType::kClose);
  EXPECT_GT(requests[1].send_id, requests[0].send_id);
  // The handle is gone: using it again is refused rather than followed.
  EXPECT_LT(SimConnect_Close(handle_), 0);
  EXPECT_LT(SimConnect_TransmitClientEvent(handle_, 0, 1, 0, 1900000000u, 0x10), 0);
  handle_ = nullptr;
}

TEST_F(SimClientOpen, FailsWithOneLineOnStandardErrorWhenNothingListens) {
  PointAt("127.0.0.1:" + std::to_string(FreeLoopbackPort(false)));
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  const HRESULT result = SimConnect_Open(&handle_, "Request Data", nullptr, 0, nullptr, 0);
  const std::string out = ::testing::internal::GetCapturedStdout();
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_LT(result, 0);
  EXPECT_EQ(handle_, nullptr);
  EXPECT_EQ(out, "");
  ASSERT_FALSE(err.empty());
  EXPECT_EQ(err.find('\n'), err.size() - 1) << err;
}

TEST_F(SimClientOpen, RefusesANullHandleOutput) {
  ScriptedSimServer server;
  PointAt(server.Address());
  EXPECT_LT(SimConnect_Open(nullptr, "Request Data", nullptr, 0, nullptr, 0), 0);
}

class SimClientBadAddress : public SimClientTest,
                            public ::testing::WithParamInterface<const char*> {};

TEST_P(SimClientBadAddress, FailsWithoutConnecting) {
  PointAt(GetParam());
  ::testing::internal::CaptureStderr();
  EXPECT_LT(SimConnect_Open(&handle_, "Request Data", nullptr, 0, nullptr, 0), 0);
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(handle_, nullptr);
  EXPECT_EQ(err.find('\n'), err.size() - 1) << err;
}

INSTANTIATE_TEST_SUITE_P(Malformed, SimClientBadAddress,
                         ::testing::Values("127.0.0.1", "127.0.0.1:", ":47000", "127.0.0.1:0",
                                           "127.0.0.1:65536", "127.0.0.1:4700000", "127.0.0.1:47a",
                                           "127.0.0.1:-1", "127.0.0.1:+80", "127.0.0.1: 80"));

TEST(SimAddress, ParsesHostAndPortAtTheLastColon) {
  const struct {
    const char* text;
    const char* host;
    std::uint16_t port;
  } cases[] = {
      {"127.0.0.1:47000", "127.0.0.1", 47000},
      {"localhost:1", "localhost", 1},
      {"127.0.0.1:65535", "127.0.0.1", 65535},
      {"127.0.0.1:00080", "127.0.0.1", 80},
  };
  for (const auto& c : cases) {
    simconnect::SimAddress address;
    ASSERT_TRUE(simconnect::ParseSimAddress(c.text, address)) << c.text;
    EXPECT_EQ(address.host, c.host);
    EXPECT_EQ(address.port, c.port);
  }
  simconnect::SimAddress address;
  EXPECT_FALSE(simconnect::ParseSimAddress(nullptr, address));
}

class SimClientBadHandshake : public SimClientTest,
                              public ::testing::WithParamInterface<OpenReply> {};

TEST_P(SimClientBadHandshake, FailsWithinABoundedTime) {
  ScriptedSimServer server(GetParam());
  const auto start = std::chrono::steady_clock::now();
  ::testing::internal::CaptureStderr();
  EXPECT_LT(OpenAgainst(server), 0);
  ::testing::internal::GetCapturedStderr();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(handle_, nullptr);
}

INSTANTIATE_TEST_SUITE_P(Replies, SimClientBadHandshake,
                         ::testing::Values(OpenReply::kDisconnect, OpenReply::kException,
                                           OpenReply::kGarbage, OpenReply::kWrongMessage,
                                           OpenReply::kNothing));

// --- requests --------------------------------------------------------------------------------

TEST_F(SimClientTest, EncodesEachRequestWithIncreasingSendIds) {
  ScriptedSimServer server;
  ASSERT_EQ(OpenAgainst(server), S_OK);
  EXPECT_EQ(SimConnect_AddToDataDefinition(handle_, 0, "Title", nullptr,
                                           SIMCONNECT_DATATYPE_STRING256, 0.0f, SIMCONNECT_UNUSED),
            S_OK);
  EXPECT_EQ(SimConnect_RequestDataOnSimObject(handle_, 0, 0, 0, SIMCONNECT_PERIOD_SIM_FRAME), S_OK);
  EXPECT_EQ(SimConnect_MapClientEventToSimEvent(handle_, 4, nullptr), S_OK);
  EXPECT_EQ(
      SimConnect_TransmitClientEvent(handle_, 0, 8, static_cast<DWORD>(-500), 1900000000u, 0x10),
      S_OK);
  ASSERT_TRUE(server.WaitForRequests(5, std::chrono::seconds(5)));
  const std::vector<wire::Request> r = server.Requests();
  ASSERT_EQ(r.size(), 5u);
  EXPECT_FALSE(server.saw_undecodable_request());
  for (std::size_t i = 0; i < r.size(); ++i) EXPECT_EQ(r[i].send_id, i + 1);
  EXPECT_EQ(r[1].add.datum_name, "Title");
  EXPECT_FALSE(r[1].add.has_units);
  EXPECT_EQ(r[1].add.datum_type, 9u);
  EXPECT_EQ(r[2].request_data.period, 3u);
  EXPECT_EQ(r[3].map.event_id, 4u);
  EXPECT_EQ(r[3].map.event_name, "");
  EXPECT_EQ(r[4].transmit.event_id, 8u);
  EXPECT_EQ(r[4].transmit.data, 0xFFFFFE0Cu);
  DWORD last = 0;
  ASSERT_EQ(SimConnect_GetLastSentPacketID(handle_, &last), S_OK);
  EXPECT_EQ(last, 5u);
  EXPECT_LT(SimConnect_GetLastSentPacketID(handle_, nullptr), 0);
}

TEST(SimClientHandles, NullAndForeignHandlesAreRefused) {
  int not_a_connection = 0;
  for (HANDLE handle : {static_cast<HANDLE>(nullptr), static_cast<HANDLE>(&not_a_connection)}) {
    DWORD id = 0;
    Recorder recorder;
    EXPECT_LT(SimConnect_CallDispatch(handle, &Recorder::Record, &recorder), 0);
    EXPECT_LT(SimConnect_TransmitClientEvent(handle, 0, 1, 0, 1900000000u, 0x10), 0);
    EXPECT_LT(SimConnect_AddToDataDefinition(handle, 0, "Title", nullptr), 0);
    EXPECT_LT(SimConnect_RequestDataOnSimObject(handle, 0, 0, 0, SIMCONNECT_PERIOD_SIM_FRAME), 0);
    EXPECT_LT(SimConnect_MapClientEventToSimEvent(handle, 1, "AP_MASTER"), 0);
    EXPECT_LT(SimConnect_GetLastSentPacketID(handle, &id), 0);
    EXPECT_LT(SimConnect_Close(handle), 0);
  }
}

TEST_F(SimClientTest, ASimulatorThatStopsReadingBreaksTheConnectionInsteadOfBlocking) {
  ScriptedSimServer server;
  OpenAndDrain(server);
  server.StopReading();
  // Far more requests than the outgoing bound and any socket buffers can hold.
  int accepted = 0;
  while (accepted < 4'000'000 &&
         SimConnect_TransmitClientEvent(handle_, 0, 1, 270, 1900000000u, 0x10) == S_OK) {
    ++accepted;
  }
  EXPECT_LT(accepted, 4'000'000);
  ASSERT_TRUE(DispatchUntil(1));
  DispatchAFewTimes();
  EXPECT_EQ(recorder_.Count(kQuit), 1u);
  ExpectEveryOperationFails();
}

// --- dispatch --------------------------------------------------------------------------------

// Checks that `expected` arrived whole, in order, aligned, with their sizes.
void ExpectDelivered(const std::vector<Received>& got, const std::vector<Bytes>& expected) {
  ASSERT_EQ(got.size(), expected.size());
  for (std::size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].bytes, expected[i]) << "message " << i;
    EXPECT_EQ(got[i].cb_data, expected[i].size()) << "message " << i;
    EXPECT_EQ(got[i].size_field, got[i].cb_data) << "message " << i;
    EXPECT_TRUE(got[i].aligned) << "message " << i;
  }
}

TEST_F(SimClientTest, MessagesSplitByteByByteArriveWholeAndInOrder) {
  ScriptedSimServer server;
  OpenAndDrain(server);
  const std::vector<Bytes> messages = {Exception(1), OddMessage(), DataMessage(0x5A),
                                       Exception(2), OddMessage(), DataMessage(0xA5)};
  std::size_t complete = 0;  // messages whose last byte has been sent
  for (const Bytes& message : messages) {
    for (std::size_t i = 0; i < message.size(); ++i) {
      ASSERT_TRUE(server.Send({message[i]}));
      if (i + 1 == message.size()) ++complete;
      ASSERT_EQ(SimConnect_CallDispatch(handle_, &Recorder::Record, &recorder_), S_OK);
      ASSERT_LE(recorder_.messages.size(), complete);
    }
  }
  ASSERT_TRUE(DispatchUntil(messages.size()));
  ExpectDelivered(recorder_.messages, messages);
}

TEST_F(SimClientTest, ManyMessagesInOneWriteArriveWholeAndInOrder) {
  ScriptedSimServer server;
  OpenAndDrain(server);
  std::vector<Bytes> messages;
  for (std::uint32_t i = 0; i < 3000; ++i) {
    messages.push_back(i % 3 == 0 ? Exception(i) : i % 3 == 1 ? OddMessage() : DataMessage(0x11));
  }
  ASSERT_TRUE(server.Send(Concat(messages)));
  ASSERT_TRUE(DispatchUntil(messages.size()));
  DispatchAFewTimes();
  ExpectDelivered(recorder_.messages, messages);
}

TEST_F(SimClientTest, MessagesSentWithTheOpenMessageFollowIt) {
  ScriptedSimServer server;
  server.SetAfterOpen(Concat({Exception(7), OddMessage()}));
  ASSERT_EQ(OpenAgainst(server), S_OK);
  ASSERT_TRUE(DispatchUntil(3));
  EXPECT_EQ(recorder_.messages[0].id, kOpen);
  ExpectDelivered({recorder_.messages.begin() + 1, recorder_.messages.end()},
                  {Exception(7), OddMessage()});
}

TEST_F(SimClientTest, DispatchWithNothingPendingReturnsAtOnce) {
  ScriptedSimServer server;
  OpenAndDrain(server);
  // The simulator stays silent: each call must come back (a blocking read would hang here).
  for (int i = 0; i < 100; ++i) {
    EXPECT_EQ(SimConnect_CallDispatch(handle_, &Recorder::Record, &recorder_), S_OK);
  }
  EXPECT_TRUE(recorder_.messages.empty());
  EXPECT_LT(SimConnect_CallDispatch(handle_, nullptr, nullptr), 0);
}

TEST_F(SimClientTest, DispatchReturnsUnderAnEndlessFlood) {
  ScriptedSimServer server;
  OpenAndDrain(server);
  server.StartFlood(DataMessage(0x22));
  ASSERT_TRUE(DispatchUntil(1));
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(SimConnect_CallDispatch(handle_, &Recorder::Record, &recorder_), S_OK);
  }
  server.StopFlood();
  EXPECT_EQ(recorder_.Count(kQuit), 0u);
  for (const Received& r : recorder_.messages) ASSERT_EQ(r.bytes, DataMessage(0x22));
}

TEST_F(SimClientTest, TheSimulatorsQuitIsDeliveredOnceAndEndsTheConnection) {
  ScriptedSimServer server;
  OpenAndDrain(server);
  Bytes quit;
  wire::EncodeQuitMessage(quit);
  ASSERT_TRUE(server.Send(Concat({Exception(1), quit, Exception(2), quit})));
  ASSERT_TRUE(DispatchUntil(2));
  DispatchAFewTimes();
  ExpectDelivered(recorder_.messages, {Exception(1), quit});
  ExpectEveryOperationFails();
  SimConnect_Close(handle_);  // frees it; S_OK or negative, but no crash or leak
  handle_ = nullptr;
}

TEST_F(SimClientTest, ADroppedConnectionYieldsOneSynthesisedQuit) {
  ScriptedSimServer server;
  OpenAndDrain(server);
  ASSERT_TRUE(server.Send(Exception(1)));
  server.Disconnect();
  ASSERT_TRUE(DispatchUntil(2));
  DispatchAFewTimes();
  ASSERT_EQ(recorder_.messages.size(), 2u);
  EXPECT_EQ(recorder_.messages[0].bytes, Exception(1));
  const Received& quit = recorder_.messages[1];
  EXPECT_EQ(quit.id, kQuit);
  EXPECT_EQ(quit.cb_data, sizeof(SIMCONNECT_RECV_QUIT));
  EXPECT_EQ(quit.size_field, quit.cb_data);
  EXPECT_TRUE(quit.aligned);
  ExpectEveryOperationFails();
}

class SimClientImpossibleSize : public SimClientTest,
                                public ::testing::WithParamInterface<std::uint32_t> {};

TEST_P(SimClientImpossibleSize, BreaksTheConnectionWithoutReadingPastIt) {
  ScriptedSimServer server;
  OpenAndDrain(server);
  Bytes bad;
  wire::PutU32(bad, GetParam());
  wire::PutU32(bad, wire::kProtocolVersion);
  wire::PutU32(bad, 8);
  bad.resize(64, 0xEE);
  ASSERT_TRUE(server.Send(Concat({Exception(1), bad, Exception(2)})));
  ASSERT_TRUE(DispatchUntil(2));
  DispatchAFewTimes();
  ASSERT_EQ(recorder_.messages.size(), 2u);
  EXPECT_EQ(recorder_.messages[0].bytes, Exception(1));
  EXPECT_EQ(recorder_.messages[1].id, kQuit);
  EXPECT_EQ(recorder_.messages[1].cb_data, sizeof(SIMCONNECT_RECV_QUIT));
  ExpectEveryOperationFails();
}

INSTANTIATE_TEST_SUITE_P(Sizes, SimClientImpossibleSize,
                         ::testing::Values(0u, 11u,
                                           static_cast<std::uint32_t>(wire::kMaxMessageBytes + 1),
                                           0xFFFFFFFFu));

// Closing from inside the callback must not pull the connection out from under the dispatch.
void CALLBACK CloseOnFirstMessage(SIMCONNECT_RECV*, DWORD, void* context) {
  auto* handle = static_cast<HANDLE*>(context);
  if (*handle == nullptr) return;
  EXPECT_EQ(SimConnect_Close(*handle), S_OK);
  *handle = nullptr;
}

TEST_F(SimClientTest, ClosingInsideTheCallbackIsSafe) {
  ScriptedSimServer server;
  server.SetAfterOpen(Concat({Exception(1), Exception(2)}));
  ASSERT_EQ(OpenAgainst(server), S_OK);
  HANDLE dispatched = handle_;
  HANDLE to_close = handle_;
  EXPECT_EQ(SimConnect_CallDispatch(dispatched, &CloseOnFirstMessage, &to_close), S_OK);
  EXPECT_EQ(to_close, nullptr);
  EXPECT_LT(SimConnect_CallDispatch(dispatched, &Recorder::Record, &recorder_), 0);
  EXPECT_TRUE(server.WaitForClientGone(std::chrono::seconds(5)));
  handle_ = nullptr;
}

}  // namespace
}  // namespace skyhelm::testing
