// The system events a client can subscribe to and the system states it can ask for.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace skyhelm::simulator {

enum class SystemEvent {
  kOneSecond,    // "1sec": every simulated second
  kFourSeconds,  // "4sec"
  kSixHz,        // "6Hz": six times a simulated second
  kFrame,        // "Frame": every frame, as RECV_EVENT_FRAME
  kPauseFrame,   // "PauseFrame": every frame while paused, as RECV_EVENT_FRAME
  kPause,        // "Pause": on subscribing and at each change, data 1 paused
  kPaused,       // "Paused" / "Unpaused": at the change
  kUnpaused,
  kSim,       // "Sim": on subscribing and at each change, data 1 running
  kSimStart,  // "SimStart" / "SimStop": at the change
  kSimStop,
  kNever,  // a documented event nothing in this simulator causes (a crash, a view change...)
};

// Matched without regard to case; nullopt for a name the reference does not list.
std::optional<SystemEvent> FindSystemEvent(const std::string& name);

struct Subscription {
  SystemEvent event = SystemEvent::kNever;
  bool on = true;  // SetSystemEventState
};

// What the session saw last, to tell changes.
struct RunState {
  bool known = false;
  bool paused = false;
  double sim_time_s = 0.0;
};

// A system state's answer (RECV_SYSTEM_STATE); nullopt for a name the simulator does not know.
struct SystemStateValue {
  std::uint32_t integer = 0;
  float real = 0.0f;
  std::string text;
};
std::optional<SystemStateValue> SystemStateOf(const std::string& name, bool paused);

}  // namespace skyhelm::simulator
