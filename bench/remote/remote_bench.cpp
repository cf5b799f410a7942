// Remote mode's cost per call: ConsultarSAT made directly on the port and
// through the real torvex-hub on loopback (which makes the same call on the
// same satemu with its own libtorvex.so), alternately. The library's code is
// linked in, so that one process can switch between the two modes.
//
//   remote_bench [CALLS]      (default 500 of each)
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "command_state.h"
#include "hub_harness.h"
#include "remote_config.h"
#include "remote_measure.h"
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

// The library in one mode: it is switched before each call.
class Mode : public remotebench::CallPath {
 public:
  explicit Mode(const std::string *url) : url_(url) {}
  void Prepare() override { UseHub(url_ ? url_->c_str() : nullptr); }
  std::string Call(int session, int &code) override {
    std::string reply = ConsultarSAT(session);
    char buf[TORVEX_STATUS_SIZE] = {};
    CodigoErro(buf);
    std::memcpy(&code, buf, 4);
    return reply;
  }

 private:
  const std::string *url_;
};

}  // namespace

int main(int argc, char **argv) {
  int calls = argc > 1 ? std::atoi(argv[1]) : 500;
  fs::path dir = TempDir("remote-bench");
  Satemu emu;
  emu.Start(dir);
  HubProcess hub;
  hub.Start(emu.Ports(), dir);  // its access log: dir/access.log
  setenv("TORVEX_PORT_DIR", emu.Ports().c_str(), 1);
  std::string url = "http://127.0.0.1:" + std::to_string(hub.Port());

  // The warm-up lets the library and the hub's library each find the port.
  Mode direct(nullptr), remote(&url);
  std::vector<double> remoteMs;
  bool ok = remotebench::MeasureRemoteCost(direct, remote, calls, remoteMs) &&
            remotebench::PrintHubSplit((dir / "access.log").string().c_str(), remoteMs);
  hub.Stop();
  fs::remove_all(dir);
  return ok ? 0 : 1;
}
