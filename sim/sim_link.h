// The simulator connection: open, declare the telemetry subscription and the client events, run
// the bridge loop, close; and the loop's two calls on the open connection.
#pragma once

#include "sim/simconnect_api.h"

#include <atomic>
#include <cstdint>

#include "sim/client_events.h"

namespace skyhelm {

// Holds the simulator connection for the whole run. Clears stop_flag, opens the connection as
// client "Request Data" into sim_handle (returns at once and silently when that fails), adds the
// 22 entries of data definition 0, requests it for the user aircraft every simulation frame as
// request 0, maps the eleven client events, calls run_loop(context), and when that returns closes
// the connection. The results of everything but the open are ignored: a rejected entry, request or
// mapping does not stop the start-up.
void RunSimLink(HANDLE& sim_handle, std::atomic<std::int32_t>& stop_flag,
                void (*run_loop)(void* context), void* context);

// Hands every message that has arrived to HandleSimMessage (null context), within this call and
// on this thread. Never blocks; the library's result is ignored.
void DispatchSimMessages(HANDLE sim_handle);

// Fires the simulator event mapped to `event` on the user aircraft with the 32-bit data word, in
// the standard priority group. The result is ignored: a rejected or unmapped event changes
// nothing here.
void TransmitCommandEvent(HANDLE sim_handle, ClientEvent event, DWORD data);

}  // namespace skyhelm
