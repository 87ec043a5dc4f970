// The stand-in client library against a scripted simulator on 127.0.0.1.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <SimConnect.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "platform/simconnect/client_connection.h"
#include "tests/platform/scripted_sim_server.h"

namespace skyhelm::test_support {
namespace {

using Bytes = std::vector<std::uint8_t>;
using std::chrono::milliseconds;

Bytes Concat(const std::vector<Bytes>& parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

// A message of an id the bridge does not know, or a header alone when the size is impossible.
Bytes Header(std::uint32_t size, std::uint32_t id = 0x55) {
  Bytes bytes;
  for (const std::uint32_t word : {size, static_cast<std::uint32_t>(wire::kDefaultProtocol), id}) {
    wire::PutU32(bytes, word);
  }
  bytes.resize(std::clamp<std::size_t>(size, 12, 400), 0x7E);
  return bytes;
}
const Bytes kQuit = Header(12, SIMCONNECT_RECV_ID_QUIT);

// The refusal of the open (send id 1).
Bytes Refusal(SIMCONNECT_EXCEPTION exception) {
  Bytes bytes;
  wire::EncodeExceptionMessage(wire::kDefaultProtocol, exception, 1, 0, bytes);
  return bytes;
}

// Every message must come whole, 8-byte aligned, its size field equal to the size argument.
void CALLBACK Record(SIMCONNECT_RECV* data, DWORD size, void* context) {
  EXPECT_EQ(data->dwSize, size);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(data) % 8, 0u);
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(data);
  static_cast<std::vector<Bytes>*>(context)->emplace_back(bytes, bytes + size);
}

// Every operation but Close on `handle` must fail (the requests share one path: a transmit stands
// for them all).
void ExpectRefused(HANDLE handle) {
  DWORD id = 0;
  std::vector<Bytes> got;
  EXPECT_LT(SimConnect_CallDispatch(handle, &Record, &got), 0);
  EXPECT_LT(SimConnect_TransmitClientEvent(handle, 0, 1, 270, 1900000000u, 0x10), 0);
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
  HRESULT Dispatch() { return SimConnect_CallDispatch(handle_, &Record, &got_); }
  // Dispatches until `count` messages have come; false after 5 s or on a failed dispatch.
  bool DispatchUntil(std::size_t count) {
    for (int i = 0; i < 5000 && got_.size() < count; ++i) {
      if (Dispatch() < 0) return false;
      std::this_thread::sleep_for(milliseconds(1));
    }
    return got_.size() >= count;
  }

  HANDLE handle_ = nullptr;
  std::vector<Bytes> got_;
};

// A bad address, an unknown name, a closed port or a full backlog (a connect that never completes)
// fails the open with one line, in its one-second wait although a signal comes every 2 ms (EINTR).
TEST_F(SimClientTest, AFailedOpenIsOneLineOnStandardErrorAndNoHandle) {
  sockaddr_in full{};
  const int listener = ListenOnLoopback(0, full);
  ASSERT_GE(listener, 0);
  const int filler = ::socket(AF_INET, SOCK_STREAM, 0);
  ::connect(filler, reinterpret_cast<sockaddr*>(&full), sizeof full);
  EXPECT_LT(SimConnect_Open(nullptr, "Request Data", nullptr, 0, nullptr, 0), 0);
  signal(SIGUSR2, [](int) {});
  std::atomic<bool> done{false};
  std::thread storm([&, opener = pthread_self()] {
    for (int i = 0; i < 2500 && !done; ++i) {  // 5 s or more: a wait begun again fails, not hangs
      pthread_kill(opener, SIGUSR2);
      std::this_thread::sleep_for(milliseconds(2));
    }
  });
  // The full backlog first, while the signals still come.
  for (const std::string& to : std::vector<std::string>{
           "127.0.0.1:" + std::to_string(ntohs(full.sin_port)), "127.0.0.1", "127.0.0.1:", ":47000",
           "127.0.0.1:0", "127.0.0.1:65536", "127.0.0.1:4700000", "127.0.0.1:+80",
           "no-such-host.invalid:500", "127.0.0.1:" + std::to_string(FreeLoopbackPort(false))}) {
    SCOPED_TRACE(to);
    const auto start = std::chrono::steady_clock::now();
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    EXPECT_LT(Open(to), 0);
    const bool named = to.find(".invalid") != std::string::npos;  // a resolver takes its own time
    EXPECT_TRUE(named || std::chrono::steady_clock::now() - start < milliseconds(3000));
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(handle_, nullptr);
    EXPECT_EQ(err.find('\n'), err.size() - 1) << err;
    EXPECT_EQ(named, err.find("does not resolve") != std::string::npos) << err;
  }
  done = true;
  storm.join();
  signal(SIGUSR2, SIG_DFL);
  for (const int fd : {filler, listener}) ::close(fd);
}

// Closing from inside the callback must not pull the connection out from under the dispatch.
void CALLBACK CloseOnFirstMessage(SIMCONNECT_RECV*, DWORD, void* context) {
  auto* handle = static_cast<HANDLE*>(context);
  EXPECT_TRUE(*handle == nullptr || SimConnect_Close(*handle) == S_OK);
  *handle = nullptr;
}

// How the bytes reach the client: in one write with the open message, or byte by byte after it;
// then the simulator may drop the connection or stop reading the client's requests, or the client
// closes in its callback.
enum class Way { kWithOpen, kByteByByte, kThenDrop, kThenStopReading, kCloseInCallback };
struct Framing {
  const char* name;
  Way way;
  std::vector<Bytes> delivered;  // must arrive whole and in order after the open message
  // Sent after them; when it is not empty, or the connection breaks, one quit must follow, then
  // every operation fails.
  Bytes tail = {};
  // False: `tail` alone answers the open, failing the handshake (one line naming the address).
  bool answered = true;
};

class SimClientFraming : public SimClientTest, public ::testing::WithParamInterface<Framing> {};

TEST_P(SimClientFraming, WholeMessagesInOrderThenOneQuitIfTheStreamBreaks) {
  const Framing& c = GetParam();
  const bool handshake_fails = !c.answered;
  const bool quits = handshake_fails || !c.tail.empty() || c.way == Way::kThenDrop ||
                     c.way == Way::kThenStopReading;
  const Bytes sent = Concat({Concat(c.delivered), c.tail});
  ScriptedSimServer server(c.way == Way::kByteByByte ? Bytes{} : sent, c.answered);
  ::testing::internal::CaptureStderr();
  ASSERT_EQ(Open(server.Address()), S_OK);
  if (c.way == Way::kCloseInCallback) {
    DWORD last = 0;  // the open's send id
    EXPECT_TRUE(SimConnect_GetLastSentPacketID(handle_, &last) == S_OK && last == 1u);
    EXPECT_LT(SimConnect_GetLastSentPacketID(handle_, nullptr), 0);  // null arguments, refused
    EXPECT_LT(SimConnect_CallDispatch(handle_, nullptr, nullptr), 0);
    HANDLE to_close = handle_;
    for (int i = 0; i < 5000 && to_close != nullptr; ++i) {  // until the first message has come
      EXPECT_EQ(SimConnect_CallDispatch(handle_, &CloseOnFirstMessage, &to_close), S_OK);
      std::this_thread::sleep_for(milliseconds(1));
    }
    EXPECT_EQ(to_close, nullptr);
    int not_a_connection = 0;  // a closed, a null and a foreign handle
    for (HANDLE handle : {handle_, HANDLE{}, static_cast<HANDLE>(&not_a_connection)}) {
      ExpectRefused(handle);
      EXPECT_LT(SimConnect_Close(handle), 0);
    }
    handle_ = nullptr;
    EXPECT_TRUE(server.WaitForClientGone());
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    return;
  }
  // The open returns before the answer: what the server does next must come after it.
  if (c.way != Way::kWithOpen && c.answered) {
    ASSERT_TRUE(DispatchUntil(1));
  }
  for (std::size_t i = 0; c.way == Way::kByteByByte && i < sent.size(); ++i) {
    ASSERT_TRUE(server.Send({sent[i]}));
    ASSERT_EQ(Dispatch(), S_OK);  // returns although the message is incomplete
  }
  if (c.way == Way::kThenDrop && server.WaitForRequests(1)) server.Disconnect();
  if (c.way == Way::kThenStopReading) {
    server.StopReading();
    // Far more requests than the outgoing bound and any socket buffers hold: never blocks.
    int accepted = 0;
    while (accepted < 4'000'000 &&
           SimConnect_TransmitClientEvent(handle_, 0, 1, 270, 1900000000u, 0x10) == S_OK) {
      ++accepted;
    }
    EXPECT_LT(accepted, 4'000'000);
  }
  std::vector<Bytes> expected = {Bytes()};
  wire::EncodeOpenMessage(wire::kDefaultProtocol, "Scripted Simulator", {}, expected[0]);
  expected.insert(expected.end(), c.delivered.begin(), c.delivered.end());
  if (handshake_fails) expected.clear();
  if (quits) expected.push_back(kQuit);
  if (sent.size() > simconnect::kReadBudgetBytes) {
    // One call reads a bounded amount, so that a flood cannot keep the caller's loop in it.
    ASSERT_EQ(Dispatch(), S_OK);
    EXPECT_LT(got_.size(), expected.size());
  }
  ASSERT_TRUE(DispatchUntil(expected.size()));
  for (int i = 0; i < 20; ++i) {  // nothing else comes
    Dispatch();
    std::this_thread::sleep_for(milliseconds(2));
  }
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(got_, expected);
  if (quits) ExpectRefused(handle_);
  if (!handshake_fails) {
    EXPECT_EQ(err, "");
    return;
  }
  EXPECT_EQ(err.rfind("SimConnect: ", 0), 0u) << err;
  EXPECT_EQ(err.find('\n'), err.size() - 1) << err;
  EXPECT_NE(err.find(server.Address()), std::string::npos) << err;
  EXPECT_EQ(err.find("too many clients") != std::string::npos, c.name == std::string("Full"))
      << err;
}

std::vector<Bytes> Flood() {
  std::vector<Bytes> messages;
  for (std::uint32_t i = 0; i < 3000; ++i) messages.push_back(Header(12 + i % 331));
  return messages;
}

// A message, then a header with an impossible size, then a message that must never arrive.
Framing BrokenSize(const char* name, std::uint32_t size) {
  return {name, Way::kWithOpen, {Header(16)}, Concat({Header(size), Header(20)})};
}
Framing Refused(const char* name, Bytes answer, Way way = Way::kWithOpen) {
  return {name, way, {}, std::move(answer), false};
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SimClientFraming,
    ::testing::Values(
        Framing{"SplitByteByByte",
                Way::kByteByByte,
                {Header(16), Header(13), Header(341), Header(20), Header(13)}},
        Framing{"CoalescedWithTheOpen", Way::kWithOpen, Flood()},
        Framing{"QuitsTwice", Way::kWithOpen, {Header(16)}, Concat({kQuit, Header(20), kQuit})},
        Framing{"ConnectionDropped", Way::kThenDrop, {Header(16)}},
        Framing{"SimulatorStopsReading", Way::kThenStopReading, {Header(16)}},
        Framing{"ClosedInsideTheCallback", Way::kCloseInCallback, {Header(16), Header(20)}},
        BrokenSize("SizeZero", 0), BrokenSize("SizeBelowHeader", 11),
        BrokenSize("SizeAboveBound", static_cast<std::uint32_t>(wire::kMaxMessageBytes + 1)),
        Refused("Disconnected", {}, Way::kThenDrop),
        Refused("VersionMismatch", Refusal(SIMCONNECT_EXCEPTION_VERSION_MISMATCH)),
        Refused("Full", Refusal(SIMCONNECT_EXCEPTION_TOO_MANY_OBJECTS)),
        Refused("Garbage", Header(5)), Refused("NotTheOpen", kQuit), Refused("Silent", {})),
    [](const auto& test) { return std::string(test.param.name); });

}  // namespace
}  // namespace skyhelm::test_support
