// The real skyhelm-peer and the example peers of docs/protocol.md against the real bridge and the
// stand-in simulator, all on loopback: exit codes and output, recordings and watch.
#include <gtest/gtest.h>
#include <signal.h>

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
    {true, {"record", "--out", "/nonexistent-dir/x.csv", "--seconds", "5"}, 1, "",
     "cannot write /nonexistent-dir/x.csv: No such file or directory"},
    {false, {"send", "help"}, 2, "", "refused: \"elp\" after h would be ignored"},
    {false, {"--version"}, 0, "skyhelm-peer 0.", ""},
    {false, {"--help"}, 0, "Exit codes: 0 success", ""},
    {false, {"bogus"}, 2, "", "\"bogus\" is not a subcommand"},
    {false, {"line", "--timeout", "abc"}, 2, "",
     "\"abc\" is not a number of seconds above 0 to 86400"},
    {false, {"send", "h270"}, 1, "", "no line from 127.0.0.1:"},
    {false, {"watch", "--seconds", "5"}, 1, "", "within 0.3 s"},
    {false, {"record", "--out", "/nonexistent-dir/never.csv"}, 1, "", "no line from"},
    {false, {}, 2, "", "subcommand"},
    {false, {"line", "--to", "127.0.0.1"}, 2, "", "HOST:PORT"},
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

// A recorder that the scheduler stops now and then finds the lines queued in its socket: no
// takeover. Another peer's one-shot `line` is one, and the recorder claims the stream back.
TEST_F(PeerRig, RecordWritesDistinctRowsAndCountsOnlyARealTakeover) {
  ASSERT_NO_FATAL_FAILURE(StartBridge());
  auto record = ChildProcess::Start(kPeer, To({"record", "--out", "-", "--seconds", "4"}, "10"));
  ASSERT_TRUE(record->WaitForStdout("time_s,", kGenerous)) << record->Stderr();
  for (int i = 0; i < 10; ++i) {
    record->Signal(SIGSTOP);
    std::this_thread::sleep_for(milliseconds(60 + 7 * i));
    record->Signal(SIGCONT);
    std::this_thread::sleep_for(milliseconds(13 * i % 37));
  }
  EXPECT_EQ(RunProgram(kPeer, To({"line"}, "10")).exit_code, 0);
  ASSERT_EQ(record->Wait(kGenerous), 0) << record->Stderr();
  const std::string& err = record->Stderr();
  // The bridge sends each line on every pass: the repeats are counted, not written.
  EXPECT_NE(err.find(" 0 malformed"), std::string::npos) << err;
  EXPECT_EQ(err.find(" 0 duplicates"), std::string::npos) << err;
  EXPECT_NE(err.find("another peer took the bridge 1 time(s)"), std::string::npos) << err;
  std::vector<std::string> rows;
  std::istringstream stream(record->Stdout());
  for (std::string row; std::getline(stream, row);) rows.push_back(row);
  ASSERT_GE(rows.size(), 3u) << record->Stdout();
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

// Without a terminal, watch prints one line a second (here as JSON), and warns when the bridge
// stops.
TEST_F(PeerRig, WatchWithoutATerminalPrintsLinesAndWarnsWhenTheBridgeStops) {
  ASSERT_NO_FATAL_FAILURE(StartBridge());
  ASSERT_TRUE(test_support::LoopbackPeer(udp_port_).Join());
  auto watch = ChildProcess::Start(kPeer, To({"watch", "--json"}, "1"));
  ASSERT_TRUE(watch->WaitForStdout("{\"ground_speed\":", kGenerous)) << watch->Stderr();
  bridge_->Signal(SIGKILL);
  EXPECT_TRUE(watch->WaitForStderr("no line from the bridge for ", kGenerous)) << watch->Stderr();
}

// Each example sends its heading, drains the stream and prints the newest line, which must show it.
TEST_F(PeerRig, ExamplePeersCommandTheBridgeAndPrintTheNewestLine) {
  ASSERT_NO_FATAL_FAILURE(StartBridge());
  for (const auto& [heading, command] : {std::pair<std::string, std::vector<std::string>>{
                                             "270", {SKYHELM_PYTHON, SKYHELM_PYTHON_PEER}},
                                         {"271", {SKYHELM_C_PEER}}}) {
    SCOPED_TRACE(command.back());
    std::vector<std::string> args(command.begin() + 1, command.end());
    args.insert(args.end(), {"127.0.0.1", std::to_string(udp_port_), "h" + heading});
    const auto result = RunProgram(command.front(), args, {}, kGenerous);
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_NE(result.out.find("heading_bug=" + heading + " "), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("altitude=3000 "), std::string::npos) << result.out;
    EXPECT_TRUE(sim_->WaitForStdout("HEADING_BUG_SET " + heading, kGenerous)) << sim_->Stdout();
  }
}

}  // namespace
}  // namespace skyhelm::peer
