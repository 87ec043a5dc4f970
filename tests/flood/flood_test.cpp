// A datagram flood at the bridge from several loopback senders: the bridge stays up, applies the
// probe commands among the flood exactly once each and nothing else, and its memory holds.
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/fault/bridge_rig.h"

namespace skyhelm::testing {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kSenders = 4;
constexpr std::size_t kDatagramsPerSender = 50000;  // 200,000 in all
constexpr std::size_t kMaxFloodBytes = 1500;
constexpr auto kFloodTimeCap = std::chrono::seconds(60);
constexpr long kGrowthBoundKiB = 1024;
// No datagram of the flood may carry a command: its first byte is never a command letter.
constexpr char kHarmlessFirstBytes[] = "1x0123456789";

struct SenderTally {
  std::size_t sent = 0;
  std::size_t lines_back = 0;
};

// Sizes 0..1500 (those above 1024 are receive failures at the bridge), first byte harmless, the
// rest arbitrary bytes, deterministic per sender.
std::string FloodDatagram(std::uint32_t& state) {
  state = state * 1664525u + 1013904223u;
  const std::size_t size = (state >> 8) % (kMaxFloodBytes + 1);
  std::string datagram(size, '\0');
  for (std::size_t i = 0; i < size; ++i) {
    state = state * 1664525u + 1013904223u;
    datagram[i] = static_cast<char>(state >> 24);
  }
  if (size > 0) datagram[0] = kHarmlessFirstBytes[(state >> 4) % (sizeof kHarmlessFirstBytes - 1)];
  return datagram;
}

void Flood(int port, std::uint32_t seed, SenderTally& tally, std::size_t count) {
  UdpPeer sender;
  const auto stop_at = Clock::now() + kFloodTimeCap;
  std::uint32_t state = seed;
  for (std::size_t i = 0; i < count && Clock::now() < stop_at; ++i) {
    if (sender.Send(port, FloodDatagram(state))) ++tally.sent;
    if (i % 64 == 0) {
      while (auto line = sender.Receive(milliseconds(0)))
        tally.lines_back += IsTelemetryDatagram(*line);
    }
  }
}

class BridgeFlood : public ::testing::Test {
 protected:
  void SetUp() override {
    sim_ = StartSimulator({"--freeze"}, sim_port_);
    ASSERT_NE(sim_, nullptr);
    udp_port_ = FreeLoopbackPort(true);
    bridge_ = StartBridge(udp_port_, sim_port_, MeasuredChildEnvironment());
    ASSERT_NE(bridge_, nullptr);
    ASSERT_TRUE(prober_.Register(udp_port_).has_value());
  }

  // Sends "h<value>" and records the value as one the simulator may see.
  void Probe(int value) {
    probes_.insert(value);
    prober_.Send(udp_port_, "h" + std::to_string(value));
  }

  bool SimulatorSaw(int value) {
    return sim_->WaitForStdout("event HEADING_BUG_SET " + std::to_string(value) + "\n",
                               milliseconds(200));
  }

  std::unique_ptr<ChildProcess> sim_;
  std::unique_ptr<ChildProcess> bridge_;
  UdpPeer prober_;
  std::set<int> probes_;
  int sim_port_ = 0;
  int udp_port_ = 0;
};

TEST_F(BridgeFlood, ProbesArriveOnceNothingElseAndMemoryHolds) {
  // Warm-up: every size once through the bridge, so the baseline includes the touched pages.
  SenderTally warm_up;
  Flood(udp_port_, 7, warm_up, 2000);
  ASSERT_TRUE(prober_.Register(udp_port_).has_value());
  const long baseline_kib = ResidentKiB(bridge_->pid());
  ASSERT_GT(baseline_kib, 0);

  std::vector<SenderTally> tallies(kSenders);
  std::atomic<int> running{kSenders};
  const auto start = Clock::now();
  std::vector<std::thread> senders;
  for (int i = 0; i < kSenders; ++i) {
    senders.emplace_back([&, i] {
      Flood(udp_port_, 1000u + static_cast<std::uint32_t>(i), tallies[static_cast<std::size_t>(i)],
            kDatagramsPerSender);
      --running;
    });
  }
  int next_probe = 1000;
  while (running > 0) {  // probes among the flood; UDP may drop any of them
    Probe(next_probe++);
    std::this_thread::sleep_for(milliseconds(5));
  }
  for (std::thread& sender : senders) sender.join();
  const double flood_s = std::chrono::duration<double>(Clock::now() - start).count();
  ASSERT_TRUE(bridge_->Running());

  // After the flood, fresh probes until one arrives.
  bool arrived = false;
  const auto deadline = Clock::now() + kPatience;
  while (!arrived && Clock::now() < deadline) {
    const int value = next_probe++;
    Probe(value);
    arrived = SimulatorSaw(value);
  }
  ASSERT_TRUE(arrived) << "no probe reached the simulator after the flood";
  // A few more passes, so that a duplicate or stray event would have time to show.
  prober_.Drain();
  for (int i = 0; i < 50; ++i) ASSERT_TRUE(prober_.Receive(kPatience).has_value());
  const long end_kib = ResidentKiB(bridge_->pid());

  ASSERT_TRUE(bridge_->Running());
  bridge_->Signal(SIGTERM);
  EXPECT_EQ(bridge_->Wait(kPatience), 0);
  sim_->Signal(SIGTERM);
  sim_->Wait(kPatience);

  std::map<int, int> seen;
  for (const std::string& event : EventLines(sim_->Stdout())) {
    const std::string prefix = "event HEADING_BUG_SET ";
    ASSERT_EQ(event.rfind(prefix, 0), 0u) << "an event nobody sent: " << event;
    const int value = std::stoi(event.substr(prefix.size()));
    EXPECT_EQ(probes_.count(value), 1u) << "a value nobody sent: " << event;
    EXPECT_EQ(++seen[value], 1) << "applied twice: " << event;
  }
  EXPECT_LT(end_kib - baseline_kib, kGrowthBoundKiB);

  std::size_t sent = 0;
  std::size_t lines_back = 0;
  for (const SenderTally& tally : tallies) {
    sent += tally.sent;
    lines_back += tally.lines_back;
  }
  std::printf(
      "flood: %zu datagrams from %d senders in %.2f s (%.0f/s); %zu lines came back to "
      "the senders (%.0f/s); %zu of %zu probes applied; bridge resident %ld -> %ld KiB\n",
      sent, kSenders, flood_s, static_cast<double>(sent) / flood_s, lines_back,
      static_cast<double>(lines_back) / flood_s, seen.size(), probes_.size(), baseline_kib,
      end_kib);
}

}  // namespace
}  // namespace skyhelm::testing
