#include "remote_measure.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

namespace remotebench {

namespace {

double Percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v[static_cast<std::size_t>(p * static_cast<double>(v.size() - 1))];
}

// One call in milliseconds (monotonic clock around it), or a negative
// figure after a failed call.
double TimedCall(CallPath &path, const char *what, int session) {
  path.Prepare();
  int code = -1;
  auto t0 = std::chrono::steady_clock::now();
  std::string reply = path.Call(session, code);
  double ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  if (code != 0 || reply.find("|08000|") == std::string::npos) {
    std::fprintf(stderr, "%s call %d failed (code %d): %s\n", what, session, code, reply.c_str());
    return -1;
  }
  return ms;
}

}  // namespace

bool MeasureRemoteCost(CallPath &direct, CallPath &remote, int calls, int warmup) {
  if (calls < 1) calls = 1;
  for (int i = 0; i < warmup; ++i) {
    if (TimedCall(direct, "direct", i + 1) < 0 || TimedCall(remote, "remote", i + 1) < 0)
      return false;
  }
  std::vector<double> directMs, remoteMs, paired;
  for (int i = 0; i < calls; ++i) {
    double d = TimedCall(direct, "direct", i % 900 + 1);
    double r = d < 0 ? -1 : TimedCall(remote, "remote", i % 900 + 1);
    if (r < 0) return false;
    directMs.push_back(d);
    remoteMs.push_back(r);
    paired.push_back(r - d);
  }
  std::printf("ConsultarSAT, %d calls of each kind, alternating\n", calls);
  std::printf("direct:             median %.3f ms, p99 %.3f ms\n", Percentile(directMs, 0.5),
              Percentile(directMs, 0.99));
  std::printf("remote:             median %.3f ms, p99 %.3f ms\n", Percentile(remoteMs, 0.5),
              Percentile(remoteMs, 0.99));
  std::printf("remote - direct:    median %.3f ms, p99 %.3f ms (of the figures above)\n",
              Percentile(remoteMs, 0.5) - Percentile(directMs, 0.5),
              Percentile(remoteMs, 0.99) - Percentile(directMs, 0.99));
  std::printf(
      "paired differences: median %.3f ms, p99 %.3f ms (each remote call less the "
      "direct call before it)\n",
      Percentile(paired, 0.5), Percentile(paired, 0.99));
  std::fflush(stdout);
  return true;
}

}  // namespace remotebench
