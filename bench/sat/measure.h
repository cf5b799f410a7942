// Clocks, process CPU time and memory use of the benchmark process, the same
// way on Linux and on 32-bit Windows (run under Wine), plus order statistics
// of a set of samples.
#pragma once
#include <cstdint>
#include <vector>

namespace torvex::bench {

// A monotonic counter in nanoseconds, for durations.
std::int64_t MonotonicNs();

// Calendar time (UTC) in microseconds since 1970, at the finest resolution
// the system offers. Used to line up our events with the device emulator's
// log, which shares the machine's clock.
std::int64_t UtcMicros();

// CPU time used by the whole process (every thread, including threads that
// have ended), user plus system, in nanoseconds.
std::int64_t ProcessCpuNs();

// The smallest step by which ProcessCpuNs() has been seen to advance while
// the calling thread spins for up to limitMs: the clock's resolution.
std::int64_t ProcessCpuResolutionNs(int limitMs);

// Memory use of the process, in bytes. Natively: peak and current resident
// set and the resident anonymous (private) memory. On Windows: peak and
// current working set and the private bytes (commit charge).
struct MemoryUse {
  std::int64_t peakResident = 0;
  std::int64_t resident = 0;
  std::int64_t privateBytes = 0;
};
MemoryUse ReadMemoryUse();

// Order statistics of samples (in any one unit).
struct Summary {
  std::size_t count = 0;
  double min = 0, median = 0, p90 = 0, max = 0, mean = 0;
};
Summary Summarize(std::vector<double> samples);

}  // namespace torvex::bench
