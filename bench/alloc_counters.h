// The counters that the allocation-counting preload library keeps in a file shared with the bench.
#pragma once

#include <atomic>
#include <cstdint>

namespace skyhelm::bench {

// Names the file (created by the bench, at least sizeof(AllocCounters) bytes) that the preload
// library maps and counts into.
inline constexpr const char* kAllocCountFileVariable = "SKYHELM_ALLOC_COUNT_FILE";

struct AllocCounters {
  std::atomic<std::uint64_t> allocations;  // malloc, calloc, realloc, the aligned allocators
  std::atomic<std::uint64_t> frees;
  std::atomic<std::uint64_t> datagram_sends;  // sendto calls: one per bridge loop pass
};

}  // namespace skyhelm::bench
