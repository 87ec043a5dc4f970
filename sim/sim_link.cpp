// The simulator connection and its two tables.
#include "sim/sim_link.h"

#include "sim/telemetry.h"
#include "sim/telemetry_schema.h"

namespace skyhelm {
namespace {

void DeclareTelemetry(HANDLE sim_handle) {
  for (const TelemetryDatum& datum : kTelemetryDefinitionEntries) {
    SimConnect_AddToDataDefinition(sim_handle, kTelemetryDefinition, datum.datum_name,
                                   datum.units_name, datum.datum_type, 0.0f, SIMCONNECT_UNUSED);
  }
  SimConnect_RequestDataOnSimObject(sim_handle, kTelemetryRequest, kTelemetryDefinition,
                                    SIMCONNECT_OBJECT_ID_USER, SIMCONNECT_PERIOD_SIM_FRAME, 0, 0, 0,
                                    0);
}

void MapClientEvents(HANDLE sim_handle) {
  for (const ClientEventMapping& mapping : kClientEventMappings) {
    SimConnect_MapClientEventToSimEvent(sim_handle, mapping.id, mapping.sim_event_name);
  }
}

}  // namespace

void RunSimLink(HANDLE& sim_handle, std::atomic<std::int32_t>& stop_flag,
                void (*run_loop)(void* context), void* context) {
  stop_flag = 0;
  if (SimConnect_Open(&sim_handle, "Request Data", nullptr, 0, nullptr, 0) < 0) return;
  DeclareTelemetry(sim_handle);
  MapClientEvents(sim_handle);
  run_loop(context);
  SimConnect_Close(sim_handle);
}

void DispatchSimMessages(HANDLE sim_handle) {
  SimConnect_CallDispatch(sim_handle, &HandleSimMessage, nullptr);
}

void TransmitCommandEvent(HANDLE sim_handle, ClientEvent event, DWORD data) {
  SimConnect_TransmitClientEvent(sim_handle, SIMCONNECT_OBJECT_ID_USER, event, data,
                                 SIMCONNECT_GROUP_PRIORITY_STANDARD,
                                 SIMCONNECT_EVENT_FLAG_GROUPID_IS_PRIORITY);
}

}  // namespace skyhelm
