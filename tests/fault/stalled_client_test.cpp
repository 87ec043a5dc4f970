// A client of skyhelm-sim that stops reading: the server's memory stays bounded and the other
// clients keep getting their frames.
#include <SimConnect.h>
#include <arpa/inet.h>
#include <poll.h>
#include <signal.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "platform/simconnect/wire_protocol.h"
#include "tests/support/bridge_rig.h"
#include "tests/simulator/raw_client.h"

namespace skyhelm::test_support {
namespace {

using Bytes = std::vector<std::uint8_t>;
using simulator::test_support::RawClient;

// What the server may add while one client stalls: its bounded outbox (256 KiB), its inbox and
// allocator slack; far below what an unbounded queue reaches within the test.
constexpr long kGrowthBoundKiB = 16 * 1024;

Bytes AddRequest(std::uint32_t define, const char* datum, const char* units, std::uint32_t type) {
  Bytes out;
  wire::EncodeAddToDataDefinition({define, datum, units ? units : "", type}, wire::kDefaultProtocol,
                                  1, out);
  return out;
}

// A client with a small receive buffer that asks for about 50 KB every frame (200 titles) and
// never reads a byte.
class Staller {
 public:
  explicit Staller(int port) {
    const int receive_buffer_bytes = 4096;
    setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receive_buffer_bytes, sizeof receive_buffer_bytes);
    const sockaddr_in address{
        AF_INET, htons(static_cast<std::uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
    connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    Bytes setup;
    wire::EncodeOpen({"staller", {}}, wire::kDefaultProtocol, 0, setup);
    const Bytes title = AddRequest(0, "Title", nullptr, SIMCONNECT_DATATYPE_STRING256);
    for (int i = 0; i < 200; ++i) setup.insert(setup.end(), title.begin(), title.end());
    wire::EncodeRequestDataOnSimObject({0, 0, 0, SIMCONNECT_PERIOD_SIM_FRAME},
                                       wire::kDefaultProtocol, 2, setup);
    send(fd_, setup.data(), setup.size(), MSG_NOSIGNAL);  // blocking: all of it
  }
  ~Staller() { close(fd_); }

  // Sends `bytes` only if the socket has room for them now.
  bool TrySend(const Bytes& bytes) {
    pollfd writable{fd_, POLLOUT, 0};
    return poll(&writable, 1, 0) == 1 && send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
                                             static_cast<ssize_t>(bytes.size());
  }

 private:
  int fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
};

TEST(StalledSimulatorClient, ServerMemoryStaysBoundedAndOthersKeepTheirFrames) {
  int port = 0;
  auto sim = StartSimulator({"--rate", "1000"}, port);
  ASSERT_NE(sim, nullptr);
  RawClient reader(static_cast<std::uint16_t>(port));
  reader.Open();
  reader.Add(0, "Plane Altitude", "feet", SIMCONNECT_DATATYPE_INT32);
  reader.RequestData(0, 0, SIMCONNECT_PERIOD_SIM_FRAME);
  // Waits for `count` more data messages at the reader; false on timeout.
  const auto reader_gets_frames = [&reader](int count) {
    for (int i = 0; i < count; ++i) {
      if (!reader.Next(SIMCONNECT_RECV_ID_SIMOBJECT_DATA)) return false;
    }
    return true;
  };
  ASSERT_TRUE(reader_gets_frames(100));
  const long baseline_kib = ResidentKiB(sim->pid());
  ASSERT_GT(baseline_kib, 0);

  // The staller then piles up requests that each draw an exception, which the server may not
  // drop, until the server stops taking them (or a generous cap).
  Staller staller(port);
  const Bytes refused = AddRequest(7, "NO SUCH VARIABLE", "feet", SIMCONNECT_DATATYPE_INT32);
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  std::size_t sent = 0;
  long peak_kib = baseline_kib;
  while (sent < 200000 && std::chrono::steady_clock::now() < deadline) {
    if (!staller.TrySend(refused)) {
      // Full: once the server has run another frame, still full means it stopped reading it.
      ASSERT_TRUE(reader_gets_frames(1));
      if (!staller.TrySend(refused)) break;
    }
    if (++sent % 1000 == 0) peak_kib = std::max(peak_kib, ResidentKiB(sim->pid()));
    sim->Pump();
  }

  // While the staller stays stalled, the reader keeps its frames and the server's memory holds.
  for (int round = 0; round < 5; ++round) {
    ASSERT_TRUE(reader_gets_frames(100)) << "round " << round;
    peak_kib = std::max(peak_kib, ResidentKiB(sim->pid()));
    sim->Pump();
  }
  std::printf("skyhelm-sim resident: %ld KiB before the stall, peak %ld KiB (%zu refused sent)\n",
              baseline_kib, peak_kib, sent);
  EXPECT_LT(peak_kib - baseline_kib, kGrowthBoundKiB);
  sim->Signal(SIGTERM);
  EXPECT_EQ(sim->Wait(kPatience), 0);
}

}  // namespace
}  // namespace skyhelm::test_support
