// The bridge loop's calls into the simulator client library.
#include "sim/loop_calls.h"

#include "sim/telemetry.h"

namespace skyhelm {

void DispatchSimMessages(HANDLE sim_handle) {
  SimConnect_CallDispatch(sim_handle, &HandleSimMessage, nullptr);
}

void TransmitCommandEvent(HANDLE sim_handle, ClientEvent event, DWORD data) {
  SimConnect_TransmitClientEvent(sim_handle, SIMCONNECT_OBJECT_ID_USER, event, data,
                                 SIMCONNECT_GROUP_PRIORITY_STANDARD,
                                 SIMCONNECT_EVENT_FLAG_GROUPID_IS_PRIORITY);
}

}  // namespace skyhelm
