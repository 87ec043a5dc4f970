// Monotonic time in nanoseconds: one clock shared by every process on this machine, so a stamp
// taken in one process can be subtracted from a stamp taken in another.
#pragma once

#include <time.h>

#include <cstdint>

namespace skyhelm::bench {

inline std::int64_t NowNs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// Sleeps at least duration_ns (the kernel's timer slack adds about 50 microseconds).
inline void SleepNs(std::int64_t duration_ns) {
  timespec wait{static_cast<time_t>(duration_ns / 1000000000),
                static_cast<long>(duration_ns % 1000000000)};
  while (nanosleep(&wait, &wait) != 0) {
  }
}

}  // namespace skyhelm::bench
