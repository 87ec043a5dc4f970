// Test support for the client-library tests: opening against a scripted simulator and recording
// what dispatch hands out.
#pragma once

#include <gtest/gtest.h>

#include <SimConnect.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "tests/platform/scripted_sim_server.h"

namespace skyhelm::testing {

// One message as the dispatch callback saw it.
struct Received {
  std::uint32_t id = 0;
  std::uint32_t size_field = 0;  // dwSize
  DWORD cb_data = 0;             // the size argument
  bool aligned = false;          // pData on an 8-byte boundary
  void* context = nullptr;
  std::vector<std::uint8_t> bytes;
};

struct Recorder {
  std::vector<Received> messages;

  static void CALLBACK Record(SIMCONNECT_RECV* data, DWORD size, void* context) {
    auto* recorder = static_cast<Recorder*>(context);
    Received r;
    r.id = data->dwID;
    r.size_field = data->dwSize;
    r.cb_data = size;
    r.aligned = reinterpret_cast<std::uintptr_t>(data) % 8 == 0;
    r.context = context;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(data);
    r.bytes.assign(bytes, bytes + size);
    recorder->messages.push_back(std::move(r));
  }

  std::size_t Count(std::uint32_t id) const {
    std::size_t n = 0;
    for (const Received& r : messages) n += r.id == id ? 1 : 0;
    return n;
  }
};

class SimClientTest : public ::testing::Test {
 protected:
  void TearDown() override {
    if (handle_ != nullptr) SimConnect_Close(handle_);
    unsetenv("SKYHELM_SIM_ADDRESS");
  }

  static void PointAt(const std::string& address) {
    setenv("SKYHELM_SIM_ADDRESS", address.c_str(), 1);
  }

  HRESULT OpenAgainst(ScriptedSimServer& server) {
    PointAt(server.Address());
    return SimConnect_Open(&handle_, "Request Data", nullptr, 0, nullptr, 0);
  }

  // Opens and takes the simulator's open message off the stream.
  void OpenAndDrain(ScriptedSimServer& server) {
    ASSERT_EQ(OpenAgainst(server), S_OK);
    ASSERT_TRUE(DispatchUntil(1));
    ASSERT_EQ(recorder_.messages[0].id, static_cast<std::uint32_t>(SIMCONNECT_RECV_ID_OPEN));
    recorder_.messages.clear();
  }

  // Dispatches until `count` messages have been recorded or 5 seconds have passed.
  bool DispatchUntil(std::size_t count) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (recorder_.messages.size() < count) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      if (SimConnect_CallDispatch(handle_, &Recorder::Record, &recorder_) < 0) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
  }

  // A few more dispatch calls, for checking that nothing else comes.
  void DispatchAFewTimes() {
    for (int i = 0; i < 20; ++i) {
      SimConnect_CallDispatch(handle_, &Recorder::Record, &recorder_);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }

  // Every operation on a connection that has ended must fail.
  void ExpectEveryOperationFails() {
    DWORD id = 0;
    EXPECT_LT(SimConnect_CallDispatch(handle_, &Recorder::Record, &recorder_), 0);
    EXPECT_LT(SimConnect_TransmitClientEvent(handle_, 0, 1, 270, 1900000000u, 0x10), 0);
    EXPECT_LT(SimConnect_AddToDataDefinition(handle_, 0, "Plane Altitude", "feet",
                                             SIMCONNECT_DATATYPE_INT32, 0.0f, SIMCONNECT_UNUSED),
              0);
    EXPECT_LT(SimConnect_RequestDataOnSimObject(handle_, 0, 0, 0, SIMCONNECT_PERIOD_SIM_FRAME), 0);
    EXPECT_LT(SimConnect_MapClientEventToSimEvent(handle_, 1, "HEADING_BUG_SET"), 0);
    EXPECT_LT(SimConnect_GetLastSentPacketID(handle_, &id), 0);
  }

  HANDLE handle_ = nullptr;
  Recorder recorder_;
};

inline std::vector<std::uint8_t> Exception(std::uint32_t sequence) {
  std::vector<std::uint8_t> bytes;
  wire::EncodeExceptionMessage(1, sequence, 0, bytes);
  return bytes;
}

inline std::vector<std::uint8_t> DataMessage(std::uint8_t fill) {
  std::vector<std::uint8_t> block(340, fill);
  std::vector<std::uint8_t> bytes;
  wire::EncodeSimObjectDataMessage(0, 0, 0, 22, block.data(), block.size(), bytes);
  return bytes;
}

// A message of an id the bridge does not know, with an odd size.
inline std::vector<std::uint8_t> OddMessage() {
  std::vector<std::uint8_t> bytes;
  wire::PutU32(bytes, 13);
  wire::PutU32(bytes, wire::kProtocolVersion);
  wire::PutU32(bytes, 0x55);
  bytes.push_back(0x7E);
  return bytes;
}

}  // namespace skyhelm::testing
