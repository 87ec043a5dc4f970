// The floor measurements.
#include "bench/floor.h"

#include <sys/mman.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <new>
#include <thread>
#include <vector>

#include "bench/clock.h"
#include "bench/loopback.h"
#include "bench/rig.h"
#include "bench/progress.h"

namespace skyhelm::bench {
namespace {

constexpr int kReplyTimeoutMs = 2000;
constexpr int kReceiverIdleTimeoutMs = 5000;  // a receiver whose parent vanished gives up
constexpr std::int64_t kStop = -1;
constexpr std::size_t kTcpMessageBytes = 32;  // about the size of one client-event request
constexpr std::int64_t kWarmUpNs = 300000000;
constexpr int kDrainTimeoutMs = 100;  // how often the drain looks at its stop flag

// Receiver side of the UDP floor: answers every stamp with the one-way latency it observed.
[[noreturn]] void UdpReceiver(int fd, std::uint16_t reply_port) {
  const sockaddr_in reply_to = LoopbackAddress(reply_port);
  SetReceiveTimeout(fd, kReceiverIdleTimeoutMs);
  for (;;) {
    std::int64_t stamp_ns = 0;
    if (recv(fd, &stamp_ns, sizeof stamp_ns, 0) != sizeof stamp_ns) break;
    const std::int64_t latency_ns = NowNs() - stamp_ns;
    if (stamp_ns == kStop) break;
    sendto(fd, &latency_ns, sizeof latency_ns, 0, reinterpret_cast<const sockaddr*>(&reply_to),
           sizeof reply_to);
  }
  _exit(0);
}

[[noreturn]] void TcpReceiver(int listener) {
  const int fd = AcceptTcp(listener);
  SetReceiveTimeout(fd, kReceiverIdleTimeoutMs);
  char message[kTcpMessageBytes];
  while (ReadExactly(fd, message, sizeof message)) {
    const std::int64_t now_ns = NowNs();
    std::int64_t stamp_ns = 0;
    std::memcpy(&stamp_ns, message, sizeof stamp_ns);
    if (stamp_ns == kStop) break;
    const std::int64_t latency_ns = now_ns - stamp_ns;
    std::memcpy(message, &latency_ns, sizeof latency_ns);
    if (!WriteExactly(fd, message, sizeof message)) break;
  }
  _exit(0);
}

void Reap(pid_t pid) {
  if (pid > 0) waitpid(pid, nullptr, 0);
}

}  // namespace

void Pacer::Wait() {
  std::uniform_int_distribution<std::int64_t> gap_ns(100000, 400000);
  SleepNs(gap_ns(rng_));
}

std::vector<std::int64_t> MeasureUdpOneWay(std::size_t samples, bool show_progress) {
  std::vector<std::int64_t> latencies_ns;
  std::uint16_t reply_port = 0;
  std::uint16_t receiver_port = 0;
  const int reply_fd = OpenUdpLoopback(&reply_port, kReplyTimeoutMs);
  const int receiver_fd = OpenUdpLoopback(&receiver_port, kReplyTimeoutMs);
  if (reply_fd < 0 || receiver_fd < 0) return latencies_ns;
  const pid_t pid = fork();
  if (pid == 0) UdpReceiver(receiver_fd, reply_port);
  close(receiver_fd);

  const sockaddr_in receiver = LoopbackAddress(receiver_port);
  const auto* to = reinterpret_cast<const sockaddr*>(&receiver);
  Progress progress("floor: UDP one-way", samples, show_progress);
  Pacer pacer(1);
  latencies_ns.reserve(samples);
  for (std::size_t i = 0; pid > 0 && i < samples; ++i) {
    pacer.Wait();
    const std::int64_t stamp_ns = NowNs();
    sendto(reply_fd, &stamp_ns, sizeof stamp_ns, 0, to, sizeof receiver);
    std::int64_t latency_ns = 0;
    if (recv(reply_fd, &latency_ns, sizeof latency_ns, 0) == sizeof latency_ns) {
      latencies_ns.push_back(latency_ns);
    }
    progress.Update(i + 1);
  }
  sendto(reply_fd, &kStop, sizeof kStop, 0, to, sizeof receiver);
  close(reply_fd);
  Reap(pid);
  return latencies_ns;
}

std::vector<std::int64_t> MeasureTcpOneWay(std::size_t samples, bool show_progress) {
  std::vector<std::int64_t> latencies_ns;
  std::uint16_t port = 0;
  const int listener = ListenTcpLoopback(&port);
  if (listener < 0) return latencies_ns;
  const pid_t pid = fork();
  if (pid == 0) TcpReceiver(listener);
  close(listener);
  const int fd = pid > 0 ? ConnectTcpLoopback(port) : -1;
  if (fd >= 0) SetReceiveTimeout(fd, kReplyTimeoutMs);

  Progress progress("floor: TCP one-way", samples, show_progress);
  Pacer pacer(2);
  latencies_ns.reserve(samples);
  char message[kTcpMessageBytes] = {};
  for (std::size_t i = 0; fd >= 0 && i < samples; ++i) {
    pacer.Wait();
    const std::int64_t stamp_ns = NowNs();
    std::memcpy(message, &stamp_ns, sizeof stamp_ns);
    if (!WriteExactly(fd, message, sizeof message)) break;
    if (!ReadExactly(fd, message, sizeof message)) break;
    std::int64_t latency_ns = 0;
    std::memcpy(&latency_ns, message, sizeof latency_ns);
    latencies_ns.push_back(latency_ns);
    progress.Update(i + 1);
  }
  if (fd >= 0) {
    std::memcpy(message, &kStop, sizeof kStop);
    WriteExactly(fd, message, sizeof message);
    close(fd);
  }
  Reap(pid);
  return latencies_ns;
}

LoopCost WatchLoop(pid_t pid, const std::function<std::uint64_t()>& pass_count, double seconds) {
  LoopCost cost;
  const std::int64_t start_ns = NowNs();
  const std::uint64_t start_passes = pass_count();
  const std::int64_t start_cpu_ns = ProcessCpuNs(pid);
  SleepNs(static_cast<std::int64_t>(seconds * 1e9));
  const std::uint64_t end_passes = pass_count();
  const std::int64_t end_cpu_ns = ProcessCpuNs(pid);
  const std::int64_t end_ns = NowNs();
  cost.passes = end_passes - start_passes;
  cost.wall_s = static_cast<double>(end_ns - start_ns) / 1e9;
  cost.cpu_ns = (start_cpu_ns < 0 || end_cpu_ns < 0) ? 0 : end_cpu_ns - start_cpu_ns;
  return cost;
}

namespace {

struct SharedLoopState {
  std::atomic<std::uint64_t> passes{0};
  std::atomic<bool> stop{false};
};

// Forks `loop` (which counts passes into the shared state until told to stop) and watches it for
// `seconds` after a short warm-up.
template <typename Loop>
LoopCost MeasureForkedLoop(double seconds, Loop loop) {
  void* memory = mmap(nullptr, sizeof(SharedLoopState), PROT_READ | PROT_WRITE,
                      MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) return {};
  auto* shared = new (memory) SharedLoopState();
  LoopCost cost;
  const pid_t pid = fork();
  if (pid == 0) {
    loop(*shared);
    _exit(0);
  }
  if (pid > 0) {
    SleepNs(kWarmUpNs);
    cost = WatchLoop(
        pid, [shared] { return shared->passes.load(std::memory_order_relaxed); }, seconds);
    shared->stop.store(true);
    Reap(pid);
  }
  munmap(memory, sizeof(SharedLoopState));
  return cost;
}

int WaitReadable100us(int fd) {
  fd_set read_set;
  FD_ZERO(&read_set);
  FD_SET(fd, &read_set);
  timeval timeout{0, 100};
  return select(fd + 1, &read_set, nullptr, nullptr, &timeout);
}

}  // namespace

LoopCost MeasureBareSelectLoop(double seconds) {
  std::uint16_t port = 0;
  const int fd = OpenUdpLoopback(&port, 0);
  if (fd < 0) return {};
  const LoopCost cost = MeasureForkedLoop(seconds, [fd](SharedLoopState& shared) {
    while (!shared.stop.load(std::memory_order_relaxed)) {
      WaitReadable100us(fd);
      shared.passes.fetch_add(1, std::memory_order_relaxed);
    }
  });
  close(fd);
  return cost;
}

LoopCost MeasureSyscallLoop(double seconds, std::size_t line_bytes) {
  std::uint16_t udp_port = 0;
  std::uint16_t reader_port = 0;
  std::uint16_t tcp_port = 0;
  const int udp_fd = OpenUdpLoopback(&udp_port, 0);
  const int reader_fd = OpenUdpLoopback(&reader_port, kDrainTimeoutMs);
  const int listener = ListenTcpLoopback(&tcp_port);
  const int tcp_fd = ConnectTcpLoopback(tcp_port);
  const int accepted_fd = tcp_fd >= 0 ? AcceptTcp(listener) : -1;
  LoopCost cost;
  if (udp_fd >= 0 && reader_fd >= 0 && accepted_fd >= 0) {
    std::atomic<bool> draining{true};
    std::thread drain([&] {
      char datagram[2048];
      while (draining.load()) recv(reader_fd, datagram, sizeof datagram, 0);
    });
    const sockaddr_in reader = LoopbackAddress(reader_port);
    // Built before the fork: the child of a threaded process must not allocate.
    const std::vector<char> line(line_bytes, 'x');
    cost = MeasureForkedLoop(seconds, [&](SharedLoopState& shared) {
      char pending[64];
      while (!shared.stop.load(std::memory_order_relaxed)) {
        recv(tcp_fd, pending, sizeof pending, MSG_DONTWAIT);
        WaitReadable100us(udp_fd);
        sendto(udp_fd, line.data(), line.size(), 0, reinterpret_cast<const sockaddr*>(&reader),
               sizeof reader);
        shared.passes.fetch_add(1, std::memory_order_relaxed);
      }
    });
    draining.store(false);
    drain.join();
  }
  for (const int fd : {udp_fd, reader_fd, listener, tcp_fd, accepted_fd}) {
    if (fd >= 0) close(fd);
  }
  return cost;
}

}  // namespace skyhelm::bench
