// The floor that this machine sets in this run: one-way loopback UDP and TCP latency between two
// processes, and a bare loop of the bridge's 100-microsecond select with nothing else to do.
#include <netinet/tcp.h>
#include <sys/mman.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <new>

#include "bench/bench.h"

namespace skyhelm::bench {
namespace {

constexpr std::chrono::milliseconds kReplyTimeout(2000);
constexpr int kReceiverIdleTimeoutS = 5;  // a receiver whose parent vanished gives up
constexpr std::int64_t kStop = -1;
constexpr std::size_t kTcpMessageBytes = 32;  // about the size of one client-event request
constexpr std::int64_t kWarmUpNs = 300000000;

void SetReceiveTimeout(int fd, int seconds) {
  const timeval timeout{seconds, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
}

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

std::vector<std::int64_t> MeasureUdpOneWay(std::size_t samples, bool show_progress) {
  std::vector<std::int64_t> latencies_ns;
  const test_support::LoopbackPeer receiver(0);
  const test_support::LoopbackPeer sender(receiver.local_port());
  const pid_t pid = fork();
  if (pid == 0) {  // answers every stamp with the one-way latency it observed
    SetReceiveTimeout(receiver.socket(), kReceiverIdleTimeoutS);
    sockaddr_in from{};
    socklen_t length = sizeof from;
    std::int64_t stamp_ns = 0;
    while (recvfrom(receiver.socket(), &stamp_ns, sizeof stamp_ns, 0,
                    reinterpret_cast<sockaddr*>(&from), &length) == sizeof stamp_ns) {
      const std::int64_t latency_ns = NowNs() - stamp_ns;
      if (stamp_ns == kStop) break;
      sendto(receiver.socket(), &latency_ns, sizeof latency_ns, 0,
             reinterpret_cast<const sockaddr*>(&from), length);
    }
    _exit(0);
  }
  Progress progress("floor: UDP one-way", samples, show_progress);
  Pacer pacer(1);
  latencies_ns.reserve(samples);
  std::string message(sizeof(std::int64_t), '\0');
  for (std::size_t i = 0; pid > 0 && i < samples; ++i) {
    pacer.Wait();
    const std::int64_t stamp_ns = NowNs();
    std::memcpy(message.data(), &stamp_ns, sizeof stamp_ns);
    sender.Send(message);
    const std::optional<std::string> reply = sender.Receive(kReplyTimeout);
    std::int64_t latency_ns = 0;
    if (reply && reply->size() == sizeof latency_ns) {
      std::memcpy(&latency_ns, reply->data(), sizeof latency_ns);
      latencies_ns.push_back(latency_ns);
    }
    progress.Update(i + 1);
  }
  std::memcpy(message.data(), &kStop, sizeof kStop);
  sender.Send(message);
  Reap(pid);
  return latencies_ns;
}

std::vector<std::int64_t> MeasureTcpOneWay(std::size_t samples, bool show_progress) {
  std::vector<std::int64_t> latencies_ns;
  sockaddr_in address{};
  const int listener = test_support::ListenOnLoopback(1, address);
  if (listener < 0) return latencies_ns;
  char message[kTcpMessageBytes] = {};
  const pid_t pid = fork();
  if (pid == 0) {  // answers every stamp with the one-way latency it observed
    const int fd = LoopbackTcp(0, listener);
    SetReceiveTimeout(fd, kReceiverIdleTimeoutS);
    while (recv(fd, message, sizeof message, MSG_WAITALL) == sizeof message) {
      std::int64_t latency_ns = NowNs();
      std::int64_t stamp_ns = 0;
      std::memcpy(&stamp_ns, message, sizeof stamp_ns);
      if (stamp_ns == kStop) break;
      latency_ns -= stamp_ns;
      std::memcpy(message, &latency_ns, sizeof latency_ns);
      if (send(fd, message, sizeof message, MSG_NOSIGNAL) != sizeof message) break;
    }
    _exit(0);
  }
  close(listener);
  const int fd = pid > 0 ? LoopbackTcp(ntohs(address.sin_port)) : -1;
  if (fd >= 0) SetReceiveTimeout(fd, static_cast<int>(kReplyTimeout.count() / 1000));

  Progress progress("floor: TCP one-way", samples, show_progress);
  Pacer pacer(2);
  latencies_ns.reserve(samples);
  for (std::size_t i = 0; fd >= 0 && i < samples; ++i) {
    pacer.Wait();
    const std::int64_t stamp_ns = NowNs();
    std::memcpy(message, &stamp_ns, sizeof stamp_ns);
    if (send(fd, message, sizeof message, MSG_NOSIGNAL) != sizeof message) break;
    if (recv(fd, message, sizeof message, MSG_WAITALL) != sizeof message) break;
    std::int64_t latency_ns = 0;
    std::memcpy(&latency_ns, message, sizeof latency_ns);
    latencies_ns.push_back(latency_ns);
    progress.Update(i + 1);
  }
  if (fd >= 0) {
    std::memcpy(message, &kStop, sizeof kStop);
    send(fd, message, sizeof message, MSG_NOSIGNAL);
    close(fd);
  }
  Reap(pid);
  return latencies_ns;
}

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

LoopCost MeasureBareSelectLoop(double seconds) {
  const test_support::LoopbackPeer idle(0);
  return MeasureForkedLoop(seconds, [&idle] { WaitReadable100us(idle.socket()); });
}

LoopCost MeasureSyscallLoop(double seconds, std::size_t line_bytes) {
  const test_support::LoopbackPeer reader(0);
  const test_support::LoopbackPeer sender(reader.local_port());
  sockaddr_in address{};
  const int listener = test_support::ListenOnLoopback(1, address);
  const int tcp_fd = listener >= 0 ? LoopbackTcp(ntohs(address.sin_port)) : -1;
  const int accepted_fd = tcp_fd >= 0 ? LoopbackTcp(0, listener) : -1;
  LoopCost cost;
  if (accepted_fd >= 0) {
    std::atomic<bool> draining{true};
    std::thread drain([&] {
      while (draining.load()) reader.Receive(std::chrono::milliseconds(100));
    });
    // Built before the fork: the child of a threaded process must not allocate.
    const std::string line(line_bytes, 'x');
    cost = MeasureForkedLoop(seconds, [&] {
      char pending[64];
      recv(tcp_fd, pending, sizeof pending, MSG_DONTWAIT);
      WaitReadable100us(sender.socket());
      sender.Send(line);
    });
    draining.store(false);
    drain.join();
  }
  for (const int fd : {listener, tcp_fd, accepted_fd}) {
    if (fd >= 0) close(fd);
  }
  return cost;
}

}  // namespace skyhelm::bench
