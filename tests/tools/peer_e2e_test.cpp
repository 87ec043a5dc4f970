// The real skyhelm-peer and the example peers of docs/protocol.md against the real bridge and the
// stand-in simulator, all on loopback: exit codes and output, recordings, and the live view on a
// pseudo-terminal.
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/bridge_rig.h"
#include "tests/support/loopback_peer.h"
#include "tests/support/test_names.h"

namespace skyhelm::peer {
namespace {

using std::chrono::milliseconds;
using test_support::BinPath;
using test_support::ChildProcess;
using test_support::RunProgram;

constexpr milliseconds kGenerous(20000);
const std::string kPeer = BinPath("skyhelm-peer");

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
}

class PeerRig : public ::testing::Test {
 protected:
  // Starts (or restarts) the simulator and the bridge on udp_port_.
  void StartBridge() {
    int sim_port = 0;
    sim_ = test_support::StartSimulator({"--time-scale", "5"}, sim_port);
    ASSERT_TRUE(sim_) << "skyhelm-sim did not start";
    bridge_ = test_support::StartBridge(udp_port_, sim_port);
    ASSERT_TRUE(bridge_) << "the bridge did not reach its loop";
  }
  std::vector<std::string> To(std::vector<std::string> args, const char* timeout_s,
                              const std::string& address = "") {
    args.insert(args.end(), {"--to", address.empty() ? address_ : address, "--timeout", timeout_s});
    return args;
  }

  const int udp_port_ = test_support::FreeLoopbackPort(true);
  const std::string address_ = "127.0.0.1:" + std::to_string(udp_port_);
  std::unique_ptr<ChildProcess> sim_, bridge_;
};

struct CliCase {
  bool bridge;                    // to the bridge; else to a port nobody listens on
  std::vector<std::string> args;  // --to and --timeout are added unless the exit code is 2
  int exit_code;
  std::string out_has, err_has;
  const char* sim_has = "";  // what the simulator must log
};

// clang-format off
const CliCase kCliCases[] = {
    {true, {"send", "h270"}, 0, "heading_hold=", "", "HEADING_BUG_SET 270"},
    {true, {"send", "--json", "l900"}, 0, "{\"ground_speed\":", "", "AP_ALT_VAR_SET_ENGLISH 900"},
    {true, {"send", "--confirm", "l4200"}, 0, "altitude_setting=4200 ",
     "l4200 -> altitude setting 4200 ft", "AP_ALT_VAR_SET_ENGLISH 4200"},
    {true, {"send", "--raw", "help"}, 0, "", "sending anyway (--raw): \"elp\" after h",
     "HEADING_BUG_SET 0"},
    {true, {"record", "--out", "-", "--seconds", "1"}, 0, "time_s,ground_speed,",
     "rows written to - in"},
    {true, {"record", "--out", "/nonexistent-dir/x.csv", "--seconds", "5"}, 1, "",
     "cannot write /nonexistent-dir/x.csv: No such file or directory"},
    {false, {"send", "help"}, 2, "", "refused: \"elp\" after h would be ignored"},
    {false, {"send", "h400"}, 2, "", "h400 is out of range: heading bug takes 0 to 360"},
    {false, {"--version"}, 0, "skyhelm-peer 0.", ""},
    {false, {"--help"}, 0, "Exit codes: 0 success", ""},
    {false, {"bogus"}, 2, "", "\"bogus\" is not a subcommand"},
    {false, {"line", "--timeout", "abc"}, 2, "",
     "\"abc\" is not a number of seconds above 0 to 86400"},
    {false, {"send", "h270"}, 1, "", "no line from 127.0.0.1:"},
    {false, {"line"}, 1, "", "within 0.3 s"},
    {false, {"watch", "--seconds", "5"}, 1, "", "no line from"},
    {false, {"record", "--out", "/nonexistent-dir/never.csv"}, 1, "", "no line from"},
    {false, {}, 2, "", "subcommand"},
    {false, {"send"}, 2, "", "TEXT"},
    {false, {"line", "--to", "127.0.0.1"}, 2, "", "HOST:PORT"},
    {false, {"line", "--timeout", "-1"}, 2, "", ""},
    {false, {"record"}, 2, "", "--out"},
};
// clang-format on

TEST_F(PeerRig, CommandLinesExitAndPrintAsDocumented) {
  ASSERT_NO_FATAL_FAILURE(StartBridge());
  // "Running..." comes before the first pass binds the port, and a one-shot send is not
  // repeated: wait until the bridge answers.
  ASSERT_TRUE(test_support::LoopbackPeer(udp_port_).Join());
  const std::string nobody = "127.0.0.1:" + std::to_string(test_support::FreeLoopbackPort(true));
  for (const CliCase& c : kCliCases) {
    SCOPED_TRACE("skyhelm-peer " + test_support::Joined(c.args));
    const auto args =
        c.exit_code == 2 ? c.args : To(c.args, c.bridge ? "10" : "0.3", c.bridge ? "" : nobody);
    const auto result = RunProgram(kPeer, args, {}, kGenerous);
    EXPECT_EQ(result.exit_code, c.exit_code) << result.out << result.err;
    EXPECT_NE(result.out.find(c.out_has), std::string::npos) << result.out;
    EXPECT_NE(result.err.find(c.err_has), std::string::npos) << result.err;
    EXPECT_TRUE(sim_->WaitForStdout(c.sim_has, kGenerous)) << sim_->Stdout();
  }
}

// What happens while `record` runs for three seconds, and what its summary must (not) say.
enum class Meanwhile { kNothing, kAnotherPeerClaims, kRecorderStalls, kBridgePauses, kCtrlC };
struct RecordCase {
  const char* name;
  Meanwhile meanwhile;
  int exit_code;
  const char* err_has;
  const char* err_lacks;  // nullptr: nothing
};
void PrintTo(const RecordCase& c, std::ostream* os) { *os << c.name; }
class Record : public PeerRig, public ::testing::WithParamInterface<RecordCase> {};

void Pause(ChildProcess& child, milliseconds ms) {
  child.Signal(SIGSTOP);
  std::this_thread::sleep_for(ms);
  child.Signal(SIGCONT);
}

TEST_P(Record, WritesDistinctRowsUnderTheHeaderAndSumsUp) {
  ASSERT_NO_FATAL_FAILURE(StartBridge());
  auto record = ChildProcess::Start(kPeer, To({"record", "--out", "-", "--seconds", "3"}, "10"));
  ASSERT_TRUE(record->WaitForStdout("time_s,", kGenerous)) << record->Stderr();
  switch (GetParam().meanwhile) {
    case Meanwhile::kNothing:
      break;
    case Meanwhile::kAnotherPeerClaims:
      EXPECT_EQ(RunProgram(kPeer, To({"line"}, "10")).exit_code, 0);
      break;
    case Meanwhile::kRecorderStalls:  // as a loaded machine's scheduler would stop it
      for (int i = 0; i < 20; ++i) {
        Pause(*record, milliseconds(60 + 7 * i));
        std::this_thread::sleep_for(milliseconds(13 * i % 37));
      }
      break;
    case Meanwhile::kBridgePauses:
      Pause(*bridge_, milliseconds(400));
      break;
    case Meanwhile::kCtrlC:
      record->Signal(SIGINT);
  }
  ASSERT_EQ(record->Wait(kGenerous), GetParam().exit_code) << record->Stderr();
  const std::string& err = record->Stderr();
  EXPECT_NE(err.find(GetParam().err_has), std::string::npos) << err;
  // The bridge sends each line on every pass: the repeats are counted, not written.
  EXPECT_NE(err.find(" 0 malformed"), std::string::npos) << err;
  EXPECT_EQ(err.find(" 0 duplicates"), std::string::npos) << err;
  if (GetParam().err_lacks) {
    EXPECT_EQ(err.find(GetParam().err_lacks), std::string::npos) << err;
  }
  const std::vector<std::string> rows = Lines(record->Stdout());
  ASSERT_GE(rows.size(), GetParam().meanwhile == Meanwhile::kCtrlC ? 1u : 3u) << record->Stdout();
  EXPECT_EQ(rows[0],
            "time_s,ground_speed,altitude,pitch,bank,fd_pitch,fd_bank,heading_bug,heading_hold,"
            "speed_setting,speed_hold,throttle_arm,flight_director,autopilot_master,vs_setting,"
            "vs_hold,altitude_setting,altitude_hold,latitude,longitude,true_heading,"
            "gear_position");
  const auto values = [](const std::string& row) { return row.substr(row.find(',')); };
  for (std::size_t i = 1; i < rows.size(); ++i) {
    EXPECT_EQ(std::count(rows[i].begin(), rows[i].end(), ','), 21) << rows[i];
    EXPECT_TRUE(i == 1 || values(rows[i]) != values(rows[i - 1])) << "same values: " << rows[i];
  }
  EXPECT_NE(err.find("record: " + std::to_string(rows.size() - 1) + " rows written to - in"),
            std::string::npos)
      << err;
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Peer, Record, ::testing::Values(
    RecordCase{"undisturbed", Meanwhile::kNothing, 0, "record: ", nullptr},
    // The recorder claims the stream back at once and says so.
    RecordCase{"another_peer_takes_the_bridge", Meanwhile::kAnotherPeerClaims, 0,
               "another peer took the bridge 1 time(s)", nullptr},
    // A late reader finds the lines queued in its socket: neither a takeover nor a hole.
    RecordCase{"stalled_recorder_sees_no_takeover", Meanwhile::kRecorderStalls, 0, "record: ",
               "another peer took the bridge"},
    RecordCase{"bridge_pause_is_a_gap", Meanwhile::kBridgePauses, 0, "gap: no datagram for 0.",
               " 0 gaps over 0.10 s"},
    // 130, as a shell expects of an interrupted program; it still sums up.
    RecordCase{"interrupted", Meanwhile::kCtrlC, 130, "record: ", nullptr}),
    [](const auto& test) { return std::string(test.param.name); });
// clang-format on

TEST_F(PeerRig, LineWaitingForNobodyExitsWith130OnCtrlC) {
  auto line = ChildProcess::Start(kPeer, To({"line"}, "20"));
  std::this_thread::sleep_for(milliseconds(300));
  line->Signal(SIGINT);
  EXPECT_EQ(line->Wait(kGenerous), 130) << line->Stderr();
}

// With the simulator gone the bridge repeats its last line: --confirm notices that nothing
// takes effect, where a plain send would print that stale line and exit 0.
TEST_F(PeerRig, ConfirmFailsWhenTheSimulatorIsGone) {
  ASSERT_NO_FATAL_FAILURE(StartBridge());
  ASSERT_EQ(RunProgram(kPeer, To({"line"}, "10")).exit_code, 0);
  sim_->Signal(SIGKILL);
  ASSERT_TRUE(sim_->Wait(kGenerous));
  const auto result = RunProgram(kPeer, To({"send", "--confirm", "h123"}, "1"), {}, kGenerous);
  EXPECT_EQ(result.exit_code, 1) << result.out << result.err;
  EXPECT_NE(result.err.find("not confirmed: heading_bug is still 90"), std::string::npos)
      << result.err;
}

// Without a terminal, watch prints one line a second as JSON; when the bridge dies it warns, and
// it claims the restarted bridge (which answers only whoever sends to it) without help.
TEST_F(PeerRig, WatchWithoutATerminalWarnsAndReclaimsARestartedBridge) {
  ASSERT_NO_FATAL_FAILURE(StartBridge());
  auto watch = ChildProcess::Start(kPeer, To({"watch", "--json"}, "10"));
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

// skyhelm-peer watch as the session leader of a new pseudo-terminal; the parameter ends the view.
class WatchOnATerminal : public PeerRig, public ::testing::WithParamInterface<const char*> {
 protected:
  void TearDown() override {
    if (pid_ > 0) kill(pid_, SIGKILL), waitpid(pid_, nullptr, 0);
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
  winsize size{40, 120, 0, 0};
  pid_ = forkpty(&master_, nullptr, nullptr, &size);
  if (pid_ == 0) {
    execl(kPeer.c_str(), kPeer.c_str(), "watch", "--to", address_.c_str(), "--timeout", "10",
          static_cast<char*>(nullptr));
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

// Each example sends h270, drains the stream and prints the newest line, which must show it.
class ExamplePeers : public PeerRig,
                     public ::testing::WithParamInterface<std::vector<std::string>> {};

TEST_P(ExamplePeers, CommandTheBridgeAndPrintTheNewestLine) {
  ASSERT_NO_FATAL_FAILURE(StartBridge());
  std::vector<std::string> args(GetParam().begin() + 1, GetParam().end());
  args.insert(args.end(), {"127.0.0.1", std::to_string(udp_port_), "h270"});
  const auto result = RunProgram(GetParam().front(), args, {}, kGenerous);
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_NE(result.out.find("heading_bug=270 "), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("altitude=3000 "), std::string::npos) << result.out;
  EXPECT_TRUE(sim_->WaitForStdout("HEADING_BUG_SET 270", kGenerous)) << sim_->Stdout();
}

INSTANTIATE_TEST_SUITE_P(Docs, ExamplePeers,
                         ::testing::Values(std::vector<std::string>{SKYHELM_PYTHON,
                                                                    SKYHELM_PYTHON_PEER},
                                           std::vector<std::string>{SKYHELM_C_PEER}),
                         [](const auto& test) { return test.index == 0 ? "python" : "c"; });

}  // namespace
}  // namespace skyhelm::peer
