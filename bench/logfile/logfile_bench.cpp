// Benchmark of the log file at its size limit.
//
//   logfile_bench [limit bytes] [entries] [log-only]   (defaults 2048000 10000)
//
// A safe-mode log whose file is already at its limit gets 100-byte entries;
// every save then drops the oldest 100 bytes and moves the rest to the front
// of the file. It is measured against two references on the same disk:
//   - rewriting the kept bytes once (open, read limit - 100 bytes from offset
//     100 in one piece, write them at offset 0, close): the least work any
//     trimming save must do, i.e. the machine's sequential I/O speed;
//   - a plain append of the same entries (open, append, close), no limit.
// The log and the rewrite reference run in alternating blocks, so that a
// change in the machine's load hits both alike.
//
// Peak memory: the process's peak private bytes and working set after a log
// phase that runs before anything else. "log-only" runs just that phase; two
// runs with different limits show whether it depends on the file's size:
//   logfile_bench 2048000 300 log-only; logfile_bench 16384000 300 log-only
#include <windows.h>
#include <psapi.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "nrlogfile.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

PROCESS_MEMORY_COUNTERS Memory() {
  PROCESS_MEMORY_COUNTERS m{};
  m.cb = sizeof m;
  GetProcessMemoryInfo(GetCurrentProcess(), &m, sizeof m);
  return m;
}

void Prefill(const std::string &path, std::uint32_t size) {
  std::string chunk(65536, '.');
  for (std::size_t i = 0; i < chunk.size(); i += 100) chunk[i] = '\n';
  HANDLE f = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  for (std::uint32_t done = 0; done < size;) {
    DWORD n = static_cast<DWORD>(std::min<std::size_t>(chunk.size(), size - done)), w = 0;
    if (!WriteFile(f, chunk.data(), n, &w, nullptr) || w == 0) break;
    done += w;
  }
  CloseHandle(f);
}

std::uint64_t FileSize(const std::string &path) {
  WIN32_FILE_ATTRIBUTE_DATA a{};
  GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &a);
  return (static_cast<std::uint64_t>(a.nFileSizeHigh) << 32) | a.nFileSizeLow;
}

void RewriteKeptBytes(const std::string &path, std::vector<char> &buffer, std::uint32_t limit) {
  HANDLE f = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  DWORD n = 0;
  SetFilePointer(f, 100, nullptr, FILE_BEGIN);
  ReadFile(f, buffer.data(), limit - 100, &n, nullptr);
  SetFilePointer(f, 0, nullptr, FILE_BEGIN);
  WriteFile(f, buffer.data(), limit - 100, &n, nullptr);
  CloseHandle(f);
}

}  // namespace

int main(int argc, char **argv) {
  const std::uint32_t limit =
      argc > 1 ? static_cast<std::uint32_t>(std::strtoul(argv[1], nullptr, 10)) : 2048000;
  const int entries = argc > 2 ? std::atoi(argv[2]) : 10000;
  const bool logOnly = argc > 3 && std::string(argv[3]) == "log-only";
  char tmp[MAX_PATH];
  GetTempPathA(MAX_PATH, tmp);
  const std::string dir = tmp;
  const std::string logPath = dir + "torvex-bench-limit.log";
  const std::string refPath = dir + "torvex-bench-reference.log";
  const std::string plainPath = dir + "torvex-bench-plain.log";
  const std::string message(98, 'e');  // CR LF + 98 bytes: 100-byte entries

  Prefill(logPath, limit);
  TnrLogFile log(nullptr);
  log.SetOptions({loSafeMode});
  log.SetFileName(logPath);
  log.SetSizeLimit(limit);

  // Memory: a log phase before anything else has allocated.
  const int memoryEntries = logOnly ? entries : 200;
  auto t0 = Clock::now();
  for (int i = 0; i < memoryEntries; ++i) log.Add(message);
  const double memoryPhase = Seconds(Clock::now() - t0) / memoryEntries;
  const PROCESS_MEMORY_COUNTERS peak = Memory();
  if (logOnly) {
    std::printf(
        "limit %u bytes, %d entries: %.1f us/entry, peak private %.0f KiB, peak working set %.0f "
        "KiB\n",
        limit, entries, memoryPhase * 1e6, peak.PeakPagefileUsage / 1024.0,
        peak.PeakWorkingSetSize / 1024.0);
    DeleteFileA(logPath.c_str());
    return 0;
  }

  // Time: the log and the rewrite reference in alternating blocks.
  Prefill(refPath, limit);
  std::vector<char> buffer(limit);
  double logTime = 0, refTime = 0;
  int refCount = 0;
  for (int done = 0; done < entries;) {
    int block = std::min(100, entries - done);
    t0 = Clock::now();
    for (int i = 0; i < block; ++i) log.Add(message);
    logTime += Seconds(Clock::now() - t0);
    done += block;
    t0 = Clock::now();
    for (int i = 0; i < 10; ++i) RewriteKeptBytes(refPath, buffer, limit);
    refTime += Seconds(Clock::now() - t0);
    refCount += 10;
  }
  const double perEntry = logTime / entries;
  const double rewrite = refTime / refCount;
  const std::uint64_t finalSize = FileSize(logPath);
  DeleteFileA(logPath.c_str());
  DeleteFileA(refPath.c_str());

  // Plain append of the same entries, no limit.
  DeleteFileA(plainPath.c_str());
  const std::string entry = "\r\n" + message;
  t0 = Clock::now();
  for (int i = 0; i < entries; ++i) {
    HANDLE f = CreateFileA(plainPath.c_str(), FILE_APPEND_DATA, 0, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD n = 0;
    WriteFile(f, entry.data(), static_cast<DWORD>(entry.size()), &n, nullptr);
    CloseHandle(f);
  }
  const double plain = Seconds(Clock::now() - t0) / entries;
  DeleteFileA(plainPath.c_str());

  std::printf("limit %u bytes, %d entries of 100 bytes, safe mode\n", limit, entries);
  std::printf("  log at its limit      %9.1f us/entry\n", perEntry * 1e6);
  std::printf("  plain append          %9.1f us/entry\n", plain * 1e6);
  std::printf("  rewrite of kept bytes %9.1f us (%.0f MB/s read + write)\n", rewrite * 1e6,
              2.0 * (limit - 100) / rewrite / 1e6);
  std::printf("  ratio log / rewrite   %9.2f (goal: at most 3)\n", perEntry / rewrite);
  std::printf(
      "  peak private bytes    %9.0f KiB, peak working set %.0f KiB (after %d entries, before the "
      "references)\n",
      peak.PeakPagefileUsage / 1024.0, peak.PeakWorkingSetSize / 1024.0, memoryEntries);
  std::printf("  final file size       %9llu bytes\n", static_cast<unsigned long long>(finalSize));
  return finalSize == limit ? 0 : 1;
}
