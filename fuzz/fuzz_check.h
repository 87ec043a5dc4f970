// Shared helpers of the fuzz targets: invariant checks that crash loudly, exactly-sized copies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

// A violated invariant is a finding: print it and abort, which libFuzzer records as a crash.
#define FUZZ_CHECK(condition)                                                                 \
  do {                                                                                        \
    if (!(condition)) {                                                                       \
      std::fprintf(stderr, "invariant failed: %s (%s:%d)\n", #condition, __FILE__, __LINE__); \
      std::abort();                                                                           \
    }                                                                                         \
  } while (0)

namespace skyhelm::fuzz {

// A heap copy of exactly `size` bytes, so that AddressSanitizer reports any read past the end.
// Zero-sized input still gets its own (empty) allocation.
inline std::unique_ptr<std::uint8_t[]> ExactCopy(const std::uint8_t* data, std::size_t size) {
  std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[size]);
  if (size > 0) std::memcpy(copy.get(), data, size);
  return copy;
}

}  // namespace skyhelm::fuzz
