// A progress line on standard error.
#include "bench/progress.h"

#include <cstdio>
#include <utility>

#include "bench/clock.h"

namespace skyhelm::bench {
namespace {

constexpr std::int64_t kPrintIntervalNs = 250000000;

}  // namespace

Progress::Progress(std::string phase, std::size_t total, bool enabled)
    : phase_(std::move(phase)), total_(total), enabled_(enabled) {
  if (!enabled_) return;
  last_print_ns_ = NowNs();
  Print(0);
}

Progress::~Progress() {
  if (!enabled_) return;
  Print(last_done_);
  std::fputc('\n', stderr);
}

void Progress::Update(std::size_t done) {
  last_done_ = done;
  if (!enabled_) return;
  const std::int64_t now_ns = NowNs();
  if (now_ns - last_print_ns_ < kPrintIntervalNs) return;
  last_print_ns_ = now_ns;
  Print(done);
}

void Progress::Print(std::size_t done) {
  std::fprintf(stderr, "\r  %-28s %zu/%zu   ", phase_.c_str(), done, total_);
  std::fflush(stderr);
}

}  // namespace skyhelm::bench
