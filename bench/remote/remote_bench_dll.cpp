// Remote mode's cost per call in torvex.dll, as a POS program meets it:
// ConsultarSAT made directly on the port and through the hub, alternately.
// The library reads its settings once, at its first call, so this program
// loads it twice, as two modules: the torvex.dll beside it drives the port,
// and a copy of it in a folder of its own works in remote mode. The copy
// makes its first call while TORVEX_HUB is set; the variable is then
// removed and the direct copy makes its first call. LastTx tells each
// copy's mode (remote mode notes the hub's address in it), and the program
// refuses to measure when either copy is in the wrong one.
//
//   remote_bench [CALLS]      (default 500 of each)
//
// Run it through bench/remote/run-wine.sh, which serves satemu's port both
// as a COM port of the Wine prefix and through torvex-hub on 127.0.0.1, and
// gives this program TORVEX_HUB, TORVEX_TILL and TORVEX_TEST_TMP, and the
// hub's access log (TORVEX_HUB_ACCESS_LOG), which splits the remote calls.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "remote_measure.h"
#include "torvex.h"

namespace {

using ConsultarSATFn = const char *(TORVEX_CALL *)(int);
using CodigoErroFn = char *(TORVEX_CALL *)(char *);
using LastTxFn = const char *(TORVEX_CALL *)();

template <class Fn>
Fn Export(HMODULE dll, const char *name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void *>(GetProcAddress(dll, name)));
}

// One loaded copy of torvex.dll.
class Library : public remotebench::CallPath {
 public:
  bool Load(const std::string &path) {
    dll_ = LoadLibraryA(path.c_str());
    if (dll_ == nullptr) {
      std::fprintf(stderr, "remote_bench: cannot load %s (error %lu)\n", path.c_str(),
                   static_cast<unsigned long>(GetLastError()));
      return false;
    }
    consultar_ = Export<ConsultarSATFn>(dll_, "ConsultarSAT");
    codigoErro_ = Export<CodigoErroFn>(dll_, "CodigoErro");
    lastTx_ = Export<LastTxFn>(dll_, "LastTx");
    return consultar_ && codigoErro_ && lastTx_;
  }
  std::string Call(int session, int &code) override {
    std::string reply = consultar_(session);
    char buf[TORVEX_STATUS_SIZE] = {};
    codigoErro_(buf);
    std::memcpy(&code, buf, 4);
    return reply;
  }
  // The mode the copy took at its first call.
  bool Remote() const { return std::strstr(lastTx_(), " [hub ") != nullptr; }
  std::string LastTxText() const { return lastTx_(); }

 private:
  HMODULE dll_ = nullptr;
  ConsultarSATFn consultar_ = nullptr;
  CodigoErroFn codigoErro_ = nullptr;
  LastTxFn lastTx_ = nullptr;
};

std::string ProgramFolder() {
  char path[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
  if (n == 0 || n >= sizeof path) return ".";
  std::string s(path, n);
  return s.substr(0, s.find_last_of("\\/"));
}

// The first call of a copy: it reads the settings. True when it answered
// and took the mode expected.
bool FirstCall(Library &lib, bool remote) {
  int code = -1;
  std::string reply = lib.Call(1, code);
  if (lib.Remote() != remote) {
    std::fprintf(stderr, "remote_bench: the %s copy is not in %s mode (LastTx %s)\n",
                 remote ? "remote" : "direct", remote ? "remote" : "direct",
                 lib.LastTxText().c_str());
    return false;
  }
  if (code != 0) {
    std::fprintf(stderr, "remote_bench: first %s call failed (code %d): %s\n",
                 remote ? "remote" : "direct", code, reply.c_str());
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  int calls = argc > 1 ? std::atoi(argv[1]) : 500;
  const char *hub = std::getenv("TORVEX_HUB");
  const char *tmp = std::getenv("TORVEX_TEST_TMP");
  if (hub == nullptr || hub[0] == '\0' || tmp == nullptr || std::getenv("TORVEX_TILL") == nullptr) {
    std::fprintf(stderr,
                 "remote_bench: run through bench/remote/run-wine.sh "
                 "(TORVEX_HUB, TORVEX_TILL and TORVEX_TEST_TMP)\n");
    return 2;
  }
  std::string original = ProgramFolder() + "\\torvex.dll";
  std::string folder = std::string(tmp) + "\\remote-copy";
  std::string copy = folder + "\\torvex.dll";
  CreateDirectoryA(folder.c_str(), nullptr);
  if (!CopyFileA(original.c_str(), copy.c_str(), FALSE)) {
    std::fprintf(stderr, "remote_bench: cannot copy %s to %s (error %lu)\n", original.c_str(),
                 copy.c_str(), static_cast<unsigned long>(GetLastError()));
    return 1;
  }
  std::printf("torvex.dll: direct %s, remote %s (hub %s, till %s)\n", original.c_str(),
              copy.c_str(), hub, std::getenv("TORVEX_TILL"));

  Library remote, direct;
  if (!remote.Load(copy) || !FirstCall(remote, true)) return 1;
  // The C runtime's copy of the environment (which the library reads) and
  // the process's own.
  _putenv("TORVEX_HUB=");
  SetEnvironmentVariableA("TORVEX_HUB", nullptr);
  if (!direct.Load(original) || !FirstCall(direct, false)) return 1;

  std::vector<double> remoteMs;
  if (!remotebench::MeasureRemoteCost(direct, remote, calls, remoteMs)) return 1;
  // The hub's access log, a path of this machine: drive Z: under Wine.
  const char *log = std::getenv("TORVEX_HUB_ACCESS_LOG");
  if (log == nullptr) return 0;
  std::string path = log[0] == '/' ? std::string("Z:") + log : std::string(log);
  return remotebench::PrintHubSplit(path.c_str(), remoteMs) ? 0 : 1;
}
