// What the kernel knows about a running process: CPU time and peak resident memory.
#pragma once

#include <sys/types.h>

#include <cstdint>

namespace skyhelm::bench {

// CPU time the process has had so far, summed over all its threads, in nanoseconds (from
// /proc/<pid>/task/*/schedstat, which counts in nanoseconds rather than clock ticks). -1 when it
// cannot be read (the process has gone).
std::int64_t ProcessCpuNs(pid_t pid);

// Peak resident set size (VmHWM of /proc/<pid>/status) in KiB; -1 when it cannot be read.
long PeakRssKib(pid_t pid);

}  // namespace skyhelm::bench
