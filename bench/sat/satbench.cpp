// satbench: measures the SAT interface against a device emulator.
//
//   satbench latency [--calls N] [--emu-log FILE]
//       ConsultarSAT against a device that answers at once: calls per second
//       and how long after the reply's last byte each call returns.
//   satbench timeout --control FILE [--calls N]
//       ConsultarSAT against a device that stays silent (the emulator's
//       control file is set to "noreply*0" after a first answered call):
//       process CPU time against wall time while the library waits.
//   satbench sale --size BYTES [--calls N] [--seed S]
//       EnviarDadosVenda with a sale of BYTES bytes: time per call, the
//       library's own CPU time next to zlib's, and memory after 1 and N calls.
//   satbench cpuclock
//       The resolution of the process CPU clock.
//
// The device is found by the library's own port probe, so the emulator must
// be on a COM port the library can reach (see run.sh).
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "emu_log.h"
#include "measure.h"
#include "sale_data.h"
#include "torvex.h"
#include "zlib_runtime.h"

using namespace torvex::bench;

namespace {

struct Options {
  std::string mode;
  int calls = 0;
  std::string emuLog;
  std::string control;
  std::size_t size = 0;
  std::uint32_t seed = 1;
};

void Usage() {
  std::fputs(
      "usage: satbench latency [--calls N] [--emu-log FILE]\n"
      "       satbench timeout --control FILE [--calls N]\n"
      "       satbench sale --size BYTES [--calls N] [--seed S]\n"
      "       satbench cpuclock\n",
      stderr);
}

bool Parse(int argc, char **argv, Options &o) {
  if (argc < 2) return false;
  o.mode = argv[1];
  for (int i = 2; i < argc; ++i) {
    std::string a = argv[i];
    if (i + 1 >= argc) return false;
    const char *v = argv[++i];
    if (a == "--calls")
      o.calls = std::atoi(v);
    else if (a == "--emu-log")
      o.emuLog = v;
    else if (a == "--control")
      o.control = v;
    else if (a == "--size")
      o.size = static_cast<std::size_t>(std::strtoull(v, nullptr, 10));
    else if (a == "--seed")
      o.seed = static_cast<std::uint32_t>(std::strtoul(v, nullptr, 10));
    else
      return false;
  }
  return true;
}

struct Status {
  std::int32_t code = 0;
  std::string message;
};

Status LastStatus() {
  char record[TORVEX_STATUS_SIZE] = {};
  CodigoErro(record);
  Status s;
  const auto *b = reinterpret_cast<const unsigned char *>(record);
  s.code = static_cast<std::int32_t>(std::uint32_t{b[0]} | std::uint32_t{b[1]} << 8 |
                                     std::uint32_t{b[2]} << 16 | std::uint32_t{b[3]} << 24);
  record[TORVEX_STATUS_SIZE - 1] = '\0';
  s.message = record + 4;
  return s;
}

// The n-th "|"-separated field of a reply (0-based), or "".
std::string Field(const char *text, int n) {
  std::string s = text ? text : "";
  std::size_t start = 0;
  for (int i = 0; i < n; ++i) {
    start = s.find('|', start);
    if (start == std::string::npos) return "";
    ++start;
  }
  std::size_t end = s.find('|', start);
  return s.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

double Ms(std::int64_t ns) { return static_cast<double>(ns) / 1e6; }

// The millisecond of the day in LastRx's time stamp ("dd/mm/yyyy
// hh:mm:ss.mmm=..."), which the reception handler writes as it takes the
// reply, before it releases the caller; -1 when there is none.
std::int64_t HandledAt(const char *lastRx) {
  int d = 0, mo = 0, y = 0, h = 0, m = 0, sec = 0, ms = 0;
  if (lastRx == nullptr ||
      std::sscanf(lastRx, "%2d/%2d/%4d %2d:%2d:%2d.%3d", &d, &mo, &y, &h, &m, &sec, &ms) != 7)
    return -1;
  return ((static_cast<std::int64_t>(h) * 60 + m) * 60 + sec) * 1000 + ms;
}

// b - a in milliseconds of the day, a and b less than half an hour apart
// (the library's time stamps are local time, the emulator's UTC: time zones
// differ by whole or half hours).
double DayMsBetween(double a, double b) {
  double d = b - a;
  while (d >= 900000.0) d -= 1800000.0;
  while (d < -900000.0) d += 1800000.0;
  return d;
}

void PrintSummary(const char *what, const Summary &s) {
  std::printf("  %-44s %8.3f %8.3f %8.3f %8.3f %8.3f  (n=%zu)\n", what, s.min, s.median, s.p90,
              s.max, s.mean, s.count);
}

void PrintSummaryHead(const char *unit) {
  std::printf("  %-44s %8s %8s %8s %8s %8s\n", unit, "min", "median", "p90", "max", "mean");
}

// A first, answered ConsultarSAT: the library finds the device's port and
// keeps it, so the measured calls do not include the probe.
bool FindDevice() {
  const char *reply = ConsultarSAT(1);
  Status st = LastStatus();
  if (st.code != 0) {
    std::fprintf(stderr, "satbench: no device answered ConsultarSAT (code %d: %s)\n",
                 static_cast<int>(st.code), reply ? reply : "");
    return false;
  }
  return true;
}

int Latency(const Options &o) {
  const int calls = o.calls > 0 ? o.calls : 200;
  if (!FindDevice()) return 1;
  std::vector<double> durations;
  std::vector<std::int64_t> returnedAt;  // UTC microseconds
  std::vector<long> sessions;
  std::vector<std::int64_t> handledAt;  // ms of the day, local time
  int failures = 0;
  const std::int64_t cpu0 = ProcessCpuNs();
  const std::int64_t start = MonotonicNs();
  for (int i = 0; i < calls; ++i) {
    long session = 100000 + i;
    std::int64_t t0 = MonotonicNs();
    ConsultarSAT(static_cast<int>(session));
    std::int64_t t1 = MonotonicNs();
    returnedAt.push_back(UtcMicros());
    durations.push_back(Ms(t1 - t0));
    sessions.push_back(session);
    handledAt.push_back(HandledAt(LastRx()));
    if (LastStatus().code != 0) ++failures;
  }
  const std::int64_t wall = MonotonicNs() - start;
  const std::int64_t cpu = ProcessCpuNs() - cpu0;

  std::printf("latency: ConsultarSAT against a device answering at once\n");
  std::printf("  calls %d, failed %d, wall %.3f s, calls/s %.2f, process CPU per call %.3f ms\n",
              calls, failures, Ms(wall) / 1000.0, calls / (Ms(wall) / 1000.0), Ms(cpu) / calls);
  PrintSummaryHead("ms");
  PrintSummary("call duration (upper bound of last byte->return)", Summarize(durations));

  if (!o.emuLog.empty()) {
    std::map<long, std::int64_t> sent = ReadReplyTimes(o.emuLog);
    std::vector<double> gaps, toHandler, fromHandler;
    for (std::size_t i = 0; i < sessions.size(); ++i) {
      auto it = sent.find(sessions[i]);
      if (it == sent.end()) continue;
      // Milliseconds of the UTC day at return, to the microsecond.
      double ret = static_cast<double>(returnedAt[i] % 86400000000LL) / 1000.0;
      double gap = ret - static_cast<double>(it->second);
      if (gap < -43200000.0) gap += 86400000.0;  // the day turned in between
      gaps.push_back(gap);
      if (handledAt[i] < 0) continue;
      // The two parts of it: the reader seeing the end of the burst, and
      // the caller waking, closing the port and returning.
      toHandler.push_back(
          DayMsBetween(static_cast<double>(it->second), static_cast<double>(handledAt[i])));
      fromHandler.push_back(DayMsBetween(static_cast<double>(handledAt[i]), ret));
    }
    PrintSummary("reply written (emulator log, 1 ms) -> return", Summarize(gaps));
    PrintSummary("  of it: written -> handled (LastRx, 1 ms)", Summarize(toHandler));
    PrintSummary("  of it: handled -> return", Summarize(fromHandler));
  }
  return failures == 0 ? 0 : 1;
}

bool WriteControl(const std::string &path, const char *text) {
  std::FILE *f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  std::fputs(text, f);
  return std::fclose(f) == 0;
}

int Timeout(const Options &o) {
  if (o.control.empty()) {
    Usage();
    return 2;
  }
  const int calls = o.calls > 0 ? o.calls : 10;
  const std::int64_t resolution = ProcessCpuResolutionNs(500);
  if (!FindDevice()) return 1;
  if (!WriteControl(o.control, "noreply*0\n")) {
    std::fprintf(stderr, "satbench: cannot write %s\n", o.control.c_str());
    return 1;
  }
  std::vector<double> walls, cpus;
  int unexpected = 0;
  const std::int64_t cpu0 = ProcessCpuNs();
  const std::int64_t wall0 = MonotonicNs();
  for (int i = 0; i < calls; ++i) {
    std::int64_t c0 = ProcessCpuNs();
    std::int64_t t0 = MonotonicNs();
    ConsultarSAT(200000 + i);
    std::int64_t t1 = MonotonicNs();
    std::int64_t c1 = ProcessCpuNs();
    walls.push_back(Ms(t1 - t0));
    cpus.push_back(Ms(c1 - c0));
    if (LastStatus().code != 32768) ++unexpected;
  }
  const std::int64_t wall = MonotonicNs() - wall0;
  const std::int64_t cpu = ProcessCpuNs() - cpu0;
  WriteControl(o.control, "");

  std::printf("timeout: ConsultarSAT against a silent device (2 s limit)\n");
  std::printf("  calls %d, not timed out %d, CPU clock resolution %.3f ms\n", calls, unexpected,
              Ms(resolution));
  PrintSummaryHead("ms");
  PrintSummary("wall time per call", Summarize(walls));
  PrintSummary("process CPU time per call", Summarize(cpus));
  std::printf("  total: wall %.3f s, process CPU %.3f ms, CPU/wall %.4f %%\n", Ms(wall) / 1000.0,
              Ms(cpu), 100.0 * static_cast<double>(cpu) / static_cast<double>(wall));
  return unexpected == 0 ? 0 : 1;
}

// Wine leaves the private-bytes counter at 0: shown as "n/a".
std::string MiB(std::int64_t bytes) {
  if (bytes == 0) return "n/a";
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.2f MiB", static_cast<double>(bytes) / 1048576.0);
  return buf;
}

// The expanded tail of a sale reply (after its sixth "|"), or "".
std::string SaleTail(const std::string &reply) {
  std::size_t pos = 0;
  for (int bars = 0; bars < 6; ++bars) {
    pos = reply.find('|', pos);
    if (pos == std::string::npos) return "";
    ++pos;
  }
  return reply.substr(pos);
}

int Sale(const Options &o) {
  if (o.size < 4096) {
    Usage();
    return 2;
  }
  const int calls = o.calls > 1 ? o.calls : 50;
  ZlibRuntime zlib;
  if (!zlib.Loaded()) {
    std::fprintf(stderr, "satbench: cannot load %s\n", zlib.Name().c_str());
    return 1;
  }
  const std::string sale = MakeSale(o.size, o.seed);
  // Buffers for the zlib runs, made and touched before the first call.
  std::vector<std::uint8_t> work(ZlibRuntime::Bound(4u << 20), 1);
  std::vector<std::uint8_t> packed(ZlibRuntime::Bound(4u << 20), 1);
  const std::size_t compressedSize = zlib.Compress(sale, 2, work.data(), work.size()).value_or(0);
  if (!FindDevice()) return 1;

  // The cost of any command, sale or not: ConsultarSAT's process CPU time.
  const int plainCalls = calls / 2 < 20 ? 20 : calls / 2 > 150 ? 150 : calls / 2;
  const std::int64_t plain0 = ProcessCpuNs();
  for (int i = 0; i < plainCalls; ++i) ConsultarSAT(400000 + i);
  const double plainCpu = Ms(ProcessCpuNs() - plain0) / plainCalls;

  auto call = [&](int i) { return EnviarDadosVenda(300000 + i, kActivationCode, sale.c_str()); };

  // The first sale. The device's reply tail is packed as the device packs
  // it (zlib's default level, as the emulator does), to time its expansion.
  std::int64_t t0 = MonotonicNs();
  const std::string firstReply = call(0);
  const std::int64_t firstNs = MonotonicNs() - t0;
  int failures = LastStatus().code != 0 ? 1 : 0;
  const std::string tail = SaleTail(firstReply);
  std::size_t packedSize = 0;
  if (!tail.empty()) packedSize = zlib.Compress(tail, 6, packed.data(), packed.size()).value_or(0);
  const MemoryUse afterOne = ReadMemoryUse();

  // Then each sale followed by zlib alone on the same data: compress2 at
  // level 2 as the library does, and the expansion of the reply tail. The
  // CPU clock is read once between the stages, so the three sums cover
  // contiguous intervals and a coarse clock errs only at the ends.
  std::vector<double> walls;
  std::string lastReply;
  MemoryUse afterTen = afterOne, afterN = afterOne;
  std::int64_t cpuCall = 0, cpuCompress = 0, cpuUncompress = 0;
  std::int64_t mark = ProcessCpuNs();
  for (int i = 1; i < calls; ++i) {
    std::int64_t s = MonotonicNs();
    const char *reply = call(i);
    walls.push_back(Ms(MonotonicNs() - s));
    std::int64_t afterCall = ProcessCpuNs();
    zlib.Compress(sale, 2, work.data(), work.size());
    std::int64_t afterCompress = ProcessCpuNs();
    if (packedSize > 0) zlib.Uncompress(packed.data(), packedSize, work.data(), work.size());
    std::int64_t afterUncompress = ProcessCpuNs();
    cpuCall += afterCall - mark;
    cpuCompress += afterCompress - afterCall;
    cpuUncompress += afterUncompress - afterCompress;
    if (LastStatus().code != 0) ++failures;
    if (i == 9) afterTen = ReadMemoryUse();
    if (i == calls - 1) {
      // Read before the benchmark keeps its own copy of the reply.
      afterN = ReadMemoryUse();
      lastReply = reply ? reply : "";
    }
    mark = ProcessCpuNs();
  }
  const int n = calls - 1;
  const double callMs = Ms(cpuCall) / n;
  const double compressMs = Ms(cpuCompress) / n;
  const double uncompressMs = Ms(cpuUncompress) / n;
  const double overhead = callMs - compressMs - uncompressMs;
  const std::int64_t resolution = ProcessCpuResolutionNs(300);

  std::printf("sale: EnviarDadosVenda, %zu-byte sale (level-2 stream %zu bytes)\n", sale.size(),
              compressedSize);
  std::printf("  calls %d, failed %d, device reply %s \"%s\", expanded tail %zu bytes\n", calls,
              failures, Field(lastReply.c_str(), 1).c_str(), Field(lastReply.c_str(), 3).c_str(),
              tail.size());
  PrintSummaryHead("ms");
  std::printf("  %-44s %8.3f\n", "first call", Ms(firstNs));
  PrintSummary("wall time per call (calls 2..N)", Summarize(walls));
  std::printf("  process CPU per call (mean of %d, clock resolution %.3f ms):\n", n,
              Ms(resolution));
  std::printf(
      "    EnviarDadosVenda %.3f ms; zlib alone: compress2 level 2 %.3f ms, uncompress %.3f ms\n",
      callMs, compressMs, uncompressMs);
  std::printf("  library overhead %.3f ms per call = %.1f %% of compress2\n", overhead,
              100.0 * overhead / compressMs);
  std::printf(
      "    of which any command's cost (ConsultarSAT CPU) %.3f ms; the rest %.3f ms = %.1f %%\n",
      plainCpu, overhead - plainCpu, 100.0 * (overhead - plainCpu) / compressMs);
  std::printf("  memory after 1 call:  peak %s, resident %s, private %s\n",
              MiB(afterOne.peakResident).c_str(), MiB(afterOne.resident).c_str(),
              MiB(afterOne.privateBytes).c_str());
  if (calls > 10)
    std::printf("  memory after 10 calls: peak %s, resident %s, private %s\n",
                MiB(afterTen.peakResident).c_str(), MiB(afterTen.resident).c_str(),
                MiB(afterTen.privateBytes).c_str());
  std::printf("  memory after %d calls: peak %s, resident %s, private %s\n", calls,
              MiB(afterN.peakResident).c_str(), MiB(afterN.resident).c_str(),
              MiB(afterN.privateBytes).c_str());
  return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  Options o;
  if (!Parse(argc, argv, o)) {
    Usage();
    return 2;
  }
  if (o.mode == "latency") return Latency(o);
  if (o.mode == "timeout") return Timeout(o);
  if (o.mode == "sale") return Sale(o);
  if (o.mode == "cpuclock") {
    std::printf("process CPU clock resolution %.3f ms\n", Ms(ProcessCpuResolutionNs(1000)));
    return 0;
  }
  Usage();
  return 2;
}
