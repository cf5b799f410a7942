#include "measure.h"

#include <algorithm>
#include <chrono>
#include <numeric>

#ifdef _WIN32
#include <windows.h>
#include <psapi.h>
#else
#include <sys/resource.h>
#include <sys/time.h>

#include <cstdio>
#include <cstring>
#endif

namespace torvex::bench {

std::int64_t MonotonicNs() {
  using namespace std::chrono;
  return duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count();
}

#ifdef _WIN32
namespace {
// 100-ns units between 1601-01-01 and 1970-01-01.
constexpr std::int64_t kEpochOffset100ns = 116444736000000000LL;

std::int64_t FileTimeTo100ns(const FILETIME &ft) {
  return static_cast<std::int64_t>((static_cast<std::uint64_t>(ft.dwHighDateTime) << 32) |
                                   ft.dwLowDateTime);
}

using PreciseTimeFn = void(WINAPI *)(LPFILETIME);

PreciseTimeFn PreciseTime() {
  // Newer systems (and Wine) have a precise calendar clock; older ones only
  // the tick-resolution one.
  static PreciseTimeFn fn = [] {
    HMODULE k32 = GetModuleHandleA("kernel32.dll");
    FARPROC p = k32 ? GetProcAddress(k32, "GetSystemTimePreciseAsFileTime") : nullptr;
    return p ? reinterpret_cast<PreciseTimeFn>(reinterpret_cast<void *>(p))
             : static_cast<PreciseTimeFn>(GetSystemTimeAsFileTime);
  }();
  return fn;
}
}  // namespace

std::int64_t UtcMicros() {
  FILETIME ft;
  PreciseTime()(&ft);
  return (FileTimeTo100ns(ft) - kEpochOffset100ns) / 10;
}

std::int64_t ProcessCpuNs() {
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0;
  return (FileTimeTo100ns(kernel) + FileTimeTo100ns(user)) * 100;
}

MemoryUse ReadMemoryUse() {
  MemoryUse m;
  PROCESS_MEMORY_COUNTERS_EX pmc{};
  pmc.cb = sizeof pmc;
  if (GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS *>(&pmc),
                           sizeof pmc)) {
    m.peakResident = static_cast<std::int64_t>(pmc.PeakWorkingSetSize);
    m.resident = static_cast<std::int64_t>(pmc.WorkingSetSize);
    m.privateBytes = static_cast<std::int64_t>(pmc.PrivateUsage);
  }
  return m;
}
#else
std::int64_t UtcMicros() {
  using namespace std::chrono;
  return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

std::int64_t ProcessCpuNs() {
  rusage ru{};
  if (getrusage(RUSAGE_SELF, &ru) != 0) return 0;
  auto ns = [](const timeval &tv) {
    return static_cast<std::int64_t>(tv.tv_sec) * 1000000000LL +
           static_cast<std::int64_t>(tv.tv_usec) * 1000LL;
  };
  return ns(ru.ru_utime) + ns(ru.ru_stime);
}

MemoryUse ReadMemoryUse() {
  MemoryUse m;
  std::FILE *f = std::fopen("/proc/self/status", "r");
  if (f == nullptr) return m;
  char line[256];
  while (std::fgets(line, sizeof line, f) != nullptr) {
    long long kib = 0;
    if (std::sscanf(line, "VmHWM: %lld", &kib) == 1)
      m.peakResident = kib * 1024;
    else if (std::sscanf(line, "VmRSS: %lld", &kib) == 1)
      m.resident = kib * 1024;
    else if (std::sscanf(line, "RssAnon: %lld", &kib) == 1)
      m.privateBytes = kib * 1024;
  }
  std::fclose(f);
  return m;
}
#endif

std::int64_t ProcessCpuResolutionNs(int limitMs) {
  const std::int64_t end = MonotonicNs() + static_cast<std::int64_t>(limitMs) * 1000000LL;
  std::int64_t best = 0;
  std::int64_t last = ProcessCpuNs();
  int steps = 0;
  // Spins on purpose: the CPU clock only moves while this thread runs.
  while (MonotonicNs() < end && steps < 50) {
    std::int64_t now = ProcessCpuNs();
    if (now != last) {
      std::int64_t step = now - last;
      if (step > 0 && (best == 0 || step < best)) best = step;
      last = now;
      ++steps;
    }
  }
  return best;
}

Summary Summarize(std::vector<double> samples) {
  Summary s;
  s.count = samples.size();
  if (samples.empty()) return s;
  std::sort(samples.begin(), samples.end());
  auto at = [&](double q) {
    // Nearest rank.
    std::size_t i = static_cast<std::size_t>(q * static_cast<double>(samples.size() - 1) + 0.5);
    return samples[std::min(i, samples.size() - 1)];
  };
  s.min = samples.front();
  s.max = samples.back();
  s.median = at(0.5);
  s.p90 = at(0.9);
  s.mean =
      std::accumulate(samples.begin(), samples.end(), 0.0) / static_cast<double>(samples.size());
  return s;
}

}  // namespace torvex::bench
