// System events and states: SubscribeToSystemEvent, UnsubscribeFromSystemEvent,
// SetSystemEventState, RequestSystemState, and the events each frame brings.
#include "simulator/system_events.h"

#include <cmath>

#include "platform/text/text_util.h"
#include "simulator/client_session.h"
#include "simulator/units.h"

namespace skyhelm::simulator {
namespace {

using SE = SystemEvent;

struct SystemEventName {
  const char* name;
  SystemEvent event;
};

const SystemEventName kSystemEvents[] = {
    {"1sec", SE::kOneSecond},
    {"4sec", SE::kFourSeconds},
    {"6Hz", SE::kSixHz},
    {"Frame", SE::kFrame},
    {"PauseFrame", SE::kPauseFrame},
    {"Pause", SE::kPause},
    {"Paused", SE::kPaused},
    {"Unpaused", SE::kUnpaused},
    {"Sim", SE::kSim},
    {"SimStart", SE::kSimStart},
    {"SimStop", SE::kSimStop},
    {"AircraftLoaded", SE::kNever},
    {"Crashed", SE::kNever},
    {"CrashReset", SE::kNever},
    {"FlightLoaded", SE::kNever},
    {"FlightSaved", SE::kNever},
    {"FlightPlanActivated", SE::kNever},
    {"FlightPlanDeactivated", SE::kNever},
    {"ObjectAdded", SE::kNever},
    {"ObjectRemoved", SE::kNever},
    {"PositionChanged", SE::kNever},
    {"Sound", SE::kNever},
    {"View", SE::kNever},
    {"WeatherModeChanged", SE::kNever},
};

constexpr std::uint32_t kUnknownGroup = 0xFFFFFFFFu;

void PushEvent(std::uint32_t protocol, std::uint32_t id, std::uint32_t data, Outbox& out) {
  std::vector<std::uint8_t> message;
  wire::EncodeEventMessage(protocol, kUnknownGroup, id, data, message);
  out.Push(std::move(message), true);
}

// Whether a multiple of period_s lies in (before_s, now_s].
bool Crossed(double before_s, double now_s, double period_s) {
  return std::floor(now_s / period_s) > std::floor(before_s / period_s);
}

}  // namespace

std::optional<SystemEvent> FindSystemEvent(const std::string& name) {
  for (const SystemEventName& entry : kSystemEvents) {
    if (text::EqualsIgnoringCase(entry.name, name)) return entry.event;
  }
  return std::nullopt;
}

std::optional<SystemStateValue> SystemStateOf(const std::string& name, bool paused) {
  if (text::EqualsIgnoringCase(name, "Sim")) return SystemStateValue{paused ? 0u : 1u, 0.0f, ""};
  if (text::EqualsIgnoringCase(name, "DialogMode")) return SystemStateValue{0, 0.0f, ""};
  if (text::EqualsIgnoringCase(name, "AircraftLoaded")) {
    return SystemStateValue{0, 0.0f, "SimObjects\\Airplanes\\Skyhelm Trainer\\Skyhelm Trainer.air"};
  }
  if (text::EqualsIgnoringCase(name, "FlightLoaded")) {
    return SystemStateValue{0, 0.0f, "Flights\\Skyhelm\\Puget Sound.FLT"};
  }
  if (text::EqualsIgnoringCase(name, "FlightPlan")) return SystemStateValue{0, 0.0f, ""};  // none
  return std::nullopt;
}

void ClientSession::HandleSubscribe(const wire::Request& request, const World& world, Outbox& out) {
  const std::uint32_t id = request.general.words[0];
  const auto event = FindSystemEvent(request.general.text);
  if (!event) {
    Refuse(request, SIMCONNECT_EXCEPTION_NAME_UNRECOGNIZED, 2, out);
  } else if (subscriptions_.count(id) != 0) {
    Refuse(request, SIMCONNECT_EXCEPTION_EVENT_ID_DUPLICATE, 1, out);
  } else if (subscriptions_.size() >= kMaxSubscriptionsPerClient) {
    Refuse(request, SIMCONNECT_EXCEPTION_TOO_MANY_EVENT_NAMES, 1, out);
  } else {
    subscriptions_[id] = {*event, true};
    // "Pause" and "Sim" tell the current state at once, as the reference says.
    if (*event == SE::kPause) PushEvent(protocol_, id, world.paused ? 1 : 0, out);
    if (*event == SE::kSim) PushEvent(protocol_, id, world.paused ? 0 : 1, out);
  }
}

void ClientSession::HandleUnsubscribe(const wire::Request& request, Outbox& out) {
  if (subscriptions_.erase(request.general.words[0]) == 0) {
    Refuse(request, SIMCONNECT_EXCEPTION_UNRECOGNIZED_ID, 1, out);
  }
}

void ClientSession::HandleSystemEventState(const wire::Request& request, Outbox& out) {
  const auto subscription = subscriptions_.find(request.general.words[0]);
  if (subscription == subscriptions_.end()) {
    Refuse(request, SIMCONNECT_EXCEPTION_UNRECOGNIZED_ID, 1, out);
  } else if (request.general.words[1] > 1) {
    Refuse(request, SIMCONNECT_EXCEPTION_INVALID_ENUM, 2, out);
  } else {
    subscription->second.on = request.general.words[1] == 1;
  }
}

void ClientSession::HandleSystemState(const wire::Request& request, const World& world,
                                      Outbox& out) {
  const auto value = SystemStateOf(request.general.text, world.paused);
  if (!value) {
    Refuse(request, SIMCONNECT_EXCEPTION_NAME_UNRECOGNIZED, 2, out);
    return;
  }
  std::vector<std::uint8_t> message;
  wire::EncodeSystemStateMessage(protocol_, request.general.words[0], value->integer, value->real,
                                 value->text, message);
  out.Push(std::move(message), false);
}

void ClientSession::QueueSystemEvents(const World& world, const FrameTick& tick, Outbox& out) {
  const RunState before = last_run_.known ? last_run_ : RunState{true, world.paused, 0.0};
  last_run_ = {true, world.paused, tick.sim_time_s};
  if (subscriptions_.empty()) return;
  const bool changed = before.paused != world.paused;
  const double t0 = before.sim_time_s, t1 = tick.sim_time_s;
  for (const auto& [id, subscription] : subscriptions_) {
    if (!subscription.on) continue;
    switch (subscription.event) {
      case SE::kOneSecond:
        if (Crossed(t0, t1, 1.0)) PushEvent(protocol_, id, 0, out);
        break;
      case SE::kFourSeconds:
        if (Crossed(t0, t1, 4.0)) PushEvent(protocol_, id, 0, out);
        break;
      case SE::kSixHz:
        if (Crossed(t0, t1, 1.0 / 6.0)) PushEvent(protocol_, id, 0, out);
        break;
      case SE::kFrame:
      case SE::kPauseFrame:
        if (subscription.event == SE::kFrame || world.paused) {
          std::vector<std::uint8_t> message;
          wire::EncodeFrameEventMessage(protocol_, id, tick.rate_hz,
                                        world.paused ? 0.0f : tick.time_scale, message);
          out.Push(std::move(message), true);
        }
        break;
      case SE::kPause:
        if (changed) PushEvent(protocol_, id, world.paused ? 1 : 0, out);
        break;
      case SE::kSim:
        if (changed) PushEvent(protocol_, id, world.paused ? 0 : 1, out);
        break;
      case SE::kPaused:
      case SE::kSimStop:
        if (changed && world.paused) PushEvent(protocol_, id, 0, out);
        break;
      case SE::kUnpaused:
      case SE::kSimStart:
        if (changed && !world.paused) PushEvent(protocol_, id, 0, out);
        break;
      case SE::kNever:
        break;
    }
  }
}

}  // namespace skyhelm::simulator
