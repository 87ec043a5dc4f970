// The real binary's start-up with no simulator answering: exact texts, status 0.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/support/bridge_rig.h"

namespace skyhelm::test_support {
namespace {

const std::string kTexts =
    "Initializing...\nPort is set to %\nSetting Up UDP Client...\n"
    "Starting Skyhelm Setup...\n";

TEST(Startup, WritesTheFourTextsAndExitsZeroWithoutSimulator) {
  const struct {
    std::vector<std::string> args;
    std::string shown_port;  // as given (not its low 16 bits); extra arguments are ignored
    StderrMode stderr_mode;
  } cases[] = {{{}, "47001", StderrMode::kCaptured},
               {{"-1", "extra"}, "-1", StderrMode::kCaptured},
               {{"70000"}, "70000", StderrMode::kCaptured},
               {{"900x"}, "900", StderrMode::kIntoStdout}};
  // A port that nothing listens on, so the connection is refused at once.
  const std::string nowhere = "127.0.0.1:" + std::to_string(FreeLoopbackPort(false));
  for (const auto& c : cases) {
    SCOPED_TRACE("skyhelm " + Joined(c.args));
    auto bridge = ChildProcess::Start(BinPath("skyhelm"), c.args,
                                      {"SKYHELM_SIM_ADDRESS=" + nowhere}, c.stderr_mode);
    ASSERT_EQ(bridge->Wait(kPatience), 0);
    std::string texts = kTexts;
    texts.replace(texts.find('%'), 1, c.shown_port);
    if (c.stderr_mode == StderrMode::kIntoStdout) {
      // As in a log written with 2>&1: each status text once, in the order written, the client
      // library's complaint last, on one line.
      EXPECT_EQ(bridge->Stdout().substr(0, texts.size() + 24), texts + "SimConnect_Open failed: ");
      EXPECT_EQ(bridge->Stdout().find('\n', texts.size()), bridge->Stdout().size() - 1);
    } else {
      EXPECT_EQ(bridge->Stdout(), texts);
      // The debugger copies of the status messages go to standard error, in the same order.
      EXPECT_NE(bridge->Stderr().find(
                    "Initializing...\nSetting Up UDP Client...\nStarting Skyhelm Setup...\n"),
                std::string::npos)
          << bridge->Stderr();
    }
  }
}

// As with the simulator's own library, the open succeeds once the connection is up: against a
// listener that never answers, the bridge runs (with no data) and the library says why, once.
TEST(StartupWithASilentListener, RunsAndSaysOnceThatNoAnswerCame) {
  sockaddr_in address{};
  const int listener = ListenOnLoopback(4, address);
  ASSERT_GE(listener, 0);
  const std::string silent = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
  auto bridge = StartBridge(FreeLoopbackPort(true), silent);
  ASSERT_NE(bridge, nullptr);
  const std::string why = "SimConnect: the simulator did not answer in time (" + silent + ")\n";
  EXPECT_TRUE(bridge->WaitForStderr(why, kPatience)) << bridge->Stderr();
  EXPECT_TRUE(bridge->Running());
  EXPECT_EQ(bridge->Stderr().find("SimConnect:"), bridge->Stderr().rfind("SimConnect:"));
  ::close(listener);
}

}  // namespace
}  // namespace skyhelm::test_support
