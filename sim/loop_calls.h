// The bridge loop's two calls into the simulator client library, once the connection is open.
#pragma once

#include "sim/simconnect_api.h"

#include "sim/client_events.h"

namespace skyhelm {

// Hands every message that has arrived to HandleSimMessage (null context), within this call and
// on this thread. Never blocks; the library's result is ignored.
void DispatchSimMessages(HANDLE sim_handle);

// Fires the simulator event mapped to `event` on the user aircraft with the 32-bit data word, in
// the standard priority group. The result is ignored: a rejected or unmapped event changes
// nothing here.
void TransmitCommandEvent(HANDLE sim_handle, ClientEvent event, DWORD data);

}  // namespace skyhelm
