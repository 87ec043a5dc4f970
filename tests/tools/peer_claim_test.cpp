// When the peer tool sends its claim "1": at once, after silence, and now and then while lines
// arrive. Scripted times; the claims go over a real loopback socket and are counted there.
#include "tools/peer/peer_claim.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace skyhelm::peer {
namespace {

using std::chrono::milliseconds;

// A UDP socket on 127.0.0.1 standing in for the bridge; counts what reaches it.
class FakeBridge {
 public:
  FakeBridge() {
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    address_.sin_family = AF_INET;
    address_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<sockaddr*>(&address_), sizeof address_);
    socklen_t length = sizeof address_;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&address_), &length);
  }
  ~FakeBridge() { close(fd_); }
  FakeBridge(const FakeBridge&) = delete;
  FakeBridge& operator=(const FakeBridge&) = delete;

  const sockaddr_in& address() const { return address_; }

  std::vector<std::string> Drain() {
    std::vector<std::string> received;
    char bytes[64];
    ssize_t n;
    while ((n = recv(fd_, bytes, sizeof bytes, MSG_DONTWAIT)) >= 0) {
      received.emplace_back(bytes, static_cast<std::size_t>(n));
    }
    return received;
  }

 private:
  int fd_ = -1;
  sockaddr_in address_{};
};

// One step: at `at_ms`, optionally a line arrives first, then Tick runs.
struct Step {
  int at_ms;
  bool line_arrives;
  ClaimSent expected;
};

struct Scenario {
  const char* name;
  std::vector<Step> steps;
};

void PrintTo(const Scenario& c, std::ostream* os) { *os << c.name; }

class Claims : public ::testing::TestWithParam<Scenario> {};

TEST_P(Claims, SendOneDatagramPerClaim) {
  FakeBridge bridge;
  std::string error;
  std::optional<PeerSocket> socket = PeerSocket::Open(bridge.address(), error);
  ASSERT_TRUE(socket) << error;
  // Reclaim after 100 ms of silence, keep alive every 1000 ms.
  PeerClaim claim(milliseconds(100), milliseconds(1000));
  LineTracker tracker;
  const Clock::time_point start = Clock::now();
  std::size_t claims = 0;
  for (const Step& step : GetParam().steps) {
    const Clock::time_point now = start + milliseconds(step.at_ms);
    if (step.line_arrives) tracker.Feed("v1.2,\r\n", now);
    const ClaimSent sent = claim.Tick(*socket, tracker, now);
    EXPECT_EQ(sent, step.expected) << "at " << step.at_ms << " ms";
    if (sent != ClaimSent::kNone) ++claims;
  }
  const std::vector<std::string> received = bridge.Drain();
  EXPECT_EQ(received.size(), claims);
  for (const std::string& datagram : received) EXPECT_EQ(datagram, "1");
}

constexpr ClaimSent kNone = ClaimSent::kNone;
constexpr ClaimSent kSilence = ClaimSent::kAfterSilence;
constexpr ClaimSent kAlive = ClaimSent::kKeepAlive;

INSTANTIATE_TEST_SUITE_P(
    PeerClaim, Claims,
    ::testing::Values(
        Scenario{"FirstTickClaims", {{0, false, kSilence}, {50, false, kNone}}},
        Scenario{"SilentBridgeIsClaimedAgain",
                 {{0, false, kSilence},
                  {99, false, kNone},
                  {100, false, kSilence},
                  {150, false, kNone},
                  {200, false, kSilence}}},
        // Silence counts from the newest datagram, not from the claim.
        Scenario{
            "SilenceCountsFromTheLastLine",
            {{0, false, kSilence}, {80, true, kNone}, {150, false, kNone}, {180, false, kSilence}}},
        // A steady stream still sends a claim once per keep-alive period, and only one.
        Scenario{"SteadyStreamKeepsAlive",
                 {{0, true, kSilence},
                  {50, true, kNone},
                  {950, true, kNone},
                  {1000, true, kAlive},
                  {1010, true, kNone},
                  {1990, true, kNone},
                  {2000, true, kAlive}}},
        // A keep-alive restarts the silence clock like any claim.
        Scenario{"KeepAliveThenSilence",
                 {{0, true, kSilence},
                  {1000, true, kAlive},
                  {1050, false, kNone},
                  {1100, false, kSilence}}}),
    [](const ::testing::TestParamInfo<Scenario>& scenario) {
      return std::string(scenario.param.name);
    });

// After a claim at 100 ms, datagrams reach the socket at `arrivals_ms` (read whenever).
struct WitnessCase {
  const char* name;
  std::vector<int> arrivals_ms;
  bool takeover;
};

void PrintTo(const WitnessCase& c, std::ostream* os) { *os << c.name; }

class Witness : public ::testing::TestWithParam<WitnessCase> {};

TEST_P(Witness, CallsATakeoverOnlyWhenTheStreamResumesBecauseOfTheClaim) {
  TakeoverWitness witness(milliseconds(30));
  const Clock::time_point start = Clock::now();
  witness.ClaimedAfterSilence(start + milliseconds(100));
  witness.ClaimedAfterSilence(start + milliseconds(150));  // a later claim of the same pause
  bool takeover = false;
  for (int at : GetParam().arrivals_ms) takeover |= witness.Arrived(start + milliseconds(at));
  EXPECT_EQ(takeover, GetParam().takeover);
}

INSTANTIATE_TEST_SUITE_P(
    PeerClaim, Witness,
    ::testing::Values(WitnessCase{"AnsweredAtOnce", {101, 102}, true},
                      // Queued while this process was late: the bridge never stopped sending.
                      WitnessCase{"ArrivedBeforeTheClaimButReadAfterIt", {90, 101}, false},
                      WitnessCase{"ResumedOnItsOwnLater", {140}, false},
                      WitnessCase{"LaterClaimOfTheSamePauseDoesNotCount", {151}, false}),
    [](const auto& test) { return std::string(test.param.name); });

}  // namespace
}  // namespace skyhelm::peer
