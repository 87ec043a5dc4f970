// skyhelm-peer against the real bridge and the stand-in simulator, all on loopback.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/child_process.h"

namespace skyhelm::peer {
namespace {

using skyhelm::testing::BinPath;
using skyhelm::testing::ChildProcess;
using skyhelm::testing::FreeLoopbackPort;
using skyhelm::testing::RunProgram;
using std::chrono::milliseconds;

constexpr milliseconds kGenerous(20000);

class PeerAgainstBridge : public ::testing::Test {
 protected:
  void SetUp() override {
    sim_ = ChildProcess::Start(BinPath("skyhelm-sim"), {"--port", "0", "--time-scale", "5"});
    ASSERT_TRUE(sim_->WaitForStdout("\n", kGenerous)) << sim_->Stderr();
    const std::string first = sim_->Stdout().substr(0, sim_->Stdout().find('\n'));
    const std::string prefix = "listening on 127.0.0.1:";
    ASSERT_EQ(first.rfind(prefix, 0), 0u) << first;
    const std::string sim_address = "127.0.0.1:" + first.substr(prefix.size());
    const int udp_port = FreeLoopbackPort(true);
    bridge_address_ = "127.0.0.1:" + std::to_string(udp_port);
    bridge_ = ChildProcess::Start(BinPath("skyhelm"), {std::to_string(udp_port)},
                                  {"SKYHELM_SIM_ADDRESS=" + sim_address});
    ASSERT_TRUE(bridge_->WaitForStdout("Running...", kGenerous)) << bridge_->Stdout();
  }

  testing::RunResult Peer(std::vector<std::string> args) {
    args.insert(args.end(), {"--to", bridge_address_, "--timeout", "5"});
    return RunProgram(BinPath("skyhelm-peer"), args, {}, kGenerous);
  }

  std::unique_ptr<ChildProcess> sim_;
  std::unique_ptr<ChildProcess> bridge_;
  std::string bridge_address_;
};

std::vector<std::string> ReadLines(const std::string& path) {
  std::ifstream file(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(file, line);) lines.push_back(line);
  return lines;
}

std::string WithoutTime(const std::string& row) { return row.substr(row.find(',')); }

TEST_F(PeerAgainstBridge, RecordWritesDistinctRowsUnderTheHeader) {
  const std::string path =
      ::testing::TempDir() + "skyhelm_peer_e2e_" + std::to_string(getpid()) + ".csv";
  const auto result = Peer({"record", "--out", path, "--seconds", "2"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  const std::vector<std::string> rows = ReadLines(path);
  ASSERT_GE(rows.size(), 10u) << "the simulator runs at 60 frames a second";
  EXPECT_EQ(rows[0],
            "time_s,ground_speed,altitude,pitch,bank,fd_pitch,fd_bank,heading_bug,heading_hold,"
            "speed_setting,speed_hold,throttle_arm,flight_director,autopilot_master,vs_setting,"
            "vs_hold,altitude_setting,altitude_hold,latitude,longitude,true_heading,"
            "gear_position");
  for (std::size_t i = 2; i < rows.size(); ++i) {
    EXPECT_NE(WithoutTime(rows[i]), WithoutTime(rows[i - 1])) << "row " << i;
    EXPECT_EQ(std::count(rows[i].begin(), rows[i].end(), ','), 21) << rows[i];
  }
  EXPECT_NE(result.out.find("record: " + std::to_string(rows.size() - 1) + " rows"),
            std::string::npos)
      << result.out;
  EXPECT_NE(result.out.find(" 0 malformed"), std::string::npos) << result.out;
  EXPECT_EQ(result.out.find(" 0 duplicates"), std::string::npos)
      << "the bridge repeats each line on every pass: " << result.out;
  std::remove(path.c_str());
}

TEST_F(PeerAgainstBridge, ASentHeadingShowsInALaterLineAndAtTheSimulator) {
  const auto sent = Peer({"send", "h270"});
  ASSERT_EQ(sent.exit_code, 0) << sent.err;
  EXPECT_TRUE(sim_->WaitForStdout("HEADING_BUG_SET 270", kGenerous)) << sim_->Stdout();
  bool seen = false;
  for (int attempt = 0; attempt < 50 && !seen; ++attempt) {
    const auto line = Peer({"line"});
    ASSERT_EQ(line.exit_code, 0) << line.err;
    seen = line.out.find("heading_bug=270 ") != std::string::npos;
  }
  EXPECT_TRUE(seen);
}

TEST_F(PeerAgainstBridge, WatchPrintsLiveLinesWithoutATerminal) {
  const auto result = Peer({"watch", "--seconds", "2.5", "--json"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  std::istringstream lines(result.out);
  int count = 0;
  for (std::string line; std::getline(lines, line); ++count) {
    EXPECT_EQ(line.rfind("{\"ground_speed\":", 0), 0u) << line;
  }
  EXPECT_GE(count, 2);
}

}  // namespace
}  // namespace skyhelm::peer
