// torvex-hub under load, with the real hub process, libtorvex.so and satemu
// (answering every command at once):
//
//   hub_bench [overhead] [DEVICE_CALLS] [REFUSED_REQUESTS]   (defaults 2000, 100000)
//     the hub's cost per call: the round trip a till sees (new connection,
//     request, reply) less the time the call spent in the library and device
//     (Hub-Dispositivo-Us, measured around the export call in the hub); then
//     the hub's memory (VmRSS) over those calls and over refused requests.
//   hub_bench throughput [TILLS] [CALLS_PER_TILL]            (defaults 20, 25)
//     every till calls at once, back to back (four ConsultarSAT to one
//     ConsultarStatusOperacional): calls per second for the store, and how
//     much of the wall time the device was busy.
//   hub_bench memory [DEVICE_CALLS] [TILLS]                  (defaults 100000, 20)
//     the hub's VmRSS every 5,000 device calls while TILLS tills keep the
//     queue full.
// HUB_BENCH_HUB and HUB_BENCH_SATEMU may name copies of the programs, so
// that a long run is not disturbed by a rebuild.
#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {
const char *const kBuiltHub = HUB_EXE;
const char *const kBuiltSatemu = SATEMU_EXE;
const char *BenchExe(const char *variable, const char *built) {
  const char *v = std::getenv(variable);
  return v != nullptr && *v != '\0' ? v : built;
}
}  // namespace
#undef HUB_EXE
#undef SATEMU_EXE
#define HUB_EXE BenchExe("HUB_BENCH_HUB", kBuiltHub)
#define SATEMU_EXE BenchExe("HUB_BENCH_SATEMU", kBuiltSatemu)
#include "hub_harness.h"

using namespace hubtest;

namespace {

using Ms = std::chrono::duration<double, std::milli>;

long RssKiB(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[static_cast<std::size_t>(p * static_cast<double>(v.size() - 1))];
}

// The hub's pid: the second child of this process (satemu is the first).
pid_t HubPid() {
  std::ifstream in("/proc/self/task/" + std::to_string(getpid()) + "/children");
  std::string a, b;
  in >> a >> b;
  return static_cast<pid_t>(std::stoi(b.empty() ? a : b));
}

int Overhead(unsigned short port, pid_t pid, int calls, int refused) {
  for (int i = 0; i < 20; ++i) Call(port, "consultarsat", 1);  // warm up
  long rssStart = RssKiB(pid);
  std::vector<double> overheadMs, roundMs;
  for (int i = 0; i < calls; ++i) {
    auto t0 = std::chrono::steady_clock::now();
    Reply r = Call(port, "consultarsat", i % 20);
    double total = Ms(std::chrono::steady_clock::now() - t0).count();
    if (r.status != 200) {
      std::fprintf(stderr, "call %d: %d %s\n", i, r.status, r.body.c_str());
      return 1;
    }
    double device = std::stod(r.headers["Hub-Dispositivo-Us"]) / 1000.0;
    roundMs.push_back(total);
    overheadMs.push_back(total - device);
  }
  long rssCalls = RssKiB(pid);
  for (int i = 0; i < refused; ++i) Call(port, "naoexiste", i % 1000);
  long rssRefused = RssKiB(pid);
  std::printf("device calls: %d (ConsultarSAT, new connection each)\n", calls);
  std::printf("round trip:   median %.3f ms, p99 %.3f ms\n", Percentile(roundMs, 0.5),
              Percentile(roundMs, 0.99));
  std::printf("hub's cost:   median %.3f ms, p99 %.3f ms (round trip less library+device time)\n",
              Percentile(overheadMs, 0.5), Percentile(overheadMs, 0.99));
  std::printf(
      "hub VmRSS:    %ld KiB after warm-up, %ld KiB after %d calls, %ld KiB after %d refused "
      "requests\n",
      rssStart, rssCalls, calls, rssRefused, refused);
  return 0;
}

struct Load {
  std::atomic<long> done{0}, failed{0};
  std::vector<double> roundMs, deviceMs;  // per call, gathered at the end
};

// TILLS threads calling back to back until `total` calls have been made;
// `each` runs on the main thread every `every` calls (progress).
template <typename Each>
void RunTills(unsigned short port, int tills, long total, Load &load, long every, Each each) {
  std::atomic<long> next{0};
  std::vector<std::vector<double>> round(tills), device(tills);
  std::vector<std::thread> threads;
  for (int t = 0; t < tills; ++t) {
    threads.emplace_back([&, t] {
      for (long i; (i = next++) < total;) {
        const char *fn = i % 5 == 4 ? "consultarstatusoperacional" : "consultarsat";
        auto t0 = std::chrono::steady_clock::now();
        Reply r;
        try {
          r = Call(port, fn, t * 50);
        } catch (const std::exception &) {
          r.status = 0;
        }
        if (r.status != 200) {
          ++load.failed;
        } else {
          round[t].push_back(Ms(std::chrono::steady_clock::now() - t0).count());
          device[t].push_back(std::stod(r.headers["Hub-Dispositivo-Us"]) / 1000.0);
        }
        ++load.done;
      }
    });
  }
  for (long mark = every; mark <= total; mark += every) {
    while (load.done.load() < mark) std::this_thread::sleep_for(std::chrono::milliseconds(200));
    each(mark);
  }
  for (auto &th : threads) th.join();
  for (int t = 0; t < tills; ++t) {
    load.roundMs.insert(load.roundMs.end(), round[t].begin(), round[t].end());
    load.deviceMs.insert(load.deviceMs.end(), device[t].begin(), device[t].end());
  }
}

int Throughput(unsigned short port, int tills, int perTill) {
  for (int i = 0; i < 5; ++i) Call(port, "consultarsat", 0);  // warm up
  Load load;
  long total = static_cast<long>(tills) * perTill;
  auto t0 = std::chrono::steady_clock::now();
  RunTills(port, tills, total, load, total, [](long) {});
  double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  double deviceSum = 0;
  for (double d : load.deviceMs) deviceSum += d / 1000.0;
  std::printf("tills: %d, calls: %ld (%ld failed), wall %.2f s\n", tills, total, load.failed.load(),
              wall);
  std::printf("throughput:   %.2f calls/s for the store; device busy %.1f %% of the wall time\n",
              static_cast<double>(total - load.failed.load()) / wall, 100.0 * deviceSum / wall);
  std::printf("device time:  median %.3f ms, p99 %.3f ms per call (library + device)\n",
              Percentile(load.deviceMs, 0.5), Percentile(load.deviceMs, 0.99));
  std::printf("till's wait:  median %.1f ms, p99 %.1f ms per call (queue + device + HTTP)\n",
              Percentile(load.roundMs, 0.5), Percentile(load.roundMs, 0.99));
  return load.failed.load() == 0 ? 0 : 1;
}

int Memory(unsigned short port, pid_t pid, long calls, int tills) {
  for (int i = 0; i < 20; ++i) Call(port, "consultarsat", i);  // warm up
  std::printf("hub VmRSS after warm-up: %ld KiB\n", RssKiB(pid));
  std::fflush(stdout);
  Load load;
  auto t0 = std::chrono::steady_clock::now();
  RunTills(port, tills, calls, load, std::min(5000L, calls), [&](long mark) {
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::printf("after %7ld device calls (%6.0f s): VmRSS %ld KiB, %ld failed\n", mark, s,
                RssKiB(pid), load.failed.load());
    std::fflush(stdout);
  });
  return load.failed.load() == 0 ? 0 : 1;
}

long Arg(int argc, char **argv, int i, long fallback) {
  return argc > i ? std::atol(argv[i]) : fallback;
}

}  // namespace

int main(int argc, char **argv) {
  std::string mode =
      argc > 1 && !std::isdigit(static_cast<unsigned char>(argv[1][0])) ? argv[1] : "overhead";
  int first =
      mode == "overhead" && (argc < 2 || std::isdigit(static_cast<unsigned char>(argv[1][0]))) ? 1
                                                                                               : 2;
  if (mode != "overhead" && mode != "throughput" && mode != "memory") {
    std::fprintf(stderr, "usage: hub_bench [overhead|throughput|memory] [N...] (see the source)\n");
    return 2;
  }
  fs::path dir = TempDir("bench");
  Satemu emu;
  emu.Start(dir);
  HubProcess hub;
  hub.Start(emu.Ports(), dir, {"--access-log", ""});
  pid_t pid = HubPid();
  int rc = 0;
  if (mode == "overhead")
    rc = Overhead(hub.Port(), pid, static_cast<int>(Arg(argc, argv, first, 2000)),
                  static_cast<int>(Arg(argc, argv, first + 1, 100000)));
  else if (mode == "throughput")
    rc = Throughput(hub.Port(), static_cast<int>(Arg(argc, argv, 2, 20)),
                    static_cast<int>(Arg(argc, argv, 3, 25)));
  else
    rc = Memory(hub.Port(), pid, Arg(argc, argv, 2, 100000),
                static_cast<int>(Arg(argc, argv, 3, 20)));
  hub.Stop();
  fs::remove_all(dir);
  return rc;
}
