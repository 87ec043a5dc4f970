// The floor that this machine sets in this run: one-way loopback UDP and TCP latency between two
// processes, and a bare loop of the bridge's 100-microsecond select with nothing else to do; the
// CPU time and peak memory of a process, from /proc.
#include <netinet/tcp.h>
#include <sys/mman.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <new>

#include "bench/bench.h"

namespace skyhelm::bench {
namespace {

constexpr std::int64_t kStop = -1;
constexpr std::int64_t kWarmUpNs = 300000000;

void SetReceiveTimeout(int fd, int seconds) {
  const timeval timeout{seconds, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
}

// Two loopback sockets connected to each other, or -1s.
struct SocketPair {
  explicit SocketPair(bool tcp) {
    sockaddr_in address[2] = {};
    if (tcp) {
      const int listener = test_support::ListenOnLoopback(1, address[0]);
      fd[0] = LoopbackTcp(ntohs(address[0].sin_port));
      fd[1] = fd[0] >= 0 ? LoopbackTcp(0, listener) : -1;
      if (listener >= 0) close(listener);
      return;
    }
    for (int i = 0; i < 2; ++i) fd[i] = test_support::BindOnLoopback(SOCK_DGRAM, address[i]);
    for (int i = 0; i < 2 && ok(); ++i) {
      connect(fd[i], reinterpret_cast<const sockaddr*>(&address[1 - i]), sizeof address[0]);
    }
  }
  ~SocketPair() {
    for (const int f : fd) {
      if (f >= 0) close(f);
    }
  }
  bool ok() const { return fd[0] >= 0 && fd[1] >= 0; }
  int fd[2] = {-1, -1};
};

void Reap(pid_t pid) {
  if (pid > 0) waitpid(pid, nullptr, 0);
}

struct SharedLoopState {
  std::atomic<std::uint64_t> passes{0};
  std::atomic<bool> stop{false};
};

// Forks `pass` (one pass of the loop, repeated until told to stop) and watches it for `seconds`
// after a short warm-up.
template <typename Pass>
LoopCost MeasureForkedLoop(double seconds, Pass pass) {
  void* memory = mmap(nullptr, sizeof(SharedLoopState), PROT_READ | PROT_WRITE,
                      MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) return {};
  auto* shared = new (memory) SharedLoopState();
  LoopCost cost;
  const pid_t pid = fork();
  if (pid == 0) {
    while (!shared->stop.load(std::memory_order_relaxed)) {
      pass();
      shared->passes.fetch_add(1, std::memory_order_relaxed);
    }
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

void WaitReadable100us(int fd) {
  fd_set read_set;
  FD_ZERO(&read_set);
  FD_SET(fd, &read_set);
  timeval timeout{0, 100};
  select(fd + 1, &read_set, nullptr, nullptr, &timeout);
}

// CPU time the process has had so far, summed over all its threads, in nanoseconds (from
// /proc/<pid>/task/*/schedstat, which counts in nanoseconds rather than clock ticks). -1 when it
// cannot be read (the process has gone).
std::int64_t ProcessCpuNs(pid_t pid) {
  std::int64_t total_ns = -1;
  std::error_code gone;
  const std::filesystem::path tasks = "/proc/" + std::to_string(pid) + "/task";
  for (const auto& task : std::filesystem::directory_iterator(tasks, gone)) {
    std::ifstream schedstat(task.path() / "schedstat");
    long long on_cpu_ns = 0;
    if (schedstat >> on_cpu_ns) total_ns = (total_ns < 0 ? 0 : total_ns) + on_cpu_ns;
  }
  return total_ns;
}

}  // namespace

int LoopbackTcp(int port, int listener) {
  int fd = -1;
  if (listener >= 0) {
    fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  } else {
    fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
      close(fd);
      fd = -1;
    }
  }
  const int on = 1;
  if (fd >= 0) setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return fd;
}

std::vector<std::int64_t> MeasureOneWay(bool tcp, std::size_t samples, bool show_progress) {
  std::vector<std::int64_t> latencies_ns;
  SocketPair pair(tcp);
  // A UDP datagram carries the stamp alone; a TCP message is about one client-event request.
  char message[32] = {};
  const std::size_t size = tcp ? sizeof message : sizeof kStop;
  const pid_t pid = pair.ok() ? fork() : -1;
  if (pid == 0) {                      // answers every stamp with the one-way latency it observed
    SetReceiveTimeout(pair.fd[1], 5);  // a receiver whose parent vanished gives up
    while (recv(pair.fd[1], message, size, MSG_WAITALL) == static_cast<ssize_t>(size)) {
      std::int64_t latency_ns = NowNs();
      std::int64_t stamp_ns = 0;
      std::memcpy(&stamp_ns, message, sizeof stamp_ns);
      if (stamp_ns == kStop) break;
      latency_ns -= stamp_ns;
      std::memcpy(message, &latency_ns, sizeof latency_ns);
      if (send(pair.fd[1], message, size, MSG_NOSIGNAL) != static_cast<ssize_t>(size)) break;
    }
    _exit(0);
  }
  SetReceiveTimeout(pair.fd[0], 2);  // a lost datagram costs its sample, not the run
  Progress progress(tcp ? "floor: TCP one-way" : "floor: UDP one-way", samples, show_progress);
  Pacer pacer(tcp ? 2 : 1);
  latencies_ns.reserve(samples);
  for (std::size_t i = 0; pid > 0 && i < samples; ++i) {
    pacer.Wait();
    const std::int64_t stamp_ns = NowNs();
    std::memcpy(message, &stamp_ns, sizeof stamp_ns);
    if (send(pair.fd[0], message, size, MSG_NOSIGNAL) != static_cast<ssize_t>(size)) break;
    if (recv(pair.fd[0], message, size, MSG_WAITALL) == static_cast<ssize_t>(size)) {
      std::int64_t latency_ns = 0;
      std::memcpy(&latency_ns, message, sizeof latency_ns);
      latencies_ns.push_back(latency_ns);
    } else if (tcp) {
      break;
    }
    progress.Update(i + 1);
  }
  std::memcpy(message, &kStop, sizeof kStop);
  send(pair.fd[0], message, size, MSG_NOSIGNAL);
  Reap(pid);
  return latencies_ns;
}

LoopCost WatchLoop(pid_t pid, const std::function<std::uint64_t()>& pass_count, double seconds) {
  const std::int64_t start_ns = NowNs();
  const std::uint64_t start_passes = pass_count();
  const std::int64_t start_cpu_ns = ProcessCpuNs(pid);
  SleepNs(static_cast<std::int64_t>(seconds * 1e9));
  const std::uint64_t end_passes = pass_count();
  const std::int64_t end_cpu_ns = ProcessCpuNs(pid);
  const std::int64_t end_ns = NowNs();
  return {end_passes - start_passes, static_cast<double>(end_ns - start_ns) / 1e9,
          (start_cpu_ns < 0 || end_cpu_ns < 0) ? 0 : end_cpu_ns - start_cpu_ns};
}

long PeakRssKib(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return -1;
}

LoopCost MeasureBareSelectLoop(double seconds) {
  const SocketPair udp(false);
  return MeasureForkedLoop(seconds, [&udp] { WaitReadable100us(udp.fd[0]); });
}

LoopCost MeasureSyscallLoop(double seconds, std::size_t line_bytes) {
  const SocketPair udp(false);
  const SocketPair tcp(true);
  if (!udp.ok() || !tcp.ok()) return {};
  std::atomic<bool> draining{true};
  SetReceiveTimeout(udp.fd[1], 1);
  std::thread drain([&] {
    char datagram[2048];
    while (draining.load()) recv(udp.fd[1], datagram, sizeof datagram, 0);
  });
  // Built before the fork: the child of a threaded process must not allocate.
  const std::vector<char> line(line_bytes, 'x');
  const LoopCost cost = MeasureForkedLoop(seconds, [&] {
    char pending[64];
    recv(tcp.fd[0], pending, sizeof pending, MSG_DONTWAIT);
    WaitReadable100us(udp.fd[0]);
    send(udp.fd[0], line.data(), line.size(), 0);
  });
  draining.store(false);
  drain.join();
  return cost;
}

}  // namespace skyhelm::bench
