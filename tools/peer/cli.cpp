// CLI11 wiring for skyhelm-peer.
#include "tools/peer/cli.h"

#include <CLI/CLI.hpp>

#include <cstdlib>
#include <ostream>

#include "tools/peer/one_shot.h"
#include "tools/peer/peer_socket.h"
#include "tools/peer/record.h"
#include "tools/peer/stop_signal.h"
#include "tools/peer/watch.h"

namespace skyhelm::peer {
namespace {

constexpr const char* kExitCodes =
    "Exit codes: 0 success, 1 no valid line within --timeout (or another run-time failure), "
    "2 bad usage or a refused command, 130 interrupted (Ctrl-C).";

// Seconds within [min_s, max_s] (min_s itself excluded when `above`), with a short message.
CLI::Validator SecondsIn(double min_s, double max_s, bool above) {
  const std::string range = std::string(above ? "above " : "from ") +
                            (min_s == 0 ? "0" : std::to_string(min_s)) + " to " +
                            std::to_string(static_cast<long>(max_s));
  return CLI::Validator(
      [=](std::string& text) -> std::string {
        char* end = nullptr;
        const double value = std::strtod(text.c_str(), &end);
        const bool low_ok = above ? value > min_s : value >= min_s;
        if (!text.empty() && *end == '\0' && low_ok && value <= max_s) return {};
        return "\"" + text.substr(0, 32) + "\" is not a number of seconds " + range;
      },
      "SECONDS");
}

void AddCommonOptions(CLI::App& command, CommonOptions& common) {
  command.add_option("--to", common.bridge_text, "The bridge's UDP address, HOST:PORT")
      ->capture_default_str();
  command
      .add_option("--timeout", common.timeout_s,
                  "Seconds to wait for a telemetry line before giving up with exit code 1")
      ->capture_default_str()
      ->check(SecondsIn(0, 86400, true));
}

struct Commands {
  CommonOptions common;
  SendOptions send;
  WatchOptions watch;
  RecordOptions record;
  CLI::App* send_command = nullptr;
  CLI::App* line_command = nullptr;
  CLI::App* watch_command = nullptr;
  CLI::App* record_command = nullptr;
};

void AddSend(CLI::App& app, Commands& c) {
  c.send_command = app.add_subcommand(
      "send",
      "Check each TEXT with the bridge's own command rules and say what it will do (on standard "
      "error), send each as one datagram, in order, listen for half a second and print the newest "
      "telemetry line as name=value pairs. Texts that look like a mistake are refused (exit 2)");
  c.send_command->add_option("TEXT", c.send.texts, "Datagrams to send, e.g. h270 v-500 E")
      ->required();
  c.send_command->add_flag("--json", c.send.json, "Print the line as one JSON object");
  c.send_command->add_flag("--raw", c.send.raw,
                           "Send texts the command check refuses (words, ignored letters or "
                           "values, over 1024 bytes) as they are");
  c.send_command->add_flag("--confirm", c.send.confirm,
                           "Wait until a line shows the commands' effect (settings, modes, the "
                           "gear moving); exit 1 when none does within --timeout");
  AddCommonOptions(*c.send_command, c.common);
}

void AddLine(CLI::App& app, Commands& c) {
  c.line_command = app.add_subcommand(
      "line",
      "Send \"1\" (which commands nothing), listen for half a second and print the newest "
      "decoded telemetry line; notes on standard error when it did not change meanwhile");
  c.line_command->add_flag("--json", c.send.json, "Print the line as one JSON object");
  AddCommonOptions(*c.line_command, c.common);
}

void AddWatch(CLI::App& app, Commands& c) {
  c.watch_command = app.add_subcommand(
      "watch",
      "Live view of every field, the lines per second and the age of the newest line; type a "
      "command and press Enter to send it, q or Ctrl-C quits. When standard input or output is "
      "not a terminal, prints one decoded line a second instead");
  c.watch_command
      ->add_option("--seconds", c.watch.seconds, "Stop after this many seconds (0: never)")
      ->check(SecondsIn(0, 1e7, false));
  c.watch_command->add_flag("--plain", c.watch.force_plain,
                            "Print one decoded line a second even on a terminal");
  c.watch_command->add_flag("--json", c.watch.json, "Print JSON objects (printing mode only)");
  c.watch_command->add_flag("--raw", c.watch.raw,
                            "Send typed texts the command check refuses as they are");
  AddCommonOptions(*c.watch_command, c.common);
}

void AddRecord(CLI::App& app, Commands& c) {
  c.record_command = app.add_subcommand(
      "record",
      "Write one CSV row per distinct telemetry line (time_s = seconds since the start, then "
      "the 21 fields) until --seconds have passed or Ctrl-C. The summary (rows, duplicates "
      "skipped, malformed, gaps) goes to standard output (standard error with --out -), "
      "warnings to standard error");
  c.record_command
      ->add_option("--out", c.record.out_path, "The CSV file to write; - for standard output")
      ->required();
  c.record_command
      ->add_option("--seconds", c.record.seconds,
                   "Stop after this many seconds (0: until Ctrl-C or SIGTERM)")
      ->check(SecondsIn(0, 1e7, false));
  c.record_command->add_flag(
      "--commands", c.record.commands,
      "Also send the commands read from standard input, one per line, checked like `send`: "
      "the recorder stays the bridge's peer, so the recording has no holes");
  AddCommonOptions(*c.record_command, c.common);
}

int Dispatch(const Commands& c, std::ostream& out, std::ostream& err) {
  if (c.line_command->parsed()) {
    SendOptions line = c.send;
    line.texts.clear();
    return RunSend(c.common, line, out, err);
  }
  if (c.send_command->parsed()) return RunSend(c.common, c.send, out, err);
  if (c.watch_command->parsed()) return RunWatch(c.common, c.watch, out, err);
  return RunRecord(c.common, c.record, out, err);
}

}  // namespace

int RunCli(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
  CLI::App app(
      "A command-line peer for the Skyhelm bridge: sends commands, prints, watches "
      "and records its telemetry line.",
      "skyhelm-peer");
  app.footer(kExitCodes);
  app.set_version_flag("--version", std::string("skyhelm-peer ") + SKYHELM_VERSION);
  app.require_subcommand(1);
  Commands commands;
  AddSend(app, commands);
  AddLine(app, commands);
  AddWatch(app, commands);
  AddRecord(app, commands);
  for (CLI::App* command : app.get_subcommands({})) command->footer(kExitCodes);
  // CLI11 would only say that a subcommand is required; name the word that is not one.
  bool known = argc < 2 || argv[1][0] == '-';
  for (const CLI::App* command : app.get_subcommands({})) {
    known = known || command->get_name() == argv[1];
  }
  if (!known) {
    err << "\"" << argv[1] << "\" is not a subcommand: send, line, watch or record\n"
        << "Run with --help for more information.\n";
    return kExitUsage;
  }
  try {
    app.parse(argc, argv);
    std::string error;
    const auto bridge = ParseEndpoint(commands.common.bridge_text, error);
    if (!bridge) throw CLI::ValidationError("--to", error);
    commands.common.bridge = *bridge;
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e, out, err);
    return code == 0 ? kExitOk : kExitUsage;
  }
  InstallStopHandlers();
  return Dispatch(commands, out, err);
}

}  // namespace skyhelm::peer
