// A datagram flood at the bridge from several loopback senders: the bridge stays up, applies the
// probe commands among the flood exactly once each and nothing else, and its memory holds.
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/bridge_rig.h"
#include "tests/support/loopback_peer.h"

namespace skyhelm::test_support {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kSenders = 4;
constexpr std::size_t kDatagramsPerSender = 50000;  // 200,000 in all
constexpr std::size_t kMaxFloodBytes = 1500;
constexpr long kGrowthBoundKiB = 1024;
// No datagram of the flood may carry a command: its first byte is never a command letter.
constexpr char kHarmlessFirstBytes[] = "1x0123456789";

// Sizes 0..1500 (those above 1024 are receive failures at the bridge), first byte harmless, the
// rest arbitrary bytes, deterministic per seed. Returns how many were sent.
std::size_t Flood(int port, std::uint32_t state, std::size_t count) {
  LoopbackPeer sender(port);
  const auto stop_at = Clock::now() + std::chrono::seconds(60);
  std::size_t sent = 0;
  for (std::size_t i = 0; i < count && Clock::now() < stop_at; ++i) {
    state = state * 1664525u + 1013904223u;
    std::string datagram((state >> 8) % (kMaxFloodBytes + 1), '\0');
    for (char& byte : datagram) {
      state = state * 1664525u + 1013904223u;
      byte = static_cast<char>(state >> 24);
    }
    if (!datagram.empty()) {
      datagram[0] = kHarmlessFirstBytes[(state >> 4) % (sizeof kHarmlessFirstBytes - 1)];
    }
    sender.Send(datagram);
    ++sent;
    while (i % 64 == 0 && sender.Receive(milliseconds(0))) {
      // the lines the bridge sends back to the latest sender
    }
  }
  return sent;
}

TEST(BridgeFlood, ProbesArriveOnceNothingElseAndMemoryHolds) {
  int sim_port = 0;
  auto sim = StartSimulator({"--freeze"}, sim_port);
  ASSERT_NE(sim, nullptr);
  const int udp_port = FreeLoopbackPort(true);
  auto bridge = StartBridge(udp_port, sim_port, MeasuredChildEnvironment());
  ASSERT_NE(bridge, nullptr);
  LoopbackPeer prober(udp_port);
  std::set<int> probes;
  int next_probe = 1000;
  const auto probe = [&] {  // "h<value>", recorded as a value the simulator may see
    probes.insert(next_probe);
    prober.Send("h" + std::to_string(next_probe));
    return next_probe++;
  };

  ASSERT_TRUE(prober.Join());
  // Warm-up: every size once through the bridge, so the baseline includes the touched pages.
  Flood(udp_port, 7, 2000);
  ASSERT_TRUE(prober.Join());
  const long baseline_kib = ResidentKiB(bridge->pid());
  ASSERT_GT(baseline_kib, 0);

  std::atomic<std::size_t> sent{0};
  std::atomic<int> running{kSenders};
  const auto start = Clock::now();
  std::vector<std::thread> senders;
  for (std::uint32_t i = 0; i < kSenders; ++i) {
    senders.emplace_back([&, i] {
      sent += Flood(udp_port, 1000u + i, kDatagramsPerSender);
      --running;
    });
  }
  while (running > 0) {  // probes among the flood; UDP may drop any of them
    probe();
    std::this_thread::sleep_for(milliseconds(5));
  }
  for (std::thread& sender : senders) sender.join();
  const double flood_s = std::chrono::duration<double>(Clock::now() - start).count();
  ASSERT_TRUE(bridge->Running());

  // After the flood, fresh probes until one arrives.
  bool arrived = false;
  const auto deadline = Clock::now() + kPatience;
  while (!arrived && Clock::now() < deadline) {
    const std::string event = "event HEADING_BUG_SET " + std::to_string(probe()) + "\n";
    arrived = sim->WaitForStdout(event, milliseconds(200));
  }
  ASSERT_TRUE(arrived) << "no probe reached the simulator after the flood";
  // A few more passes, so that a duplicate or stray event would have time to show.
  while (prober.Receive(milliseconds(0))) {
  }
  for (int i = 0; i < 50; ++i) ASSERT_TRUE(prober.Receive(kPatience).has_value());
  const long end_kib = ResidentKiB(bridge->pid());
  ASSERT_TRUE(bridge->Running());
  bridge->Signal(SIGTERM);
  EXPECT_EQ(bridge->Wait(kPatience), 0);
  sim->Signal(SIGTERM);
  sim->Wait(kPatience);

  std::map<int, int> seen;
  const std::string prefix = "event HEADING_BUG_SET ";
  for (const std::string& event : EventLines(sim->Stdout())) {
    ASSERT_EQ(event.rfind(prefix, 0), 0u) << "an event nobody sent: " << event;
    const int value = std::stoi(event.substr(prefix.size()));
    EXPECT_EQ(probes.count(value), 1u) << "a value nobody sent: " << event;
    EXPECT_EQ(++seen[value], 1) << "applied twice: " << event;
  }
  EXPECT_LT(end_kib - baseline_kib, kGrowthBoundKiB);
  std::printf(
      "flood: %zu datagrams from %d senders in %.2f s (%.0f/s); %zu of %zu probes applied; "
      "bridge resident %ld -> %ld KiB\n",
      sent.load(), kSenders, flood_s, static_cast<double>(sent) / flood_s, seen.size(),
      probes.size(), baseline_kib, end_kib);
}

}  // namespace
}  // namespace skyhelm::test_support
