// The stand-in client library against the in-process server: what the bridge does, end to end.
#include <gtest/gtest.h>

#include <SimConnect.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "sim/client_events.h"
#include "sim/telemetry_schema.h"
#include "simulator/server.h"

namespace skyhelm::simulator {
namespace {

struct Seen {
  int opens = 0;
  int exceptions = 0;
  int quits = 0;
  int data = 0;
  std::uint8_t record[kTelemetryRecordBytes] = {};
};

void CALLBACK Collect(SIMCONNECT_RECV* message, DWORD size, void* context) {
  auto* seen = static_cast<Seen*>(context);
  switch (message->dwID) {
    case SIMCONNECT_RECV_ID_OPEN:
      ++seen->opens;
      break;
    case SIMCONNECT_RECV_ID_EXCEPTION:
      ++seen->exceptions;
      break;
    case SIMCONNECT_RECV_ID_QUIT:
      ++seen->quits;
      break;
    case SIMCONNECT_RECV_ID_SIMOBJECT_DATA: {
      const auto* data = reinterpret_cast<SIMCONNECT_RECV_SIMOBJECT_DATA*>(message);
      if (data->dwRequestID == kTelemetryRequest &&
          size == wire::kSimObjectDataHeaderBytes + kTelemetryRecordBytes) {
        std::memcpy(seen->record, &data->dwData, kTelemetryRecordBytes);
        ++seen->data;
      }
      break;
    }
    default:
      break;
  }
}

std::int32_t RecordInt(const Seen& seen, std::size_t offset) {
  std::int32_t value;
  std::memcpy(&value, seen.record + offset, sizeof value);
  return value;
}

// Dispatches until `done` holds, for at most ten seconds.
template <typename Done>
bool DispatchUntil(HANDLE handle, Seen& seen, Done done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    SimConnect_CallDispatch(handle, Collect, &seen);
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

TEST(ClientLibraryAgainstSimulator, BridgeSubscriptionEventsAndQuit) {
  ServerOptions options;
  options.port = 0;
  options.rate_hz = 200;
  World world;
  world.frozen = true;
  Server server(options, world, {});
  std::string error;
  ASSERT_TRUE(server.Listen(error)) << error;
  std::atomic<bool> stop{false};
  std::thread thread([&] { server.Run(stop); });
  const std::string address = "127.0.0.1:" + std::to_string(server.port());
  setenv("SKYHELM_SIM_ADDRESS", address.c_str(), 1);

  HANDLE handle = nullptr;
  ASSERT_EQ(SimConnect_Open(&handle, "Request Data", nullptr, 0, nullptr, 0), S_OK);
  for (const TelemetryDatum& d : kTelemetryDefinitionEntries) {
    SimConnect_AddToDataDefinition(handle, kTelemetryDefinition, d.datum_name, d.units_name,
                                   d.datum_type, 0.0f, SIMCONNECT_UNUSED);
  }
  SimConnect_RequestDataOnSimObject(handle, kTelemetryRequest, kTelemetryDefinition,
                                    SIMCONNECT_OBJECT_ID_USER, SIMCONNECT_PERIOD_SIM_FRAME);
  for (const ClientEventMapping& m : kClientEventMappings) {
    SimConnect_MapClientEventToSimEvent(handle, m.id, m.sim_event_name);
  }
  Seen seen;
  EXPECT_TRUE(DispatchUntil(handle, seen, [&] { return seen.data >= 3; }));
  EXPECT_EQ(seen.opens, 1);
  EXPECT_EQ(seen.exceptions, 0);
  EXPECT_EQ(RecordInt(seen, 260), 3000);

  SimConnect_TransmitClientEvent(handle, SIMCONNECT_OBJECT_ID_USER, kHeadingBugSet, 270,
                                 SIMCONNECT_GROUP_PRIORITY_STANDARD,
                                 SIMCONNECT_EVENT_FLAG_GROUPID_IS_PRIORITY);
  EXPECT_TRUE(DispatchUntil(handle, seen, [&] { return RecordInt(seen, 280) == 270; }));

  stop = true;
  thread.join();
  EXPECT_TRUE(DispatchUntil(handle, seen, [&] { return seen.quits > 0; }));
  EXPECT_EQ(seen.quits, 1);
  SimConnect_Close(handle);
}

}  // namespace
}  // namespace skyhelm::simulator
