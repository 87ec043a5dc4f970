// The real skyhelm-peer binary against a stand-in bridge on loopback: exit codes, output, what
// it sends, and its recordings.
#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/tools/fake_bridge.h"

namespace skyhelm::peer::testing {
namespace {

using skyhelm::testing::BinPath;
using skyhelm::testing::ChildProcess;
using skyhelm::testing::FreeLoopbackPort;
using skyhelm::testing::RunProgram;
using std::chrono::milliseconds;

constexpr milliseconds kGenerous(15000);

enum class Bridge { kNone, kLines, kNoData, kMalformed };

struct CliCase {
  const char* name;
  Bridge bridge;
  std::vector<std::string> args;  // --to is added when a bridge runs (or a closed port if none)
  int exit_code;
  std::string out_has;
  std::string err_has;
  std::vector<std::string> bridge_receives;
};

class PeerCli : public ::testing::TestWithParam<CliCase> {};

std::vector<std::string> Script(Bridge bridge) {
  switch (bridge) {
    case Bridge::kLines:
      return {TelemetryDatagram(350)};
    case Bridge::kNoData:
      return {"\r\n"};
    case Bridge::kMalformed:
      return {"v1.2,120,\n\r\n"};
    case Bridge::kNone:
      break;
  }
  return {};
}

TEST_P(PeerCli, ExitsAndPrintsAsDocumented) {
  const CliCase& c = GetParam();
  std::unique_ptr<FakeBridge> bridge;
  std::vector<std::string> args = c.args;
  if (c.bridge != Bridge::kNone) {
    bridge = std::make_unique<FakeBridge>(Script(c.bridge), true);
    args.insert(args.end(), {"--to", bridge->address()});
  } else if (c.exit_code != 2) {
    args.insert(args.end(), {"--to", "127.0.0.1:" + std::to_string(FreeLoopbackPort(true))});
  }
  const auto result = RunProgram(BinPath("skyhelm-peer"), args, {}, kGenerous);
  ASSERT_TRUE(result.exit_code.has_value()) << "did not end";
  EXPECT_EQ(*result.exit_code, c.exit_code) << result.out << result.err;
  EXPECT_NE(result.out.find(c.out_has), std::string::npos) << result.out;
  EXPECT_NE(result.err.find(c.err_has), std::string::npos) << result.err;
  if (bridge) {
    const std::vector<std::string> received = bridge->Received();
    ASSERT_GE(received.size(), c.bridge_receives.size());
    EXPECT_EQ(std::vector<std::string>(
                  received.begin(), received.begin() + static_cast<long>(c.bridge_receives.size())),
              c.bridge_receives);
  }
}

const std::vector<std::string> kShort = {"--timeout", "0.3"};

std::vector<std::string> Args(std::vector<std::string> args, bool short_timeout = true) {
  if (short_timeout) args.insert(args.end(), kShort.begin(), kShort.end());
  return args;
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Peer, PeerCli,
    ::testing::Values(
        CliCase{"send_prints_the_next_line", Bridge::kLines, Args({"send", "h270", "E", "v-500"}),
                0, "ground_speed=120 altitude=350 pitch=2.500000", "", {"h270", "E", "v-500"}},
        CliCase{"send_json", Bridge::kLines, Args({"send", "--json", "l900"}),
                0, "{\"ground_speed\":120,\"altitude\":350,", "", {"l900"}},
        CliCase{"line_sends_one", Bridge::kLines, Args({"line"}), 0, "true_heading=268", "", {"1"}},
        CliCase{"send_an_empty_datagram", Bridge::kLines, Args({"send", ""}), 0, "altitude=350", "", {""}},
        CliCase{"send_without_bridge", Bridge::kNone, Args({"send", "h270"}),
                1, "", "no line from 127.0.0.1:", {}},
        CliCase{"line_without_bridge", Bridge::kNone, Args({"line"}), 1, "", "within 0.3 s", {}},
        CliCase{"bridge_without_data", Bridge::kNoData, Args({"line"}), 1, "", "no data yet", {"1"}},
        CliCase{"bridge_with_malformed_lines", Bridge::kMalformed, Args({"send", "H"}),
                1, "", "malformed", {"H"}},
        CliCase{"watch_without_bridge", Bridge::kNone, Args({"watch", "--seconds", "5"}),
                1, "", "no line from", {}},
        CliCase{"record_without_bridge", Bridge::kNone, Args({"record", "--out", "/nonexistent-dir/never.csv"}),
                1, "", "no line from", {}},
        CliCase{"record_to_unwritable_file", Bridge::kLines,
                Args({"record", "--out", "/nonexistent-dir/x.csv", "--seconds", "5"}, false),
                1, "", "cannot write", {"1"}},
        CliCase{"help", Bridge::kNone, {"--help"}, 0, "Exit codes: 0 success", "", {}},
        CliCase{"no_subcommand", Bridge::kNone, {}, 2, "", "subcommand", {}},
        CliCase{"send_without_text", Bridge::kNone, {"send"}, 2, "", "TEXT", {}},
        CliCase{"bad_address", Bridge::kNone, {"line", "--to", "127.0.0.1"}, 2, "", "HOST:PORT", {}},
        CliCase{"negative_timeout", Bridge::kNone, {"line", "--timeout", "-1"}, 2, "", "", {}},
        CliCase{"record_without_out", Bridge::kNone, {"record"}, 2, "", "--out", {}}),
    [](const auto& param_info) { return std::string(param_info.param.name); });
// clang-format on

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
}

TEST(PeerWatch, ClaimsTheBridgeAgainWhileItIsSilent) {
  // The first "1" goes unanswered (as when another peer holds the bridge); the claim repeats.
  FakeBridge bridge({TelemetryDatagram(350)}, true, /*ignore_first=*/1);
  const auto result = RunProgram(
      BinPath("skyhelm-peer"),
      {"watch", "--seconds", "3", "--timeout", "10", "--to", bridge.address()}, {}, kGenerous);
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_NE(result.out.find("altitude=350"), std::string::npos);
  const std::vector<std::string> received = bridge.Received();
  ASSERT_GE(received.size(), 2u);
  EXPECT_EQ(received[1], "1");
}

std::string ReadFile(const std::string& path) {
  std::ifstream file(path);
  std::stringstream contents;
  contents << file.rdbuf();
  return contents.str();
}

std::string TempPath(const std::string& name) {
  return ::testing::TempDir() + "skyhelm_peer_" + std::to_string(getpid()) + "_" + name;
}

TEST(PeerRecord, WritesOneRowPerDistinctLineAndCountsTheRest) {
  std::vector<std::string> script;
  for (int altitude_ft : {100, 200, 300}) {
    for (int i = 0; i < 10; ++i) script.push_back(TelemetryDatagram(altitude_ft));
    script.push_back("\r\n");
    script.push_back("garbage");
  }
  script.push_back(TelemetryDatagram(400));
  FakeBridge bridge(script, false, 0, /*max_answers=*/1);
  const std::string path = TempPath("distinct.csv");
  const auto result = RunProgram(
      BinPath("skyhelm-peer"),
      {"record", "--out", path, "--seconds", "2", "--to", bridge.address()}, {}, kGenerous);
  ASSERT_EQ(result.exit_code, 0) << result.err;
  const std::vector<std::string> rows = Lines(ReadFile(path));
  ASSERT_EQ(rows.size(), 5u) << ReadFile(path);
  EXPECT_EQ(rows[0].rfind("time_s,ground_speed,altitude,pitch,bank,", 0), 0u);
  EXPECT_NE(rows[0].find(",true_heading,gear_position"), std::string::npos);
  const char* altitudes[] = {",120,100,", ",120,200,", ",120,300,", ",120,400,"};
  for (int i = 0; i < 4; ++i) EXPECT_NE(rows[i + 1].find(altitudes[i]), std::string::npos);
  EXPECT_NE(result.out.find("record: 4 rows written to " + path), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("27 duplicates skipped, 3 malformed, 3 no-data"), std::string::npos)
      << result.out;
  std::remove(path.c_str());
}

TEST(PeerRecord, EndsCleanlyOnSigintAndWarnsWhenLinesStop) {
  FakeBridge bridge({TelemetryDatagram(100), TelemetryDatagram(200)}, true);
  const std::string path = TempPath("sigint.csv");
  auto child = ChildProcess::Start(BinPath("skyhelm-peer"), {"record", "--out", path, "--timeout",
                                                             "0.5", "--to", bridge.address()});
  const auto deadline = std::chrono::steady_clock::now() + kGenerous;
  while (!std::ifstream(path) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(milliseconds(10));
  }
  bridge.FallSilent();
  ASSERT_TRUE(child->WaitForStderr("no line from the bridge", kGenerous)) << child->Stderr();
  child->Signal(SIGINT);
  ASSERT_EQ(child->Wait(kGenerous), 0) << child->Stderr();
  EXPECT_NE(child->Stdout().find("record: "), std::string::npos);
  const std::vector<std::string> rows = Lines(ReadFile(path));
  ASSERT_GE(rows.size(), 1u);
  EXPECT_EQ(rows[0].rfind("time_s,", 0), 0u);
  std::remove(path.c_str());
}

}  // namespace
}  // namespace skyhelm::peer::testing
