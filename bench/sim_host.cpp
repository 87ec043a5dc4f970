// The stand-in simulator's server on a thread of the bench.
#include "bench/sim_host.h"

#include <cstdlib>

#include "bench/clock.h"

namespace skyhelm::bench {
namespace {

constexpr std::string_view kEventPrefix = "event ";

// "event NAME DATA" -> handler(NAME, DATA, now); other lines are ignored.
void ForwardEvent(const std::string& line, const EventHandler& on_event) {
  const std::int64_t logged_ns = NowNs();
  const std::string_view text(line);
  if (text.substr(0, kEventPrefix.size()) != kEventPrefix) return;
  const std::string_view rest = text.substr(kEventPrefix.size());
  const std::size_t space = rest.find(' ');
  if (space == std::string_view::npos) return;
  const std::int64_t data =
      std::strtoll(line.c_str() + kEventPrefix.size() + space + 1, nullptr, 10);
  on_event(rest.substr(0, space), data, logged_ns);
}

}  // namespace

SimHost::~SimHost() {
  stop_.store(true);
  if (thread_.joinable()) thread_.join();
}

bool SimHost::Start(double rate_hz, EventHandler on_event, std::string& error) {
  simulator::ServerOptions options;
  options.port = 0;
  options.rate_hz = rate_hz;
  simulator::World world;
  world.frozen = true;
  simulator::ServerLog log;
  log.out = [handler = std::move(on_event)](const std::string& line) {
    if (handler) ForwardEvent(line, handler);
  };
  server_ = std::make_unique<simulator::Server>(options, world, std::move(log));
  if (!server_->Listen(error)) return false;
  port_ = server_->port();
  thread_ = std::thread([this] { server_->Run(stop_); });
  return true;
}

std::uint64_t SimHost::frames() const {
  return server_ ? server_->stats().frames.load(std::memory_order_relaxed) : 0;
}

}  // namespace skyhelm::bench
