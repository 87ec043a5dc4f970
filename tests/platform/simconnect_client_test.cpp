// Tests for the stand-in client library against a scripted simulator on 127.0.0.1. The binary
// also counts this thread's heap allocations, to check that the per-pass calls make none.
#include <gtest/gtest.h>

#include <SimConnect.h>

#include <chrono>
#include <cstdlib>
#include <new>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/simconnect/client_connection.h"
#include "tests/platform/scripted_sim_server.h"
#include "tests/support/child_process.h"

namespace {
thread_local bool counting = false;
thread_local std::size_t allocations = 0;
}  // namespace

void* operator new(std::size_t size) {
  if (counting) ++allocations;
  if (void* block = std::malloc(size != 0 ? size : 1)) return block;
  throw std::bad_alloc();
}
void operator delete(void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }

namespace skyhelm::testing {
namespace {

using Bytes = std::vector<std::uint8_t>;
using OpenReply = ScriptedSimServer::OpenReply;
constexpr auto kQuit = static_cast<std::uint32_t>(SIMCONNECT_RECV_ID_QUIT);

Bytes Concat(const std::vector<Bytes>& parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

Bytes Exception(std::uint32_t sequence) {
  Bytes bytes;
  wire::EncodeExceptionMessage(1, sequence, 0, bytes);
  return bytes;
}

Bytes DataMessage(std::uint8_t fill) {
  const Bytes block(340, fill);
  Bytes bytes;
  wire::EncodeSimObjectDataMessage(0, 0, 0, 22, block.data(), block.size(), bytes);
  return bytes;
}

Bytes Quit() {
  Bytes bytes;
  wire::EncodeQuitMessage(bytes);
  return bytes;
}

// A message header with the given size field, and some bytes after it. 13 is an odd size of an
// id the bridge does not know; 0, 11 and anything above the bound are impossible sizes.
Bytes Header(std::uint32_t size, std::uint32_t id = 0x55) {
  Bytes bytes;
  wire::PutU32(bytes, size);
  wire::PutU32(bytes, wire::kProtocolVersion);
  wire::PutU32(bytes, id);
  bytes.resize(size == 13 ? 13 : 64, 0x7E);
  return bytes;
}
const Bytes kOddMessage = Header(13);

// One message as the dispatch callback saw it.
struct Received {
  std::uint32_t id;
  std::uint32_t size_field;  // dwSize
  DWORD cb_data;             // the size argument
  bool aligned;              // pData on an 8-byte boundary
  Bytes bytes;
};

void CALLBACK Record(SIMCONNECT_RECV* data, DWORD size, void* context) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(data);
  static_cast<std::vector<Received>*>(context)->push_back(
      {data->dwID, data->dwSize, size, reinterpret_cast<std::uintptr_t>(data) % 8 == 0,
       Bytes(bytes, bytes + size)});
}

// Every operation but Close on `handle` must fail.
void ExpectRefused(HANDLE handle) {
  DWORD id = 0;
  std::vector<Received> got;
  EXPECT_LT(SimConnect_CallDispatch(handle, &Record, &got), 0);
  EXPECT_LT(SimConnect_TransmitClientEvent(handle, 0, 1, 270, 1900000000u, 0x10), 0);
  EXPECT_LT(SimConnect_AddToDataDefinition(handle, 0, "Title", nullptr), 0);
  EXPECT_LT(SimConnect_RequestDataOnSimObject(handle, 0, 0, 0, SIMCONNECT_PERIOD_SIM_FRAME), 0);
  EXPECT_LT(SimConnect_MapClientEventToSimEvent(handle, 1, "AP_MASTER"), 0);
  EXPECT_LT(SimConnect_GetLastSentPacketID(handle, &id), 0);
  EXPECT_TRUE(got.empty());
}

class SimClientTest : public ::testing::Test {
 protected:
  void TearDown() override {
    if (handle_ != nullptr) SimConnect_Close(handle_);
    unsetenv("SKYHELM_SIM_ADDRESS");
  }

  HRESULT Open(const std::string& address) {
    setenv("SKYHELM_SIM_ADDRESS", address.c_str(), 1);
    return SimConnect_Open(&handle_, "Request Data", nullptr, 0, nullptr, 0);
  }

  // Opens and takes the simulator's open message off the stream.
  void OpenAndDrain(ScriptedSimServer& server) {
    ASSERT_EQ(Open(server.Address()), S_OK);
    ASSERT_TRUE(DispatchUntil(1));
    EXPECT_EQ(got_[0].id, static_cast<std::uint32_t>(SIMCONNECT_RECV_ID_OPEN));
    EXPECT_EQ(got_[0].cb_data, sizeof(SIMCONNECT_RECV_OPEN));
    got_.clear();
  }

  HRESULT Dispatch() { return SimConnect_CallDispatch(handle_, &Record, &got_); }

  // Dispatches until `count` messages have been received or 5 seconds have passed.
  bool DispatchUntil(std::size_t count) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (got_.size() < count) {
      if (std::chrono::steady_clock::now() > deadline || Dispatch() < 0) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
  }

  // A few more calls, for checking that nothing else comes.
  void DispatchAFewTimes() {
    for (int i = 0; i < 20; ++i) {
      Dispatch();
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }

  // `expected` arrived whole, in order, aligned, with their sizes, and nothing else.
  void ExpectDelivered(const std::vector<Bytes>& expected) {
    ASSERT_EQ(got_.size(), expected.size());
    for (std::size_t i = 0; i < got_.size(); ++i) {
      EXPECT_EQ(got_[i].bytes, expected[i]) << "message " << i;
      EXPECT_EQ(got_[i].cb_data, expected[i].size()) << "message " << i;
      EXPECT_EQ(got_[i].size_field, got_[i].cb_data) << "message " << i;
      EXPECT_TRUE(got_[i].aligned) << "message " << i;
    }
  }

  HANDLE handle_ = nullptr;
  std::vector<Received> got_;
};

struct OpenFailure {
  const char* address;  // nullptr: a scripted simulator answering with `reply`
  OpenReply reply;
};

class SimClientOpenFails : public SimClientTest,
                           public ::testing::WithParamInterface<OpenFailure> {};

TEST_P(SimClientOpenFails, WithOneLineOnStandardErrorAndNoHandle) {
  std::optional<ScriptedSimServer> server;
  std::string address = GetParam().address != nullptr ? GetParam().address : "";
  if (address == "refused") address = "127.0.0.1:" + std::to_string(FreeLoopbackPort(false));
  if (address.empty()) address = server.emplace(GetParam().reply).Address();
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  EXPECT_LT(Open(address), 0);
  const std::string out = ::testing::internal::GetCapturedStdout();
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(handle_, nullptr);
  EXPECT_EQ(out, "");
  EXPECT_EQ(err.find('\n'), err.size() - 1) << err;
}

INSTANTIATE_TEST_SUITE_P(
    Table, SimClientOpenFails,
    ::testing::Values(
        OpenFailure{"refused", {}}, OpenFailure{"127.0.0.1", {}}, OpenFailure{"127.0.0.1:", {}},
        OpenFailure{":47000", {}}, OpenFailure{"127.0.0.1:0", {}},
        OpenFailure{"127.0.0.1:65536", {}}, OpenFailure{"127.0.0.1:4700000", {}},
        OpenFailure{"127.0.0.1:47a", {}}, OpenFailure{"127.0.0.1:-1", {}},
        OpenFailure{"127.0.0.1:+80", {}}, OpenFailure{"127.0.0.1: 80", {}},
        OpenFailure{nullptr, OpenReply::kDisconnect}, OpenFailure{nullptr, OpenReply::kException},
        OpenFailure{nullptr, OpenReply::kGarbage}, OpenFailure{nullptr, OpenReply::kWrongMessage},
        OpenFailure{nullptr, OpenReply::kNothing}));

// The entries and the data request are checked through RunSimLink (sim_link_test).
TEST_F(SimClientTest, RequestsCarryIncreasingSendIdsAndOnlyLiveHandlesAreServed) {
  ScriptedSimServer server;
  setenv("SKYHELM_SIM_ADDRESS", server.Address().c_str(), 1);
  EXPECT_LT(SimConnect_Open(nullptr, "Request Data", nullptr, 0, nullptr, 0), 0);
  ASSERT_EQ(Open(server.Address()), S_OK);
  EXPECT_EQ(SimConnect_MapClientEventToSimEvent(handle_, 4, nullptr), S_OK);
  EXPECT_EQ(
      SimConnect_TransmitClientEvent(handle_, 0, 8, static_cast<DWORD>(-500), 1900000000u, 0x10),
      S_OK);
  DWORD last = 0;
  ASSERT_EQ(SimConnect_GetLastSentPacketID(handle_, &last), S_OK);
  EXPECT_EQ(last, 3u);
  EXPECT_LT(SimConnect_GetLastSentPacketID(handle_, nullptr), 0);
  EXPECT_LT(SimConnect_CallDispatch(handle_, nullptr, nullptr), 0);
  ASSERT_EQ(SimConnect_Close(handle_), S_OK);
  EXPECT_TRUE(server.WaitForClientGone());
  const std::vector<wire::Request> r = server.Requests();
  ASSERT_EQ(r.size(), 4u);
  EXPECT_FALSE(server.saw_undecodable_request());
  for (std::size_t i = 0; i < r.size(); ++i) EXPECT_EQ(r[i].send_id, i + 1);
  EXPECT_EQ(r[1].map.event_id, 4u);
  EXPECT_EQ(r[1].map.event_name, "");
  EXPECT_EQ(r[2].transmit.event_id, 8u);
  EXPECT_EQ(r[2].transmit.data, 0xFFFFFE0Cu);
  EXPECT_EQ(r[2].transmit.group_id, 1900000000u);
  EXPECT_EQ(r[2].transmit.flags, 0x10u);
  EXPECT_EQ(r[3].type, wire::RequestType::kClose);
  // A closed, a null and a foreign handle are refused rather than followed.
  int not_a_connection = 0;
  for (HANDLE handle :
       {handle_, static_cast<HANDLE>(nullptr), static_cast<HANDLE>(&not_a_connection)}) {
    ExpectRefused(handle);
    EXPECT_LT(SimConnect_Close(handle), 0);
  }
  handle_ = nullptr;
}

TEST_F(SimClientTest, MessagesSplitByteByByteArriveWholeAndInOrder) {
  ScriptedSimServer server;
  OpenAndDrain(server);
  const std::vector<Bytes> messages = {Exception(1), kOddMessage, DataMessage(0x5A),
                                       Exception(2), kOddMessage, DataMessage(0xA5)};
  std::size_t complete = 0;  // messages whose last byte has been sent
  for (const Bytes& message : messages) {
    for (std::size_t i = 0; i < message.size(); ++i) {
      ASSERT_TRUE(server.Send({message[i]}));
      if (i + 1 == message.size()) ++complete;
      ASSERT_EQ(Dispatch(), S_OK);  // returns although the message is incomplete
      ASSERT_LE(got_.size(), complete);
    }
  }
  ASSERT_TRUE(DispatchUntil(messages.size()));
  ExpectDelivered(messages);
}

TEST_F(SimClientTest, ManyMessagesInOneWriteArriveWholeAndInOrderOverSeveralCalls) {
  ScriptedSimServer server;
  OpenAndDrain(server);
  std::vector<Bytes> messages;
  for (std::uint32_t i = 0; i < 3000; ++i) {
    messages.push_back(i % 3 == 0 ? Exception(i) : i % 3 == 1 ? kOddMessage : DataMessage(0x11));
  }
  const Bytes all = Concat(messages);
  ASSERT_GT(all.size(), simconnect::kReadBudgetBytes);
  ASSERT_TRUE(server.Send(all));
  // One call reads a bounded amount, so that a flood cannot keep the caller's loop in it.
  ASSERT_EQ(Dispatch(), S_OK);
  EXPECT_LT(got_.size(), messages.size());
  ASSERT_TRUE(DispatchUntil(messages.size()));
  DispatchAFewTimes();
  ExpectDelivered(messages);
}

TEST_F(SimClientTest, MessagesSentWithTheOpenMessageFollowIt) {
  ScriptedSimServer server(OpenReply::kOpenMessage, Concat({Exception(7), kOddMessage}));
  ASSERT_EQ(Open(server.Address()), S_OK);
  ASSERT_TRUE(DispatchUntil(3));
  EXPECT_EQ(got_[0].id, static_cast<std::uint32_t>(SIMCONNECT_RECV_ID_OPEN));
  got_.erase(got_.begin());
  ExpectDelivered({Exception(7), kOddMessage});
}

// How the stream ends after Exception(1): with bytes from the simulator, dropped by it, or broken
// by the client because the simulator stopped reading its requests.
enum class Ending { kBytes, kDrop, kStopReading };
struct StreamEnd {
  const char* name;
  Ending ending;
  Bytes bytes;
};

class SimClientStreamEnd : public SimClientTest, public ::testing::WithParamInterface<StreamEnd> {};

TEST_P(SimClientStreamEnd, DeliversExactlyOneQuitThenEveryOperationFails) {
  ScriptedSimServer server;
  OpenAndDrain(server);
  ASSERT_TRUE(server.Send(Concat({Exception(1), GetParam().bytes})));
  if (GetParam().ending == Ending::kDrop) server.Disconnect();
  if (GetParam().ending == Ending::kStopReading) {
    server.StopReading();
    // Far more requests than the outgoing bound and any socket buffers hold: never blocks.
    int accepted = 0;
    while (accepted < 4'000'000 &&
           SimConnect_TransmitClientEvent(handle_, 0, 1, 270, 1900000000u, 0x10) == S_OK) {
      ++accepted;
    }
    EXPECT_LT(accepted, 4'000'000);
  }
  ASSERT_TRUE(DispatchUntil(2));
  DispatchAFewTimes();
  ASSERT_EQ(got_.size(), 2u);
  EXPECT_EQ(got_[0].bytes, Exception(1));
  EXPECT_EQ(got_[1].id, kQuit);
  EXPECT_EQ(got_[1].cb_data, sizeof(SIMCONNECT_RECV_QUIT));
  EXPECT_EQ(got_[1].size_field, got_[1].cb_data);
  EXPECT_TRUE(got_[1].aligned);
  ExpectRefused(handle_);
}

const auto kAboveBound = static_cast<std::uint32_t>(wire::kMaxMessageBytes + 1);
INSTANTIATE_TEST_SUITE_P(
    Kinds, SimClientStreamEnd,
    ::testing::Values(
        StreamEnd{"SimulatorQuitsTwice", Ending::kBytes, Concat({Quit(), Exception(2), Quit()})},
        StreamEnd{"ConnectionDropped", Ending::kDrop, {}},
        StreamEnd{"SimulatorStopsReading", Ending::kStopReading, {}},
        StreamEnd{"SizeZero", Ending::kBytes, Concat({Header(0), Exception(2)})},
        StreamEnd{"SizeBelowHeader", Ending::kBytes, Concat({Header(11), Exception(2)})},
        StreamEnd{"SizeAboveBound", Ending::kBytes, Concat({Header(kAboveBound), Exception(2)})},
        StreamEnd{"SizeAllOnes", Ending::kBytes, Concat({Header(0xFFFFFFFFu), Exception(2)})}),
    [](const auto& test) { return std::string(test.param.name); });

// Closing from inside the callback must not pull the connection out from under the dispatch.
void CALLBACK CloseOnFirstMessage(SIMCONNECT_RECV*, DWORD, void* context) {
  auto* handle = static_cast<HANDLE*>(context);
  if (*handle == nullptr) return;
  EXPECT_EQ(SimConnect_Close(*handle), S_OK);
  *handle = nullptr;
}

TEST_F(SimClientTest, ClosingInsideTheCallbackIsSafe) {
  ScriptedSimServer server(OpenReply::kOpenMessage, Concat({Exception(1), Exception(2)}));
  ASSERT_EQ(Open(server.Address()), S_OK);
  HANDLE to_close = handle_;
  EXPECT_EQ(SimConnect_CallDispatch(handle_, &CloseOnFirstMessage, &to_close), S_OK);
  EXPECT_EQ(to_close, nullptr);
  EXPECT_LT(Dispatch(), 0);
  EXPECT_TRUE(server.WaitForClientGone());
  handle_ = nullptr;
}

TEST_F(SimClientTest, TransmitAndDispatchDoNotAllocateOnceWarm) {
  ScriptedSimServer server;
  OpenAndDrain(server);
  std::vector<Bytes> burst;
  for (int i = 0; i < 200; ++i) burst.push_back(i % 2 ? DataMessage(1) : kOddMessage);
  ASSERT_TRUE(server.Send(Concat(burst)));
  std::size_t delivered = 0;
  const auto count = [](SIMCONNECT_RECV*, DWORD, void* context) {
    ++*static_cast<std::size_t*>(context);
  };
  counting = true;
  for (int pass = 0; pass < 2000 && delivered < burst.size(); ++pass) {
    SimConnect_CallDispatch(handle_, count, &delivered);
    SimConnect_TransmitClientEvent(handle_, 0, 1, 270, 1900000000u, 0x10);
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
  counting = false;
  EXPECT_EQ(delivered, burst.size());
  EXPECT_EQ(allocations, 0u);
}

}  // namespace
}  // namespace skyhelm::testing
