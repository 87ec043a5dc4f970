// Command-line parsing for skyhelm-sim (CLI11), start values from --set, the --list text.
#include "simulator/options.h"

#include <CLI/CLI.hpp>

#include <cstdlib>
#include <sstream>

#include "simulator/catalogue.h"
#include "simulator/sim_events.h"

namespace skyhelm::simulator {
namespace {

const char* const kServedCalls =
    "Standard input: a line \"pause\" or \"resume\" pauses the simulation (the Pause, Sim and\n"
    "SimStart/SimStop system events follow it).\n"
    "\n"
    "SimConnect calls (protocol versions 2 to 6):\n"
    "  served:  Open; AddToDataDefinition, ClearDataDefinition (every variable of --list; INT32,\n"
    "           INT64, FLOAT32, FLOAT64, STRING8..STRING260, LATLONALT); RequestDataOnSimObject\n"
    "           (user aircraft; periods, CHANGED, TAGGED, origin, interval, limit, epsilon);\n"
    "           SetDataOnSimObject (settable variables; plain or tagged);\n"
    "           MapClientEventToSimEvent (the key events the model knows, custom names with a\n"
    "           period, private empty names), TransmitClientEvent;\n"
    "           AddClientEventToNotificationGroup, RemoveClientEvent,\n"
    "           SetNotificationGroupPriority, ClearNotificationGroup;\n"
    "           SubscribeToSystemEvent, UnsubscribeFromSystemEvent, SetSystemEventState (1sec,\n"
    "           4sec, 6Hz, Frame, PauseFrame, Pause, Paused, Unpaused, Sim, SimStart, SimStop);\n"
    "           RequestSystemState (Sim, AircraftLoaded, FlightLoaded, FlightPlan, DialogMode);\n"
    "           MapClientDataNameToID, CreateClientData, AddToClientDataDefinition,\n"
    "           ClearClientDataDefinition, RequestClientData, SetClientData\n"
    "  partly:  group priorities order a client's own events but mask nothing; documented system\n"
    "           events nothing here causes (Crashed, View, FlightLoaded ...) are accepted, never\n"
    "           sent; client data epsilon is ignored (any change counts)\n"
    "  refused: every other call, with an ERROR exception naming its send id\n"
    "  more than 64 clients: TOO_MANY_OBJECTS against the Open, then QUIT; an Open must come\n"
    "           within 5 s of connecting\n";

// Applies one NAME=VALUE; an empty result means it was applied.
std::string ApplySetting(const std::string& setting, SimState& state) {
  const std::size_t equals = setting.find('=');
  if (equals == std::string::npos) return "--set " + setting + ": expected NAME=VALUE";
  const std::string name = setting.substr(0, equals);
  const SimVariable* variable = FindVariable(name);
  if (variable == nullptr) return "--set " + setting + ": no simulation variable \"" + name + "\"";
  const std::string problem = SetFromText(state, *variable, setting.substr(equals + 1));
  return problem.empty() ? problem : "--set " + setting + ": " + problem;
}

CLI::Validator AboveZeroAtMost(double max_value) {
  return CLI::Validator(
      [max_value](std::string& text) -> std::string {
        char* end = nullptr;
        const double value = std::strtod(text.c_str(), &end);
        if (!text.empty() && *end == '\0' && value > 0.0 && value <= max_value) return {};
        std::ostringstream message;
        message << "Value " << text << " not in range (0 - " << max_value << "]";
        return message.str();
      },
      "(0 - " + std::to_string(static_cast<int>(max_value)) + "]");
}

void DefineOptions(CLI::App& app, SimOptions& options, std::vector<std::string>& settings) {
  app.add_option("--port", options.server.port, "TCP port on 127.0.0.1 (0 picks a free one)")
      ->capture_default_str()
      ->check(CLI::Validator(
          [](std::string& text) -> std::string {
            char* end = nullptr;
            const long value = std::strtol(text.c_str(), &end, 10);
            if (!text.empty() && *end == '\0' && value >= 0 && value <= 65535) return {};
            return "\"" + text.substr(0, 32) + "\" is not a port number from 0 to 65535";
          },
          "PORT"));
  app.add_option("--rate", options.server.rate_hz, "Simulation frames per second")
      ->check(CLI::Range(1.0, 1000.0))
      ->capture_default_str();
  app.add_option("--time-scale", options.server.time_scale, "Simulated seconds per real second")
      ->check(AboveZeroAtMost(1000.0))
      ->capture_default_str();
  app.add_option("--set", settings,
                 "Start value NAME=VALUE of a simulation variable, in its catalogue unit "
                 "(repeatable; see --list)")
      ->allow_extra_args(false);
  app.add_flag("--freeze", options.world.frozen,
               "The aircraft does not move; events take effect at once");
  app.add_flag("--list", options.list,
               "Print the variable catalogue with units, signs and references, and exit");
}

}  // namespace

int ParseOptions(int argc, const char* const* argv, SimOptions& options, std::string& out,
                 std::string& err) {
  CLI::App app("Stand-in flight simulator: serves one aircraft to client-library clients",
               "skyhelm-sim");
  app.set_version_flag("--version", std::string("skyhelm-sim ") + SKYHELM_VERSION);
  app.footer(kServedCalls);
  std::vector<std::string> settings;
  DefineOptions(app, options, settings);
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    out = app.help();
    return 0;
  } catch (const CLI::CallForVersion&) {
    out = app.version() + "\n";
    return 0;
  } catch (const CLI::ParseError& error) {
    err = std::string("skyhelm-sim: ") + error.what() + "\nRun with --help for more information.\n";
    return kUsageExitCode;
  }
  for (const std::string& setting : settings) {
    const std::string problem = ApplySetting(setting, options.world.state);
    if (!problem.empty()) {
      err = "skyhelm-sim: " + problem + "\n";
      return kUsageExitCode;
    }
  }
  return -1;
}

std::string CatalogueListing() {
  std::ostringstream text;
  for (const SimVariable& variable : Catalogue()) {
    const bool is_text = variable.family == UnitFamily::kText;
    const bool is_struct = variable.family == UnitFamily::kLatLonAlt;
    text << variable.name << "  ["
         << (is_text     ? "text"
             : is_struct ? "structure"
                         : CatalogueUnit(variable.family))
         << "]";
    const std::vector<std::string> units = UnitNames(variable.family);
    if (units.size() > 1) {
      text << "  also:";
      for (std::size_t i = 1; i < units.size(); ++i) text << (i > 1 ? ", " : " ") << units[i];
    }
    text << (variable.settable ? "  settable" : "") << "\n    " << variable.meaning << "\n";
  }
  text << "\nKey events (MapClientEventToSimEvent):\n";
  std::size_t column = 0;
  for (const char* name : SimEventNames()) {
    const std::size_t width = std::string(name).size() + 2;
    if (column + width > 96) {
      text << "\n";
      column = 0;
    }
    text << "  " << name;
    column += width;
  }
  text << "\n";
  return text.str();
}

}  // namespace skyhelm::simulator
