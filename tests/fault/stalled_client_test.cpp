// A client of skyhelm-sim that stops reading: the server's memory stays bounded and the other
// clients keep getting their frames.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/simconnect/wire_protocol.h"
#include "tests/fault/bridge_rig.h"

namespace skyhelm::testing {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kString256 = 9;
constexpr std::uint32_t kInt32 = 1;
constexpr std::uint32_t kPeriodSimFrame = 3;
constexpr std::uint32_t kRecvIdSimObjectData = 8;
// What the server may add while one client stalls: its bounded outbox (256 KiB), its inbox and
// allocator slack; far below what an unbounded queue reaches within the test.
constexpr long kGrowthBoundKiB = 16 * 1024;

// A client that speaks the byte protocol directly, so that it can stop reading at will.
class RawClient {
 public:
  // receive_buffer_bytes > 0 shrinks the socket's receive buffer, so a stall bites at once.
  RawClient(int port, int receive_buffer_bytes) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (receive_buffer_bytes > 0) {
      setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receive_buffer_bytes, sizeof receive_buffer_bytes);
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~RawClient() { close(fd_); }

  bool connected() const { return connected_; }

  bool SendAll(const Bytes& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (n <= 0) return false;
      done += static_cast<std::size_t>(n);
    }
    return true;
  }

  // Sends `bytes` only if the socket takes all of them now; false when it would block.
  bool TrySend(const Bytes& bytes) {
    pollfd writable{fd_, POLLOUT, 0};
    if (poll(&writable, 1, 0) <= 0) return false;
    return SendAll(bytes);
  }

  // Reads what has arrived within `wait`, framing it; the number of data messages among it.
  std::size_t ReadDataMessages(milliseconds wait) {
    pollfd readable{fd_, POLLIN, 0};
    if (poll(&readable, 1, static_cast<int>(wait.count())) <= 0) return 0;
    std::uint8_t buffer[65536];
    const ssize_t n = recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n <= 0) return 0;
    inbox_.insert(inbox_.end(), buffer, buffer + n);
    std::size_t at = 0;
    std::size_t size = 0;
    std::size_t data_messages = 0;
    while (wire::PeekFrame(inbox_.data() + at, inbox_.size() - at, wire::kMessageHeaderBytes,
                           size) == wire::FrameStatus::kComplete) {
      data_messages += wire::GetU32(inbox_.data() + at + 8) == kRecvIdSimObjectData ? 1 : 0;
      at += size;
    }
    inbox_.erase(inbox_.begin(), inbox_.begin() + static_cast<std::ptrdiff_t>(at));
    return data_messages;
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
  Bytes inbox_;
};

Bytes OpenRequest() {
  Bytes out;
  wire::OpenRequest open;
  open.client_name = "raw";
  wire::EncodeOpen(open, 1, out);
  return out;
}

Bytes AddRequest(const char* datum, const char* units, std::uint32_t type, std::uint32_t define) {
  Bytes out;
  wire::AddToDataDefinitionRequest add;
  add.define_id = define;
  add.datum_name = datum;
  add.has_units = units != nullptr;
  add.units_name = units != nullptr ? units : "";
  add.datum_type = type;
  wire::EncodeAddToDataDefinition(add, 2, out);
  return out;
}

Bytes EveryFrameRequest(std::uint32_t define) {
  Bytes out;
  wire::RequestDataOnSimObjectRequest request;
  request.request_id = define;
  request.define_id = define;
  request.period = kPeriodSimFrame;
  wire::EncodeRequestDataOnSimObject(request, 3, out);
  return out;
}

// Waits until `client` has received `count` more data messages; false on timeout.
bool ReceivesFrames(RawClient& client, std::size_t count, milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  std::size_t received = 0;
  while (received < count && Clock::now() < deadline) {
    received += client.ReadDataMessages(milliseconds(20));
  }
  return received >= count;
}

TEST(StalledSimulatorClient, ServerMemoryStaysBoundedAndOthersKeepTheirFrames) {
  int port = 0;
  auto sim = StartSimulator({"--rate", "1000"}, port);
  ASSERT_NE(sim, nullptr);

  RawClient reader(port, 0);
  ASSERT_TRUE(reader.connected());
  Bytes setup = OpenRequest();
  for (const Bytes& part :
       {AddRequest("Plane Altitude", "feet", kInt32, 0), EveryFrameRequest(0)}) {
    setup.insert(setup.end(), part.begin(), part.end());
  }
  ASSERT_TRUE(reader.SendAll(setup));
  ASSERT_TRUE(ReceivesFrames(reader, 100, kPatience));
  const long baseline_kib = ResidentKiB(sim->pid());
  ASSERT_GT(baseline_kib, 0);

  // The staller asks for about 50 KB every frame (200 titles) and never reads a byte.
  RawClient staller(port, 4096);
  ASSERT_TRUE(staller.connected());
  Bytes heavy = OpenRequest();
  for (int i = 0; i < 200; ++i) {
    const Bytes add = AddRequest("Title", nullptr, kString256, 0);
    heavy.insert(heavy.end(), add.begin(), add.end());
  }
  const Bytes every_frame = EveryFrameRequest(0);
  heavy.insert(heavy.end(), every_frame.begin(), every_frame.end());
  ASSERT_TRUE(staller.SendAll(heavy));

  // Then it piles up requests that each draw an exception, which the server may not drop, until
  // the server stops taking them (or a generous cap).
  const Bytes refused = AddRequest("NO SUCH VARIABLE", "feet", kInt32, 7);
  const auto deadline = Clock::now() + kPatience;
  std::size_t sent = 0;
  long peak_kib = baseline_kib;
  while (sent < 200000 && Clock::now() < deadline) {
    if (staller.TrySend(refused)) {
      ++sent;
    } else if (reader.ReadDataMessages(milliseconds(5)) == 0 && !staller.TrySend(refused)) {
      break;  // the staller's socket stays full: the server has stopped reading it
    }
    if (sent % 1000 == 0) peak_kib = std::max(peak_kib, ResidentKiB(sim->pid()));
    sim->Pump();
  }

  // While the staller stays stalled, the reader keeps its frames and the server's memory holds.
  for (int round = 0; round < 5; ++round) {
    ASSERT_TRUE(ReceivesFrames(reader, 100, kPatience)) << "round " << round;
    peak_kib = std::max(peak_kib, ResidentKiB(sim->pid()));
    sim->Pump();
  }
  std::printf(
      "skyhelm-sim resident: %ld KiB before the stall, peak %ld KiB (%zu refused "
      "requests sent)\n",
      baseline_kib, peak_kib, sent);
  EXPECT_LT(peak_kib - baseline_kib, kGrowthBoundKiB);
  sim->Signal(SIGTERM);
  EXPECT_EQ(sim->Wait(kPatience), 0);
}

}  // namespace
}  // namespace skyhelm::testing
