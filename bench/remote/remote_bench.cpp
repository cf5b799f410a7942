// Remote mode's cost per call: ConsultarSAT made directly on the port and
// through the real torvex-hub on loopback (which makes the same call on the
// same satemu with its own libtorvex.so), alternately, so that a machine
// whose load drifts weighs on both alike. The library's code is linked in,
// so that one process can switch between the two modes.
//
//   remote_bench [CALLS]      (default 500 of each)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "command_state.h"
#include "hub_harness.h"
#include "remote_config.h"
#include "torvex.h"

using namespace hubtest;

namespace {

// Remote mode for till 1 of the hub at url, or direct mode (url null): the
// settings are read again at once.
void UseHub(const char *url) {
  if (url) {
    setenv("TORVEX_HUB", url, 1);
    setenv("TORVEX_TILL", "1", 1);
  } else {
    unsetenv("TORVEX_HUB");
    unsetenv("TORVEX_TILL");
  }
  torvex::sat::CommandState &state = torvex::sat::TheCommandState();
  torvex::sat::LoadRemoteSettingsFrom(nullptr, state.Remote);
  state.RemoteLoaded = true;
}

int StatusCode() {
  char buf[TORVEX_STATUS_SIZE] = {};
  CodigoErro(buf);
  int code;
  std::memcpy(&code, buf, 4);
  return code;
}

double Percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v[static_cast<std::size_t>(p * (v.size() - 1))];
}

// One ConsultarSAT, in milliseconds; exits on a failed call.
double TimedCall(int session) {
  auto t0 = std::chrono::steady_clock::now();
  std::string reply = ConsultarSAT(session);
  double ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  if (StatusCode() != 0 || reply.find("|08000|") == std::string::npos) {
    std::fprintf(stderr, "call %d failed: %s\n", session, reply.c_str());
    std::exit(1);
  }
  return ms;
}

}  // namespace

int main(int argc, char **argv) {
  int calls = argc > 1 ? std::atoi(argv[1]) : 500;
  fs::path dir = TempDir("remote-bench");
  Satemu emu;
  emu.Start(dir);
  HubProcess hub;
  hub.Start(emu.Ports(), dir, {"--access-log", ""});
  setenv("TORVEX_PORT_DIR", emu.Ports().c_str(), 1);
  std::string url = "http://127.0.0.1:" + std::to_string(hub.Port());

  // Warm up: the library and the hub's library each find the port.
  for (int i = 0; i < 10; ++i) {
    UseHub(nullptr);
    TimedCall(i + 1);
    UseHub(url.c_str());
    TimedCall(i + 1);
  }
  std::vector<double> direct, remote, paired;
  for (int i = 0; i < calls; ++i) {
    UseHub(nullptr);
    double d = TimedCall(i % 900 + 1);
    UseHub(url.c_str());
    double r = TimedCall(i % 900 + 1);
    direct.push_back(d);
    remote.push_back(r);
    paired.push_back(r - d);
  }
  std::printf("ConsultarSAT, %d calls of each kind, alternating\n", calls);
  std::printf("direct:             median %.3f ms, p99 %.3f ms\n", Percentile(direct, 0.5),
              Percentile(direct, 0.99));
  std::printf("remote:             median %.3f ms, p99 %.3f ms\n", Percentile(remote, 0.5),
              Percentile(remote, 0.99));
  std::printf("remote - direct:    median %.3f ms, p99 %.3f ms (of the figures above)\n",
              Percentile(remote, 0.5) - Percentile(direct, 0.5),
              Percentile(remote, 0.99) - Percentile(direct, 0.99));
  std::printf(
      "paired differences: median %.3f ms, p99 %.3f ms (each remote call less the "
      "direct call before it)\n",
      Percentile(paired, 0.5), Percentile(paired, 0.99));
  hub.Stop();
  fs::remove_all(dir);
  return 0;
}
