#include "remote_measure.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
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

// The number after "key": in a JSON line, or a negative figure.
double Field(const std::string &line, const char *key) {
  std::string quoted = std::string("\"") + key + "\":";
  std::size_t at = line.find(quoted);
  if (at == std::string::npos) return -1;
  return std::strtod(line.c_str() + at + quoted.size(), nullptr);
}

}  // namespace

bool MeasureRemoteCost(CallPath &direct, CallPath &remote, int calls, std::vector<double> &remoteMs,
                       int warmup) {
  if (calls < 1) calls = 1;
  for (int i = 0; i < warmup; ++i) {
    if (TimedCall(direct, "direct", i + 1) < 0 || TimedCall(remote, "remote", i + 1) < 0)
      return false;
  }
  std::vector<double> directMs, paired;
  remoteMs.clear();
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

bool PrintHubSplit(const char *accessLog, const std::vector<double> &remoteMs) {
  std::ifstream in(accessLog);
  std::vector<double> hubMs, deviceMs;
  for (std::string line; std::getline(in, line);) {
    if (line.find("\"caminho\":\"/hub/remote/v1/call\"") == std::string::npos) continue;
    hubMs.push_back(Field(line, "ms"));
    deviceMs.push_back(Field(line, "dispositivo_ms"));
  }
  std::size_t n = remoteMs.size();
  if (n == 0 || hubMs.size() < n) {
    std::fprintf(stderr, "%s: %zu remote calls logged, %zu made\n", accessLog, hubMs.size(), n);
    return false;
  }
  std::vector<double> device, hubOwn, client;
  for (std::size_t i = 0; i < n; ++i) {
    double whole = hubMs[hubMs.size() - n + i], dev = deviceMs[deviceMs.size() - n + i];
    if (whole < 0 || dev < 0) {
      std::fprintf(stderr, "%s: a remote call's line lacks its times\n", accessLog);
      return false;
    }
    device.push_back(dev);
    hubOwn.push_back(whole - dev);
    client.push_back(remoteMs[i] - whole);
  }
  std::printf("remote calls split by the hub's access log:\n");
  std::printf("  device call in the hub:  median %.3f ms, p99 %.3f ms\n", Percentile(device, 0.5),
              Percentile(device, 0.99));
  std::printf("  hub's own part:          median %.3f ms, p99 %.3f ms\n", Percentile(hubOwn, 0.5),
              Percentile(hubOwn, 0.99));
  std::printf("  connection and client:   median %.3f ms, p99 %.3f ms\n", Percentile(client, 0.5),
              Percentile(client, 0.99));
  std::fflush(stdout);
  return true;
}

}  // namespace remotebench
