// torvex-hub's cost per call: the round trip a till sees (new connection,
// request, reply) less the time the call spent in the library and device
// (Hub-Dispositivo-Us, measured around the export call in the hub). Then
// the hub's memory (VmRSS) over many device calls and many refused requests.
//
//   hub_bench [DEVICE_CALLS] [REFUSED_REQUESTS]     (defaults 2000, 100000)
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "hub_harness.h"

using namespace hubtest;

namespace {

long RssKiB(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

double Percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v[static_cast<std::size_t>(p * (v.size() - 1))];
}

}  // namespace

int main(int argc, char **argv) {
  int calls = argc > 1 ? std::atoi(argv[1]) : 2000;
  int refused = argc > 2 ? std::atoi(argv[2]) : 100000;
  fs::path dir = TempDir("bench");
  Satemu emu;
  emu.Start(dir);
  HubProcess hub;
  hub.Start(emu.Ports(), dir, {"--access-log", ""});
  pid_t pid = 0;
  {
    // The hub's pid, from the process listening: the harness's child.
    std::ifstream in("/proc/self/task/" + std::to_string(getpid()) + "/children");
    std::string a, b;
    in >> a >> b;
    pid = static_cast<pid_t>(std::stoi(b.empty() ? a : b));
  }
  for (int i = 0; i < 20; ++i) Call(hub.Port(), "consultarsat", 1);  // warm up
  long rssStart = RssKiB(pid);
  std::vector<double> overheadMs, roundMs;
  for (int i = 0; i < calls; ++i) {
    auto t0 = std::chrono::steady_clock::now();
    Reply r = Call(hub.Port(), "consultarsat", i % 20);
    double total = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    if (r.status != 200) {
      std::fprintf(stderr, "call %d: %d %s\n", i, r.status, r.body.c_str());
      return 1;
    }
    double device = std::stod(r.headers["Hub-Dispositivo-Us"]) / 1000.0;
    roundMs.push_back(total);
    overheadMs.push_back(total - device);
  }
  long rssCalls = RssKiB(pid);
  for (int i = 0; i < refused; ++i) Call(hub.Port(), "naoexiste", i % 1000);
  long rssRefused = RssKiB(pid);
  std::printf("device calls: %d (ConsultarSAT, new connection each)\n", calls);
  std::printf("round trip:   median %.3f ms, p99 %.3f ms\n", Percentile(roundMs, 0.5),
              Percentile(roundMs, 0.99));
  std::printf("hub's cost:   median %.3f ms, p99 %.3f ms (round trip less library+device time)\n",
              Percentile(overheadMs, 0.5), Percentile(overheadMs, 0.99));
  std::printf("hub VmRSS:    %ld KiB after warm-up, %ld KiB after %d calls, %ld KiB after %d refused requests\n",
              rssStart, rssCalls, calls, rssRefused, refused);
  hub.Stop();
  fs::remove_all(dir);
  return 0;
}
