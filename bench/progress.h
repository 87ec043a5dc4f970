// A progress line on standard error for the long phases of the bench.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace skyhelm::bench {

// Rewrites one line on standard error ("  <phase> 1234/10000") at most four times a second, and
// ends it when the phase is done. Silent when disabled.
class Progress {
 public:
  Progress(std::string phase, std::size_t total, bool enabled);
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  void Update(std::size_t done);

 private:
  void Print(std::size_t done);

  std::string phase_;
  std::size_t total_;
  bool enabled_;
  std::size_t last_done_ = 0;
  std::int64_t last_print_ns_ = 0;
};

}  // namespace skyhelm::bench
