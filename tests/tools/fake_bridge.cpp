// The stand-in bridge's thread: receive, remember, answer.
#include "tests/tools/fake_bridge.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace skyhelm::peer::testing {

std::string TelemetryDatagram(int altitude_ft) {
  return "v1.2,120," + std::to_string(altitude_ft) +
         ",2.500000,-10.250000,3.000000,-5.000000,270,1,140,0,1,1,1,700,1,900,0,47.250000,"
         "-122.500000,268,1.000000,\n\r\n";
}

FakeBridge::FakeBridge(std::vector<std::string> script, bool repeat_last, int ignore_first,
                       int max_answers)
    : script_(std::move(script)),
      repeat_last_(repeat_last),
      ignore_first_(ignore_first),
      max_answers_(max_answers) {
  fd_ = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    throw std::runtime_error("fake bridge: cannot bind a loopback UDP socket");
  }
  port_ = ntohs(address.sin_port);
  thread_ = std::thread([this] { Serve(); });
}

FakeBridge::~FakeBridge() {
  stop_ = true;
  thread_.join();
  close(fd_);
}

std::vector<std::string> FakeBridge::Received() {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

void FakeBridge::Serve() {
  sockaddr_in peer{};
  bool have_peer = false;
  std::size_t next = 0;
  int ignored = 0;
  int answers = 0;
  while (!stop_) {
    pollfd ready{fd_, POLLIN, 0};
    if (poll(&ready, 1, 1) > 0) {
      char buffer[2048];
      sockaddr_in from{};
      socklen_t from_length = sizeof from;
      const ssize_t n =
          recvfrom(fd_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &from_length);
      if (n < 0) continue;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        received_.emplace_back(buffer, static_cast<std::size_t>(n));
      }
      if (ignored < ignore_first_) {
        ++ignored;
        continue;
      }
      if (max_answers_ >= 0 && answers >= max_answers_) continue;
      ++answers;
      peer = from;
      have_peer = true;
      next = 0;
    }
    if (!have_peer || silent_) continue;
    // The script goes out at once, the repeats at the pace of the poll above.
    for (; next < script_.size(); ++next) {
      sendto(fd_, script_[next].data(), script_[next].size(), 0, reinterpret_cast<sockaddr*>(&peer),
             sizeof peer);
    }
    if (repeat_last_ && !script_.empty()) {
      sendto(fd_, script_.back().data(), script_.back().size(), 0,
             reinterpret_cast<sockaddr*>(&peer), sizeof peer);
    }
  }
}

}  // namespace skyhelm::peer::testing
