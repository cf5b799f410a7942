// The serial component's receive path under load, on real (pseudo-terminal)
// ports: run under pty-com with COM7 and COM8 joined by a null-modem cable
// (bench/vavevi/run.sh does that). The component listens on COM7; this
// program drives COM8 directly.
//
//   serial_bench latency [samples]   received byte -> OnAfterReceive
//   serial_bench throughput [MiB]    sustained rate, every byte checked
//   serial_bench idle [seconds]      a port open on a silent line
//   serial_bench idle-raw [seconds]  the same with a bare overlapped wait
//                                    (no component): what the platform costs
//
// Each prints its figures as "name value" lines. The idle modes print
// "IDLE-START <unix pid>" and "IDLE-END" around the silent window so that
// run.sh can read the process's and the wineserver's CPU time from /proc.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "nrwin32.h"
#include "plain_line.h"
#include "vavevi.h"

namespace {

constexpr unsigned kNear = 7;
constexpr unsigned kFar = 8;

double Now() {
  static LARGE_INTEGER frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f;
  }();
  LARGE_INTEGER t;
  QueryPerformanceCounter(&t);
  return static_cast<double>(t.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

// The component on COM7 at 115200 8N1 without flow control.
class BenchComm : public TnrCustomComm {
 public:
  explicit BenchComm(TComponent *owner) : TnrCustomComm(owner) {
    SetBaudRate(115200);
    SetByteSize(8);
    SetParity(pNone);
    SetStopBits(sbOne);
    SetStreamProtocol(spNone);
    SetTraceState({tsRxChar});
  }
  HANDLE RequestDeviceHandle() override { return OpenPort(kNear); }
  std::string GetPortName() override { return ComPortToStr(kNear); }
  int GetDeviceIndex() override { return -1; }
  void InitAfterOpen() override {
    TnrCustomComm::InitAfterOpen();
    DCBApply();
  }
};

HANDLE OpenFar() {
  HANDLE h = OpenPort(kFar);
  if (h == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "serial_bench: COM%u does not open (run under pty-com)\n", kFar);
    std::exit(2);
  }
  SetPlainLine(h);
  return h;
}

double Percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  std::size_t i = static_cast<std::size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
  return v[std::min(i, v.size() - 1)];
}

// --- latency ---------------------------------------------------------------

struct LatencySink {
  HANDLE arrived = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  std::atomic<double> at{0};
  std::atomic<std::uint32_t> bytes{0};
  void OnReceive(TObject *, const std::uint8_t *, std::uint32_t n) {
    at = Now();
    bytes += n;
    SetEvent(arrived);
  }
};

int Latency(int samples) {
  BenchComm comm(nullptr);
  LatencySink sink;
  comm.SetOnAfterReceive(Bind<&LatencySink::OnReceive>(&sink));
  comm.Open();
  HANDLE peer = OpenFar();
  std::vector<double> ms;
  int lost = 0;
  for (int i = 0; i < samples + 20; ++i) {
    std::uint8_t byte = static_cast<std::uint8_t>(i);
    ResetEvent(sink.arrived);
    double sent = Now();
    WriteSync(peer, &byte, 1);
    if (WaitForSingleObject(sink.arrived, 2000) != WAIT_OBJECT_0) {
      ++lost;
      continue;
    }
    if (i >= 20) ms.push_back(sink.at.load() - sent);  // the first ones warm up
    Sleep(static_cast<DWORD>(i % 4));                  // arrivals at varied points of a cycle
  }
  comm.Close();
  CloseHandle(peer);
  std::printf("latency_samples %zu\nlatency_lost %d\n", ms.size(), lost);
  std::printf("latency_median_ms %.3f\nlatency_p90_ms %.3f\nlatency_p99_ms %.3f\n",
              Percentile(ms, 0.5), Percentile(ms, 0.9), Percentile(ms, 0.99));
  std::printf("latency_max_ms %.3f\n", *std::max_element(ms.begin(), ms.end()));
  return lost == 0 ? 0 : 1;
}

// --- throughput ------------------------------------------------------------

std::uint8_t Pattern(std::uint64_t k) { return static_cast<std::uint8_t>(k * 7 + (k >> 8)); }

struct CheckingSink {
  std::atomic<std::uint64_t> next{0};
  std::atomic<std::uint64_t> wrong{0};
  std::atomic<double> last{0};
  void OnReceive(TObject *, const std::uint8_t *data, std::uint32_t n) {
    std::uint64_t k = next.load();
    std::uint64_t bad = 0;
    for (std::uint32_t i = 0; i < n; ++i, ++k)
      if (data[i] != Pattern(k)) ++bad;
    next = k;
    wrong += bad;
    last = Now();
  }
};

int Throughput(int mib) {
  const std::uint64_t total = static_cast<std::uint64_t>(mib) << 20;
  BenchComm comm(nullptr);
  CheckingSink sink;
  comm.SetOnAfterReceive(Bind<&CheckingSink::OnReceive>(&sink));
  comm.Open();
  HANDLE peer = OpenFar();
  std::vector<std::uint8_t> chunk(4096);
  double start = Now();
  for (std::uint64_t sent = 0; sent < total; sent += chunk.size()) {
    for (std::size_t i = 0; i < chunk.size(); ++i) chunk[i] = Pattern(sent + i);
    if (!WriteSync(peer, chunk.data(), static_cast<DWORD>(chunk.size()))) {
      std::fprintf(stderr, "serial_bench: write failed\n");
      return 1;
    }
  }
  double written = Now();
  while (sink.next.load() < total && Now() - sink.last.load() < 5000 && Now() - written < 60000)
    Sleep(10);
  double end = sink.last.load();
  comm.Close();
  CloseHandle(peer);
  std::uint64_t got = sink.next.load();
  std::printf("throughput_bytes %llu\nthroughput_received %llu\nthroughput_wrong %llu\n",
              static_cast<unsigned long long>(total), static_cast<unsigned long long>(got),
              static_cast<unsigned long long>(sink.wrong.load()));
  std::printf("throughput_mib_per_s %.2f\n",
              static_cast<double>(got) / (1 << 20) / ((end - start) / 1000.0));
  std::printf("throughput_total_received %u\n", comm.GetTotalReceived());
  return got == total && sink.wrong.load() == 0 ? 0 : 1;
}

// --- idle ------------------------------------------------------------------

// The unix process id, from Wine's view of /proc (drive Z: is the root).
int UnixPid() {
  FILE *f = std::fopen("Z:\\proc\\self\\stat", "r");
  int pid = 0;
  if (f) {
    if (std::fscanf(f, "%d", &pid) != 1) pid = 0;
    std::fclose(f);
  }
  return pid;
}

double ProcessCpuMs() {
  FILETIME c, e, k, u;
  GetProcessTimes(GetCurrentProcess(), &c, &e, &k, &u);
  auto ms = [](FILETIME t) {
    return static_cast<double>((static_cast<std::uint64_t>(t.dwHighDateTime) << 32) |
                               t.dwLowDateTime) /
           10000.0;
  };
  return ms(k) + ms(u);
}

void IdleWindow(int seconds) {
  Sleep(500);  // the open settles
  double cpu0 = ProcessCpuMs(), t0 = Now();
  std::printf("IDLE-START %d\n", UnixPid());
  std::fflush(stdout);
  Sleep(static_cast<DWORD>(seconds) * 1000);
  std::printf("IDLE-END\n");
  std::fflush(stdout);
  double cpu1 = ProcessCpuMs(), t1 = Now();
  std::printf("idle_wall_s %.2f\nidle_process_cpu_percent_GetProcessTimes %.3f\n",
              (t1 - t0) / 1000.0, (cpu1 - cpu0) / (t1 - t0) * 100.0);
}

int Idle(int seconds) {
  BenchComm comm(nullptr);
  LatencySink sink;
  comm.SetOnAfterReceive(Bind<&LatencySink::OnReceive>(&sink));
  comm.Open();
  IdleWindow(seconds);
  std::printf("idle_bytes %u\n", sink.bytes.load());
  comm.Close();
  return 0;
}

int IdleRaw(int seconds) {
  HANDLE h = OpenPort(kNear);
  SetCommMask(h, EV_RXCHAR | EV_TXEMPTY);
  OVERLAPPED ov{};
  ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  DWORD mask = 0;
  WaitCommEvent(h, &mask, &ov);
  IdleWindow(seconds);
  SetCommMask(h, 0);
  DWORD n;
  GetOverlappedResult(h, &ov, &n, TRUE);
  CloseHandle(ov.hEvent);
  CloseHandle(h);
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  std::string mode = argc > 1 ? argv[1] : "";
  int n = argc > 2 ? std::atoi(argv[2]) : 0;
  if (mode == "latency") return Latency(n > 0 ? n : 2000);
  if (mode == "throughput") return Throughput(n > 0 ? n : 8);
  if (mode == "idle") return Idle(n > 0 ? n : 10);
  if (mode == "idle-raw") return IdleRaw(n > 0 ? n : 10);
  std::fprintf(stderr, "usage: serial_bench latency|throughput|idle|idle-raw [n]\n");
  return 2;
}
