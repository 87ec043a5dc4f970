// The real bridge between the real stand-in simulator and a UDP peer, all on loopback.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/child_process.h"

namespace skyhelm {
namespace {

using skyhelm::testing::BinPath;
using skyhelm::testing::ChildProcess;
using skyhelm::testing::FreeLoopbackPort;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

constexpr milliseconds kPatience(10000);

const char kWorkedExampleLine[] =
    "v1.2,120,350,2.500000,-10.250000,3.000000,-5.000000,270,1,140,0,1,1,1,700,1,900,0,"
    "47.250000,-122.500000,268,1.000000,\n";

// The simulator's start values that give the worked-example line.
const std::vector<std::string> kWorkedExampleSettings = {
    "Ground Velocity=120",
    "Plane Altitude=350",
    "Plane Pitch Degrees=2.5",
    "Plane Bank Degrees=-10.25",
    "Autopilot Flight Director Pitch=3",
    "Autopilot Flight Director Bank=-5",
    "Autopilot Heading Lock Dir=270",
    "Autopilot Heading Lock=1",
    "Autopilot Airspeed Hold Var=140",
    "Autopilot Airspeed Hold=0",
    "Autopilot Throttle Arm=1",
    "Autopilot Flight Director Active=1",
    "Autopilot Master=1",
    "Autopilot Vertical Hold Var=700",
    "Autopilot Vertical Hold=1",
    "Autopilot Altitude Lock Var=900",
    "Autopilot Altitude Lock=0",
    "Plane Latitude=47.25",
    "Plane Longitude=-122.5",
    "Plane Heading Degrees True=268",
    "Gear Center Position=1",
};

// The seventh field of a line: the heading bug.
std::string HeadingBugField(const std::string& line) {
  std::size_t start = 0;
  for (int comma = 0; comma < 7; ++comma) {
    start = line.find(',', start);
    if (start == std::string::npos) return "";
    ++start;
  }
  return line.substr(start, line.find(',', start) - start);
}

// A UDP peer on 127.0.0.1.
class Peer {
 public:
  Peer() : socket_(::socket(AF_INET, SOCK_DGRAM, 0)) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(socket_, reinterpret_cast<const sockaddr*>(&local), sizeof local);
  }
  ~Peer() { ::close(socket_); }
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;

  void Send(int port, const std::string& bytes) const {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::sendto(socket_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to),
             sizeof to);
  }
  std::optional<std::string> Receive(milliseconds timeout) const {
    pollfd entry{socket_, POLLIN, 0};
    if (::poll(&entry, 1, static_cast<int>(timeout.count())) <= 0) return std::nullopt;
    char bytes[2048];
    const ssize_t n = ::recv(socket_, bytes, sizeof bytes, 0);
    if (n < 0) return std::nullopt;
    return std::string(bytes, static_cast<std::size_t>(n));
  }
  // Datagrams until one satisfies `wanted`; that one, or nullopt after kPatience.
  std::optional<std::string> ReceiveUntil(const std::function<bool(const std::string&)>& wanted) {
    const auto deadline = steady_clock::now() + kPatience;
    while (steady_clock::now() < deadline) {
      const auto datagram = Receive(milliseconds(100));
      if (datagram && wanted(*datagram)) return datagram;
    }
    return std::nullopt;
  }
  // Announces itself until the bridge answers (it binds on its first pass); false after kPatience.
  bool Join(int port) {
    const auto deadline = steady_clock::now() + kPatience;
    while (steady_clock::now() < deadline) {
      Send(port, "1");
      if (Receive(milliseconds(100))) return true;
    }
    return false;
  }

 private:
  int socket_;
};

class BridgeEndToEnd : public ::testing::Test {
 protected:
  // Starts the frozen simulator with `settings`, then the bridge pointed at it, and waits until
  // the bridge runs its loop.
  void StartBoth(const std::vector<std::string>& settings) {
    std::vector<std::string> args = {"--port", "0", "--freeze"};
    for (const std::string& setting : settings) {
      args.push_back("--set");
      args.push_back(setting);
    }
    sim_ = ChildProcess::Start(BinPath("skyhelm-sim"), args);
    ASSERT_TRUE(sim_->WaitForStdout("\n", kPatience)) << sim_->Stderr();
    const std::string first_line = sim_->Stdout().substr(0, sim_->Stdout().find('\n'));
    const std::string prefix = "listening on ";
    ASSERT_EQ(first_line.rfind(prefix, 0), 0u) << first_line;
    const std::string sim_address = first_line.substr(prefix.size());

    bridge_port_ = FreeLoopbackPort(true);
    bridge_ = ChildProcess::Start(BinPath("skyhelm"), {std::to_string(bridge_port_)},
                                  {"SKYHELM_SIM_ADDRESS=" + sim_address});
    ASSERT_TRUE(bridge_->WaitForStdout("Running...\n", kPatience))
        << bridge_->Stdout() << bridge_->Stderr();
  }
  void StartWorkedExample() { StartBoth(kWorkedExampleSettings); }

  // The first telemetry line the peer receives (datagrams before the first record are "\r\n").
  std::optional<std::string> FirstLine(Peer& peer) {
    return peer.ReceiveUntil([](const std::string& d) { return d != "\r\n"; });
  }

  std::unique_ptr<ChildProcess> sim_;
  std::unique_ptr<ChildProcess> bridge_;
  int bridge_port_ = 0;
};

TEST_F(BridgeEndToEnd, PeerReceivesTheWorkedExampleLine) {
  ASSERT_NO_FATAL_FAILURE(StartWorkedExample());
  Peer peer;
  ASSERT_TRUE(peer.Join(bridge_port_));
  EXPECT_EQ(FirstLine(peer), std::string(kWorkedExampleLine) + "\r\n");
}

TEST_F(BridgeEndToEnd, HeadingCommandReachesTheSimulatorAndComesBackInALaterLine) {
  ASSERT_NO_FATAL_FAILURE(StartBoth({"Autopilot Heading Lock Dir=90"}));
  Peer peer;
  ASSERT_TRUE(peer.Join(bridge_port_));
  const auto before = FirstLine(peer);
  ASSERT_TRUE(before);
  EXPECT_EQ(HeadingBugField(*before), "90");

  peer.Send(bridge_port_, "h270");
  EXPECT_TRUE(sim_->WaitForStdout("event HEADING_BUG_SET 270\n", kPatience)) << sim_->Stdout();
  EXPECT_TRUE(bridge_->WaitForStderr("Heading Set\n", kPatience));
  const auto after =
      peer.ReceiveUntil([](const std::string& d) { return HeadingBugField(d) == "270"; });
  EXPECT_TRUE(after) << "the heading bug never showed 270";
}

TEST_F(BridgeEndToEnd, ChainedAndSignedCommandsBecomeEventsInOrder) {
  ASSERT_NO_FATAL_FAILURE(StartBoth({}));
  Peer peer;
  ASSERT_TRUE(peer.Join(bridge_port_));
  peer.Send(bridge_port_, "v-500");
  peer.Send(bridge_port_, "FE");
  peer.Send(bridge_port_, "l900");
  EXPECT_TRUE(sim_->WaitForStdout("event AP_ALT_VAR_SET_ENGLISH 900\n", kPatience));
  const std::string& out = sim_->Stdout();
  const std::size_t vs = out.find("event AP_VS_VAR_SET_ENGLISH -500\n");
  const std::size_t fd = out.find("event TOGGLE_FLIGHT_DIRECTOR 0\n");
  const std::size_t ap = out.find("event AP_MASTER 0\n");
  ASSERT_NE(vs, std::string::npos) << out;
  ASSERT_NE(fd, std::string::npos) << out;
  ASSERT_NE(ap, std::string::npos) << out;
  EXPECT_LT(vs, fd);
  EXPECT_LT(fd, ap);
  EXPECT_TRUE(bridge_->WaitForStderr("Altitude Set\n900", kPatience)) << bridge_->Stderr();
}

TEST_F(BridgeEndToEnd, SimulatorKilledBridgeKeepsSendingTheLastLine) {
  ASSERT_NO_FATAL_FAILURE(StartWorkedExample());
  Peer peer;
  ASSERT_TRUE(peer.Join(bridge_port_));
  ASSERT_EQ(FirstLine(peer), std::string(kWorkedExampleLine) + "\r\n");

  sim_->Signal(SIGKILL);
  ASSERT_TRUE(sim_->Wait(kPatience).has_value());

  // A fresh peer only hears lines sent after the simulator was gone; a command to the departed
  // simulator changes nothing.
  Peer later;
  later.Send(bridge_port_, "h100");
  ASSERT_TRUE(later.Join(bridge_port_));
  for (int i = 0; i < 200; ++i) {
    const auto datagram = later.Receive(kPatience);
    ASSERT_TRUE(datagram) << "silent after " << i;
    ASSERT_EQ(*datagram, std::string(kWorkedExampleLine) + "\r\n");
  }
  EXPECT_TRUE(bridge_->Running());
}

class BridgeStopSignal : public BridgeEndToEnd, public ::testing::WithParamInterface<int> {};

TEST_P(BridgeStopSignal, EndsTheLoopClosesAndExitsZero) {
  ASSERT_NO_FATAL_FAILURE(StartWorkedExample());
  Peer peer;
  ASSERT_TRUE(peer.Join(bridge_port_));
  bridge_->Signal(GetParam());
  const auto status = bridge_->Wait(kPatience);
  ASSERT_TRUE(status.has_value()) << "still running";
  EXPECT_EQ(*status, 0);
  EXPECT_EQ(bridge_->Stdout(),
            "Initializing...\nPort is set to " + std::to_string(bridge_port_) +
                "\nSetting Up UDP Client...\nStarting Skyhelm Setup...\nRunning...\n");
  // The connection was closed, not dropped with the process: the simulator saw the client leave.
  EXPECT_TRUE(sim_->WaitForStdout("disconnected", kPatience)) << sim_->Stdout();
}

INSTANTIATE_TEST_SUITE_P(Signals, BridgeStopSignal, ::testing::Values(SIGTERM, SIGINT),
                         [](const auto& test) { return test.param == SIGTERM ? "Term" : "Int"; });

}  // namespace
}  // namespace skyhelm
