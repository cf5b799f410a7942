// Remote mode against the real torvex-hub on loopback (with satemu behind
// it) when the hub misbehaves: a wrong token, a hub killed during a sale and
// started again, a hub whose queue is slow. Each call gives its documented
// status within its limit. The scripted hub's cases (tests/remote_test.cpp)
// cover what the real hub never sends. The library's code is linked in, so
// that each case can set the till's settings afresh.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "../sat/testutil.h"
#include "command_state.h"
#include "hub_harness.h"
#include "remote_config.h"
#include "torvex.h"

using namespace hubtest;
using testutil::ReadStatus;
using testutil::Status;

namespace {

std::string Url(unsigned short port) { return "http://127.0.0.1:" + std::to_string(port); }

// Till `till` of the hub at url; an ini file sets a queue allowance when
// allowance >= 0 (the environment cannot).
void UseHub(const std::string &url, int till, const char *token, const fs::path &dir,
            int allowance = -1) {
  setenv("TORVEX_HUB", url.c_str(), 1);
  setenv("TORVEX_TILL", std::to_string(till).c_str(), 1);
  if (token)
    setenv("TORVEX_HUB_TOKEN", token, 1);
  else
    unsetenv("TORVEX_HUB_TOKEN");
  std::string ini;
  if (allowance >= 0) {
    ini = (dir / "torvex.ini").string();
    FILE *f = fopen(ini.c_str(), "w");
    fprintf(f, "[hub]\nqueue_allowance = %d\n", allowance);
    fclose(f);
  }
  torvex::sat::CommandState &state = torvex::sat::TheCommandState();
  torvex::sat::LoadRemoteSettingsFrom(ini.empty() ? nullptr : ini.c_str(), state.Remote);
  state.RemoteLoaded = true;
}

double Since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// Waits (up to 20 s) until the hub has a call on the device.
bool OnTheDevice(unsigned short port) {
  for (int i = 0; i < 2000; ++i) {
    Reply r = Http(port, "GET", "/hub/v1/health");
    if (r.body.find("\"em_execucao\":true") != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

std::string Sale() {
  std::FILE *f = std::fopen(TORVEX_SOURCE_DIR "/tools/samples/venda.xml", "rb");
  std::string s;
  char buf[4096];
  std::size_t n;
  while (f && (n = std::fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
  if (f) std::fclose(f);
  return s;
}

struct Rig {
  explicit Rig(const std::string &name, const std::vector<std::string> &hubArgs = {})
      : dir(TempDir(name)), args(hubArgs) {
    emu.Start(dir);
    hub.Start(emu.Ports(), dir, args);
    fs::create_directories(dir / "noports");
    setenv("TORVEX_PORT_DIR", (dir / "noports").c_str(), 1);  // no device but through the hub
  }
  ~Rig() {
    hub.Stop();
    unsetenv("TORVEX_HUB");
    fs::remove_all(dir);
  }
  fs::path dir;
  std::vector<std::string> args;
  Satemu emu;
  HubProcess hub;
};

}  // namespace

TEST(RemoteHub, WrongOrMissingTokenIsRefusedNamingTheHub) {
  Rig rig("token", {"--token", "5=segredo-5"});
  const std::string url = Url(rig.hub.Port());
  for (const char *token : {"errado", static_cast<const char *>(nullptr)}) {
    UseHub(url, 5, token, rig.dir);
    std::string got = ConsultarSAT(42);
    Status s = ReadStatus();
    EXPECT_EQ(s.code, TORVEX_STATUS_NOT_READY) << (token ? token : "no token");
    EXPECT_EQ(s.message, "Hub SAT " + url + " recusou o token do caixa 5");
    EXPECT_EQ(got, s.message);
  }
  UseHub(url, 5, "segredo-5", rig.dir);
  EXPECT_EQ(std::string(ConsultarSAT(42)).substr(0, 13), "000042|08000|");
  EXPECT_EQ(ReadStatus().code, TORVEX_STATUS_OK);
}

// The hub is killed (SIGKILL) while a sale is on the device: the call ends
// at once with 32768, the connection lost. The hub started again on the
// same address finds the till's sale under the till's own session number,
// as the till asks for it after a lost reply.
TEST(RemoteHub, HubKilledDuringASaleThenRestarted) {
  Rig rig("killed");
  const unsigned short port = rig.hub.Port();
  const std::string url = Url(port);
  UseHub(url, 5, nullptr, rig.dir);
  const std::string sale = Sale();
  ASSERT_FALSE(sale.empty());
  std::string first = EnviarDadosVenda(41, "12345678", sale.c_str());
  ASSERT_EQ(first.substr(0, 13), "000041|06000|") << first;

  rig.emu.Fault("delay:1500@EnviarDadosVenda\n");
  std::string got;
  Status s{};
  double took = 0;
  std::thread till([&] {
    auto t0 = std::chrono::steady_clock::now();
    got = EnviarDadosVenda(42, "12345678", sale.c_str());
    took = Since(t0);
    s = ReadStatus();
  });
  ASSERT_TRUE(OnTheDevice(port));
  // The hub hands the call to its device thread before the sale is on the
  // line: wait until the device has taken it (and its delay fault, which
  // empties the control file).
  bool taken = false;
  for (int i = 0; i < 2000 && !taken; ++i) {
    std::error_code ec;
    taken = fs::file_size(rig.dir / "control", ec) == 0 && !ec;
    if (!taken) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_TRUE(taken) << "the device never took the sale";
  rig.hub.Kill();
  till.join();
  EXPECT_EQ(s.code, TORVEX_STATUS_TIMEOUT) << got;
  EXPECT_EQ(s.message, "Conexao com o hub SAT " + url + " perdida");
  EXPECT_LT(took, 8.0 + 30.0);  // the sale's limit plus the allowance; in fact at once

  // Stopped: unreachable.
  std::string down = ConsultarSAT(43);
  EXPECT_EQ(ReadStatus().code, TORVEX_STATUS_NOT_READY);
  EXPECT_EQ(down, "Hub SAT inacessivel em " + url);

  // Started again on the same address with the same state: the sale was
  // made by the device, and the till finds it under its own numbers.
  std::vector<std::string> again = rig.args;
  again.insert(again.end(), {"--listen", "127.0.0.1:" + std::to_string(port)});
  rig.hub.Start(rig.emu.Ports(), rig.dir, again);
  ASSERT_EQ(rig.hub.Port(), port);
  std::string bySession;
  for (int i = 0; i < 100; ++i) {  // until the device has finished the sale
    bySession = ConsultarNumeroSessao(44, "12345678", 42);
    if (bySession.find("|06000|") != std::string::npos) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_EQ(bySession.substr(0, 13), "000042|06000|") << bySession;
  std::string last = ConsultarUltimaSessaoFiscal(45, "12345678");
  EXPECT_EQ(last, bySession);
  EXPECT_EQ(ReadStatus().message, "Codigo: 06000.\n0000");
  // The earlier sale is still the till's session 41.
  EXPECT_EQ(std::string(ConsultarNumeroSessao(46, "12345678", 41)), first);
}

// A slow hub: another till's call holds the device. The hub's queue gives
// up first (its allowance 500 ms): 32768 with the library's time-out text.
// With a hub that waits longer than the library's limit (ConsultarSAT's 2 s
// plus an allowance of 1 s), the library gives up at that limit. Real time
// is the point: the bounds are generous.
TEST(RemoteHub, SlowHubGivesTheTimeOutWithinTheLimit) {
  const std::string timeoutText = "Timeout na comunica\xc3\xa7\xc3\xa3o com o equipamento.";
  for (bool hubGivesUp : {true, false}) {
    SCOPED_TRACE(hubGivesUp ? "the hub's queue time-out" : "the library's own limit");
    Rig rig(hubGivesUp ? "slowq" : "slowlib",
            {"--queue-allowance-ms", hubGivesUp ? "500" : "60000"});
    const unsigned short port = rig.hub.Port();
    UseHub(Url(port), 5, nullptr, rig.dir, 1);
    // ExtrairLogs waits up to 20 s for the device: the delay is all its.
    rig.emu.Fault(hubGivesUp ? "delay:3000@ExtrairLogs\n" : "delay:6000@ExtrairLogs\n");
    std::thread other([&] { Call(port, "extrairlogs", 9); });
    ASSERT_TRUE(OnTheDevice(port));
    auto t0 = std::chrono::steady_clock::now();
    std::string got = ConsultarSAT(42);
    double took = Since(t0);
    Status s = ReadStatus();
    EXPECT_EQ(s.code, TORVEX_STATUS_TIMEOUT) << got;
    if (hubGivesUp) {
      EXPECT_EQ(s.message, timeoutText);
      EXPECT_LT(took, 3.0 + 10.0);
    } else {
      EXPECT_EQ(s.message, "Sem resposta do hub SAT " + Url(port) + " no prazo");
      EXPECT_GE(took, 2.9);
      EXPECT_LT(took, 3.0 + 10.0);
    }
    other.join();
    // The device is free again: the next call goes through.
    EXPECT_EQ(std::string(ConsultarSAT(43)).substr(0, 13), "000043|08000|");
  }
}
