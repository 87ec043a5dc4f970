// The real skyhelm-peer against the real bridge and the stand-in simulator, all on loopback:
// exit codes and output, recordings, and the live view on a pseudo-terminal.
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/bridge_rig.h"
#include "tests/support/loopback_peer.h"

namespace skyhelm::peer {
namespace {

using skyhelm::test_support::BinPath;
using skyhelm::test_support::ChildProcess;
using std::chrono::milliseconds;

constexpr milliseconds kGenerous(20000);

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
}

class PeerAgainstBridge : public ::testing::Test {
 protected:
  // Starts (or restarts) the simulator and the bridge on udp_port_.
  void StartBridge() {
    int sim_port = 0;
    sim_ = test_support::StartSimulator({"--time-scale", "5"}, sim_port);
    ASSERT_TRUE(sim_) << "skyhelm-sim did not start";
    bridge_ = test_support::StartBridge(udp_port_, sim_port);
    ASSERT_TRUE(bridge_) << "the bridge did not reach its loop";
  }

  std::vector<std::string> WithBridge(std::vector<std::string> args, const char* timeout_s) {
    args.insert(args.end(), {"--to", bridge_address_, "--timeout", timeout_s});
    return args;
  }

  const int udp_port_ = skyhelm::test_support::FreeLoopbackPort(true);
  const std::string bridge_address_ = "127.0.0.1:" + std::to_string(udp_port_);
  std::unique_ptr<ChildProcess> sim_;
  std::unique_ptr<ChildProcess> bridge_;
};

struct CliCase {
  const char* name;
  bool bridge;                    // start the bridge first; without it the port stays closed
  std::vector<std::string> args;  // --to and --timeout are added unless the exit code is 2
  int exit_code;
  std::string out_has;
  std::string err_has;
  std::string sim_has;  // what the simulator must log (with a bridge)
};

void PrintTo(const CliCase& c, std::ostream* os) { *os << c.name; }

class PeerCli : public PeerAgainstBridge, public ::testing::WithParamInterface<CliCase> {};

TEST_P(PeerCli, ExitsAndPrintsAsDocumented) {
  const CliCase& c = GetParam();
  if (c.bridge) {
    ASSERT_NO_FATAL_FAILURE(StartBridge());
    // "Running..." comes before the first pass binds the port, and a one-shot send is not
    // repeated: wait until the bridge answers.
    ASSERT_TRUE(skyhelm::test_support::LoopbackPeer(udp_port_).Join());
  }
  const std::vector<std::string> args =
      c.exit_code == 2 ? c.args : WithBridge(c.args, c.bridge ? "10" : "0.3");
  const auto result =
      skyhelm::test_support::RunProgram(BinPath("skyhelm-peer"), args, {}, kGenerous);
  EXPECT_EQ(result.exit_code, c.exit_code) << result.out << result.err;
  EXPECT_NE(result.out.find(c.out_has), std::string::npos) << result.out;
  EXPECT_NE(result.err.find(c.err_has), std::string::npos) << result.err;
  if (c.bridge) {
    EXPECT_TRUE(sim_->WaitForStdout(c.sim_has, kGenerous)) << sim_->Stdout();
  }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Peer, PeerCli, ::testing::Values(
    CliCase{"send", true, {"send", "h270"}, 0, "heading_hold=", "", "HEADING_BUG_SET 270"},
    CliCase{"send_json", true, {"send", "--json", "l900"}, 0, "{\"ground_speed\":", "",
            "AP_ALT_VAR_SET_ENGLISH 900"},
    CliCase{"record_to_unwritable_file", true,
            {"record", "--out", "/nonexistent-dir/x.csv", "--seconds", "5"}, 1, "",
            "cannot write /nonexistent-dir/x.csv: No such file or directory", ""},
    CliCase{"send_confirm", true, {"send", "--confirm", "l4200"}, 0, "altitude_setting=4200 ",
            "l4200 -> altitude setting 4200 ft", "AP_ALT_VAR_SET_ENGLISH 4200"},
    CliCase{"record_to_stdout", true, {"record", "--out", "-", "--seconds", "1"}, 0,
            "time_s,ground_speed,", "rows written to - in", ""},
    CliCase{"send_help_is_refused", false, {"send", "help"}, 2, "",
            "refused: \"elp\" after h would be ignored", ""},
    CliCase{"send_out_of_range_is_refused", false, {"send", "h400"}, 2, "",
            "h400 is out of range: heading bug takes 0 to 360", ""},
    CliCase{"version", false, {"--version"}, 0, "skyhelm-peer 0.", "", ""},
    CliCase{"unknown_subcommand", false, {"bogus"}, 2, "", "\"bogus\" is not a subcommand", ""},
    CliCase{"timeout_not_a_number", false, {"line", "--timeout", "abc"}, 2, "",
            "\"abc\" is not a number of seconds above 0 to 86400", ""},
    CliCase{"send_without_bridge", false, {"send", "h270"}, 1, "", "no line from 127.0.0.1:", ""},
    CliCase{"line_without_bridge", false, {"line"}, 1, "", "within 0.3 s", ""},
    CliCase{"watch_without_bridge", false, {"watch", "--seconds", "5"}, 1, "", "no line from", ""},
    CliCase{"record_without_bridge", false, {"record", "--out", "/nonexistent-dir/never.csv"}, 1, "",
            "no line from", ""},
    CliCase{"help", false, {"--help"}, 0, "Exit codes: 0 success", "", ""},
    CliCase{"no_subcommand", false, {}, 2, "", "subcommand", ""},
    CliCase{"send_without_text", false, {"send"}, 2, "", "TEXT", ""},
    CliCase{"bad_address", false, {"line", "--to", "127.0.0.1"}, 2, "", "HOST:PORT", ""},
    CliCase{"negative_timeout", false, {"line", "--timeout", "-1"}, 2, "", "", ""},
    CliCase{"record_without_out", false, {"record"}, 2, "", "--out", ""}),
    [](const auto& param_info) { return std::string(param_info.param.name); });
// clang-format on

TEST_F(PeerAgainstBridge, RecordWritesDistinctRowsUnderTheHeaderAndCountsRepeats) {
  ASSERT_NO_FATAL_FAILURE(StartBridge());
  const std::string path =
      ::testing::TempDir() + "skyhelm_peer_e2e_" + std::to_string(getpid()) + ".csv";
  const auto result = skyhelm::test_support::RunProgram(
      BinPath("skyhelm-peer"), WithBridge({"record", "--out", path, "--seconds", "2"}, "10"), {},
      kGenerous);
  ASSERT_EQ(result.exit_code, 0) << result.err;
  std::ifstream file(path);
  const std::vector<std::string> rows =
      Lines(std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()));
  std::remove(path.c_str());
  ASSERT_GE(rows.size(), 3u) << "the simulator sends 60 frames a second";
  EXPECT_EQ(rows[0],
            "time_s,ground_speed,altitude,pitch,bank,fd_pitch,fd_bank,heading_bug,heading_hold,"
            "speed_setting,speed_hold,throttle_arm,flight_director,autopilot_master,vs_setting,"
            "vs_hold,altitude_setting,altitude_hold,latitude,longitude,true_heading,"
            "gear_position");
  const auto values = [](const std::string& row) { return row.substr(row.find(',')); };
  for (std::size_t i = 1; i < rows.size(); ++i) {
    EXPECT_EQ(std::count(rows[i].begin(), rows[i].end(), ','), 21) << rows[i];
    if (i > 1) {
      EXPECT_NE(values(rows[i]), values(rows[i - 1])) << "rows differ beyond their time: " << i;
    }
  }
  const std::string summary = "record: " + std::to_string(rows.size() - 1) + " rows written to ";
  EXPECT_NE(result.out.find(summary + path), std::string::npos) << result.out;
  EXPECT_NE(result.out.find(" 0 malformed"), std::string::npos) << result.out;
  EXPECT_EQ(result.out.find(" 0 duplicates"), std::string::npos)
      << "the bridge repeats each line on every pass: " << result.out;
}

// Ctrl-C while `line` waits ends it with 130, as a shell expects of an interrupted program.
// Ctrl-C ends every subcommand with 130; record still sums up what it wrote.
TEST_F(PeerAgainstBridge, InterruptedLineAndRecordExitWith130) {
  ASSERT_NO_FATAL_FAILURE(StartBridge());
  auto record =
      ChildProcess::Start(BinPath("skyhelm-peer"), WithBridge({"record", "--out", "-"}, "20"));
  ASSERT_TRUE(record->WaitForStdout("time_s,", kGenerous)) << record->Stderr();
  record->Signal(SIGINT);
  EXPECT_EQ(record->Wait(kGenerous), 130) << record->Stderr();
  EXPECT_NE(record->Stderr().find("record: "), std::string::npos) << record->Stderr();
  bridge_.reset();  // line then waits for a line that never comes
  auto line = ChildProcess::Start(BinPath("skyhelm-peer"), WithBridge({"line"}, "20"));
  std::this_thread::sleep_for(milliseconds(300));
  line->Signal(SIGINT);
  EXPECT_EQ(line->Wait(kGenerous), 130) << line->Stderr();
}

// With the simulator gone the bridge repeats its last line: --confirm notices that nothing
// takes effect, where a plain send would print that stale line and exit 0.
TEST_F(PeerAgainstBridge, ConfirmFailsWhenTheSimulatorIsGone) {
  ASSERT_NO_FATAL_FAILURE(StartBridge());
  ASSERT_EQ(skyhelm::test_support::RunProgram(BinPath("skyhelm-peer"), WithBridge({"line"}, "10"))
                .exit_code,
            0);
  sim_->Signal(SIGKILL);
  ASSERT_TRUE(sim_->Wait(kGenerous));
  const auto result = skyhelm::test_support::RunProgram(
      BinPath("skyhelm-peer"), WithBridge({"send", "--confirm", "h123"}, "1"), {}, kGenerous);
  EXPECT_EQ(result.exit_code, 1) << result.out << result.err;
  EXPECT_NE(result.err.find("not confirmed: heading_bug is still 90"), std::string::npos)
      << result.err;
}

// A second peer takes the stream away; the recorder claims it back at once and says so.
TEST_F(PeerAgainstBridge, RecordReportsAnotherPeerTakingTheBridge) {
  ASSERT_NO_FATAL_FAILURE(StartBridge());
  auto record = ChildProcess::Start(BinPath("skyhelm-peer"),
                                    WithBridge({"record", "--out", "-", "--seconds", "3"}, "10"));
  ASSERT_TRUE(record->WaitForStdout("time_s,", kGenerous)) << record->Stderr();
  const auto line =
      skyhelm::test_support::RunProgram(BinPath("skyhelm-peer"), WithBridge({"line"}, "10"));
  EXPECT_EQ(line.exit_code, 0) << line.err;
  ASSERT_EQ(record->Wait(kGenerous), 0) << record->Stderr();
  EXPECT_NE(record->Stderr().find("another peer took the bridge 1 time(s)"), std::string::npos)
      << record->Stderr();
}

// A recorder that is late to read (stopped, as a loaded machine's scheduler would) finds the lines
// queued in its socket: neither a takeover nor a hole.
TEST_F(PeerAgainstBridge, RecordUnderADelayedReaderClaimsNoTakeover) {
  ASSERT_NO_FATAL_FAILURE(StartBridge());
  auto record = ChildProcess::Start(BinPath("skyhelm-peer"),
                                    WithBridge({"record", "--out", "-", "--seconds", "3"}, "10"));
  ASSERT_TRUE(record->WaitForStdout("time_s,", kGenerous)) << record->Stderr();
  for (int i = 0; i < 20; ++i) {
    record->Signal(SIGSTOP);
    std::this_thread::sleep_for(milliseconds(60 + 7 * i));
    record->Signal(SIGCONT);
    std::this_thread::sleep_for(milliseconds(13 * i % 37));
  }
  ASSERT_EQ(record->Wait(kGenerous), 0) << record->Stderr();
  EXPECT_EQ(record->Stderr().find("another peer took the bridge"), std::string::npos)
      << record->Stderr();
}

// A bridge that pauses leaves a hole in the recording, which record counts and reports.
TEST_F(PeerAgainstBridge, RecordReportsAGapWhenTheBridgePauses) {
  ASSERT_NO_FATAL_FAILURE(StartBridge());
  // Long enough that the pause falls inside it even when the first line comes late (a loaded
  // machine).
  auto record = ChildProcess::Start(BinPath("skyhelm-peer"),
                                    WithBridge({"record", "--out", "-", "--seconds", "3"}, "10"));
  ASSERT_TRUE(record->WaitForStdout("time_s,", kGenerous)) << record->Stderr();
  bridge_->Signal(SIGSTOP);
  std::this_thread::sleep_for(milliseconds(400));
  bridge_->Signal(SIGCONT);
  ASSERT_EQ(record->Wait(kGenerous), 0) << record->Stderr();
  EXPECT_NE(record->Stderr().find("gap: no datagram for 0."), std::string::npos)
      << record->Stderr();
  EXPECT_EQ(record->Stderr().find(" 0 gaps over 0.10 s"), std::string::npos) << record->Stderr();
}

// Without a terminal, watch prints one line a second as JSON; when the bridge dies it warns, and
// it claims the restarted bridge (which answers only whoever sends to it) without help.
TEST_F(PeerAgainstBridge, WatchWithoutATerminalWarnsAndReclaimsARestartedBridge) {
  ASSERT_NO_FATAL_FAILURE(StartBridge());
  auto watch = ChildProcess::Start(BinPath("skyhelm-peer"), WithBridge({"watch", "--json"}, "10"));
  ASSERT_TRUE(watch->WaitForStdout("}\n", kGenerous)) << watch->Stderr();
  bridge_->Signal(SIGKILL);
  ASSERT_TRUE(watch->WaitForStderr("no line from the bridge", kGenerous)) << watch->Stderr();
  ASSERT_NO_FATAL_FAILURE(StartBridge());
  ASSERT_TRUE(watch->WaitForStderr("lines arriving again", kGenerous)) << watch->Stderr();
  watch->Signal(SIGTERM);
  ASSERT_EQ(watch->Wait(kGenerous), 0) << watch->Stderr();
  for (const std::string& line : Lines(watch->Stdout())) {
    EXPECT_EQ(line.rfind("{\"ground_speed\":", 0), 0u) << line;
  }
}

// skyhelm-peer watch as the session leader of a new pseudo-terminal; `keys` end the view.
class WatchOnATerminal : public PeerAgainstBridge,
                         public ::testing::WithParamInterface<const char*> {
 protected:
  void TearDown() override {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (master_ >= 0) close(master_);
  }
  // Reads the screen until it holds `text`, or until the child has gone (EIO) or 20 s passed.
  bool ReadScreenUntil(const std::string& text) {
    const auto deadline = std::chrono::steady_clock::now() + kGenerous;
    while (screen_.find(text) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
      pollfd ready{master_, POLLIN, 0};
      if (poll(&ready, 1, 50) <= 0) continue;
      char buffer[4096];
      const ssize_t n = read(master_, buffer, sizeof buffer);
      if (n <= 0) break;
      screen_.append(buffer, static_cast<std::size_t>(n));
    }
    return screen_.find(text) != std::string::npos;
  }
  tcflag_t Mode() const {
    termios mode{};
    tcgetattr(master_, &mode);
    return mode.c_lflag & (ICANON | ECHO);
  }

  pid_t pid_ = -1;
  int master_ = -1;
  std::string screen_;
};

TEST_P(WatchOnATerminal, SendsTypedCommandsAndRestoresTheTerminal) {
  ASSERT_NO_FATAL_FAILURE(StartBridge());
  const std::string program = BinPath("skyhelm-peer");
  winsize size{40, 120, 0, 0};
  pid_ = forkpty(&master_, nullptr, nullptr, &size);
  if (pid_ == 0) {
    execl(program.c_str(), program.c_str(), "watch", "--to", bridge_address_.c_str(), "--timeout",
          "10", static_cast<char*>(nullptr));
    _exit(127);
  }
  ASSERT_GT(pid_, 0);
  ASSERT_TRUE(ReadScreenUntil("newest distinct line")) << screen_;
  EXPECT_EQ(Mode() & ECHO, 0u) << "raw mode while the view runs";

  ASSERT_EQ(write(master_, "h270\r", 5), 5);
  ASSERT_TRUE(ReadScreenUntil("sent h270")) << screen_;
  EXPECT_TRUE(sim_->WaitForStdout("HEADING_BUG_SET 270", kGenerous)) << sim_->Stdout();
  ASSERT_EQ(write(master_, "help\r", 5), 5);
  ASSERT_TRUE(ReadScreenUntil("refused help -> heading bug 0")) << screen_;

  ASSERT_EQ(write(master_, GetParam(), 1), 1);
  EXPECT_TRUE(ReadScreenUntil("\x1b[?1049l")) << "left the view's screen";
  int status = -1;
  for (int round = 0; round < 400 && waitpid(pid_, &status, WNOHANG) == 0; ++round) {
    poll(nullptr, 0, 50);
  }
  ASSERT_TRUE(WIFEXITED(status)) << "still running or killed: " << status;
  pid_ = -1;
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(Mode(), static_cast<tcflag_t>(ICANON | ECHO)) << "the cooked mode it started in";
  sim_->Pump();
  EXPECT_EQ(sim_->Stdout().find("HEADING_BUG_SET 0\n"), std::string::npos) << "help was sent";
}

INSTANTIATE_TEST_SUITE_P(Peer, WatchOnATerminal, ::testing::Values("q", "\x03"),
                         [](const auto& test) {
                           return std::string(test.param) == "q" ? "Q" : "CtrlC";
                         });

}  // namespace
}  // namespace skyhelm::peer
