// Test support for the fault and flood runs.
#include "tests/fault/bridge_rig.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace skyhelm::testing {
namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif
#else
constexpr bool kAddressSanitizer = false;
#endif

sockaddr_in Loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  return address;
}

}  // namespace

std::vector<std::string> MeasuredChildEnvironment() {
  if (!kAddressSanitizer) return {};
  const char* inherited = std::getenv("ASAN_OPTIONS");
  std::string options = inherited != nullptr ? inherited : "";
  if (!options.empty()) options += ":";
  options += "quarantine_size_mb=0:thread_local_quarantine_size_kb=0";
  return {"ASAN_OPTIONS=" + options};
}

std::unique_ptr<ChildProcess> StartSimulator(const std::vector<std::string>& args, int& port) {
  std::vector<std::string> all{"--port", "0"};
  all.insert(all.end(), args.begin(), args.end());
  auto sim = ChildProcess::Start(BinPath("skyhelm-sim"), all, MeasuredChildEnvironment());
  const std::string marker = "listening on 127.0.0.1:";
  if (!sim || !sim->WaitForStdout("\n", kPatience)) return nullptr;
  const std::size_t at = sim->Stdout().find(marker);
  if (at == std::string::npos) return nullptr;
  port = std::atoi(sim->Stdout().c_str() + at + marker.size());
  return sim;
}

std::unique_ptr<ChildProcess> StartBridge(int udp_port, int sim_port,
                                          std::vector<std::string> env) {
  env.push_back("SKYHELM_SIM_ADDRESS=127.0.0.1:" + std::to_string(sim_port));
  auto bridge = ChildProcess::Start(BinPath("skyhelm"), {std::to_string(udp_port)}, env);
  if (!bridge || !bridge->WaitForStdout("Running...\n", kPatience)) return nullptr;
  return bridge;
}

std::vector<std::string> EventLines(const std::string& simulator_stdout) {
  std::vector<std::string> events;
  std::istringstream lines(simulator_stdout);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("event ", 0) == 0) events.push_back(line);
  }
  return events;
}

long ResidentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return -1;
}

UdpPeer::UdpPeer() {
  fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const sockaddr_in address = Loopback(0);
  bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address);
}

UdpPeer::~UdpPeer() { Close(); }

void UdpPeer::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

bool UdpPeer::Send(int port, const std::string& bytes) {
  const sockaddr_in to = Loopback(port);
  return sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                sizeof to) == static_cast<ssize_t>(bytes.size());
}

std::optional<std::string> UdpPeer::Receive(milliseconds timeout) {
  pollfd readable{fd_, POLLIN, 0};
  if (poll(&readable, 1, static_cast<int>(timeout.count())) <= 0) return std::nullopt;
  char buffer[2048];
  const ssize_t n = recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
  if (n < 0) return std::nullopt;  // e.g. ECONNREFUSED from an earlier send: nothing to read
  return std::string(buffer, static_cast<std::size_t>(n));
}

std::optional<std::string> UdpPeer::Register(int port, milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    Send(port, "1");
    if (auto reply = Receive(milliseconds(100))) return reply;
  }
  return std::nullopt;
}

void UdpPeer::Drain() {
  char buffer[2048];
  while (recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT) >= 0) {
  }
}

bool IsTelemetryDatagram(const std::string& datagram) {
  return datagram.rfind("v1.2,", 0) == 0 && datagram.size() > 9 &&
         datagram.compare(datagram.size() - 4, 4, ",\n\r\n") == 0;
}

std::string LineField(const std::string& datagram, std::size_t index) {
  std::size_t at = datagram.find(',');
  for (std::size_t i = 0; i < index && at != std::string::npos; ++i) {
    at = datagram.find(',', at + 1);
  }
  if (at == std::string::npos) return "";
  const std::size_t end = datagram.find(',', at + 1);
  return end == std::string::npos ? "" : datagram.substr(at + 1, end - at - 1);
}

}  // namespace skyhelm::testing
