// torvex-hub end to end: the real hub process on loopback, the real
// libtorvex.so in it, satemu on a pseudo-terminal.
#include <gtest/gtest.h>
#include <torvex.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>

#include "hub_harness.h"

using namespace hubtest;
using json = nlohmann::json;

namespace {

std::string ReadFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string Retorno(const Reply &r) { return json::parse(r.body).at("retorno").get<std::string>(); }

// A hub on its own emulator.
struct Rig {
  explicit Rig(const std::string &name, const std::vector<std::string> &hubArgs = {},
               const std::vector<std::string> &emuArgs = {})
      : dir(TempDir(name)) {
    emu.Start(dir, emuArgs);
    hub.Start(emu.Ports(), dir, hubArgs);
  }
  ~Rig() {
    hub.Stop();
    fs::remove_all(dir);
  }
  unsigned short Port() const { return hub.Port(); }
  fs::path dir;
  Satemu emu;
  HubProcess hub;
};

std::string Metrics(unsigned short port) { return Http(port, "GET", "/metrics").body; }

}  // namespace

// Every function through the hub (till 5) and directly through the library
// (this process, on a second emulator with the same seed and the same
// commands): the same reply, field by field, but for the session number and
// the clock's fields.
TEST(HubE2E, EveryFunctionMatchesTheLibraryFieldByField) {
  fs::path direct = TempDir("direct");
  Satemu other;
  other.Start(direct);
  setenv("TORVEX_PORT_DIR", other.Ports().c_str(), 1);
  Rig rig("catalogue");
  const std::string code = "12345678";
  const std::string venda = ReadFile(TORVEX_SOURCE_DIR "/tools/samples/venda.xml");
  std::string signac = venda.substr(venda.find("<signAC>") + 8);
  signac = signac.substr(0, signac.find("</signAC>"));
  int session = 500000;
  std::string key;
  std::map<std::string, int> sessionsOf;  // the hub's session of each function

  struct Step {
    std::string path;
    std::vector<std::pair<std::string, std::string>> fields;
    std::function<const char *(int)> direct;
  };
  auto run = [&](const Step &s) {
    SCOPED_TRACE(s.path);
    Reply r = Call(rig.Port(), s.path, 5, s.fields);
    ASSERT_EQ(r.status, 200) << r.body;
    std::string viaHub = Retorno(r);
    std::string viaLib = s.direct(++session);
    auto a = Fields(viaHub), b = Fields(viaLib);
    ASSERT_EQ(a.size(), b.size()) << viaHub << "\n" << viaLib;
    EXPECT_TRUE(InRangeOf(5, a[0])) << viaHub;
    for (std::size_t i = 1; i < a.size(); ++i) {
      if (a[i] == b[i]) continue;
      // Only the clock may differ: time stamps, and the documents and
      // logs that carry them (same length; digits where digits were).
      EXPECT_EQ(a[i].size(), b[i].size()) << "field " << i << "\n" << viaHub << "\n" << viaLib;
    }
    sessionsOf[s.path] = std::stoi(a[0]);
    if (s.path == "enviardadosvenda") key = a[8];
  };
  std::vector<Step> steps = {
      {"consultarsat", {}, [&](int s) { return ConsultarSAT(s); }},
      {"ativarsat",
       {{"tipo_certificado", "1"}, {"cnpj", "11222333000181"}, {"codigo_uf", "35"}},
       [&](int s) { return AtivarSAT(s, 1, code.c_str(), "11222333000181", 35); }},
      {"comunicarcertificadoicpbrasil",
       {{"certificado", "TUlJQg=="}},
       [&](int s) { return ComunicarCertificadoICPBRASIL(s, code.c_str(), "TUlJQg=="); }},
      {"associarassinatura",
       {{"sequencia_cnpj", "1671611400017211222333000181"}, {"assinatura_ac", signac}},
       [&](int s) {
         return AssociarAssinatura(s, code.c_str(), "1671611400017211222333000181", signac.c_str());
       }},
      {"enviardadosvenda",
       {{"dados_venda", venda}},
       [&](int s) { return EnviarDadosVenda(s, code.c_str(), venda.c_str()); }},
      {"consultarultimasessaofiscal",
       {},
       [&](int s) { return ConsultarUltimaSessaoFiscal(s, code.c_str()); }},
      {"testefimafim",
       {{"dados_venda", venda}},
       [&](int s) { return TesteFimAFim(s, code.c_str(), venda.c_str()); }},
      {"consultarstatusoperacional",
       {},
       [&](int s) { return ConsultarStatusOperacional(s, code.c_str()); }},
      {"configurarinterfacederede",
       {{"configuracao", "<config><tipoLan>DHCP</tipoLan></config>"}},
       [&](int s) {
         return ConfigurarInterfaceDeRede(s, code.c_str(),
                                          "<config><tipoLan>DHCP</tipoLan></config>");
       }},
      {"extrairlogs", {}, [&](int s) { return ExtrairLogs(s, code.c_str()); }},
      {"bloquearsat", {}, [&](int s) { return BloquearSAT(s, code.c_str()); }},
      {"desbloquearsat", {}, [&](int s) { return DesbloquearSAT(s, code.c_str()); }},
      {"atualizarsoftwaresat", {}, [&](int s) { return AtualizarSoftwareSAT(s, code.c_str()); }},
  };
  for (const Step &s : steps) run(s);
  ASSERT_EQ(key.substr(0, 3), "CFe");
  std::string canc = ReadFile(TORVEX_SOURCE_DIR "/tools/samples/cancelamento.xml");
  auto at = canc.find("chCanc=\"") + 8;
  canc.replace(at, canc.find('"', at) - at, key);
  run({"cancelarultimavenda", {{"chave_cfe", key}, {"dados_cancelamento", canc}}, [&](int s) {
         return CancelarUltimaVenda(s, code.c_str(), key.c_str(), canc.c_str());
       }});
  // The sale's session: from the hub's own store (the device's answer is
  // the same text).
  int sale = sessionsOf["enviardadosvenda"];
  Reply kept =
      Call(rig.Port(), "consultarnumerosessao", 5, {{"numero_sessao", std::to_string(sale)}});
  ASSERT_EQ(kept.status, 200);
  EXPECT_EQ(Fields(Retorno(kept))[1], "06000");
  EXPECT_EQ(Fields(Retorno(kept))[0], std::to_string(sale));
  // A session never used: the device answers it (11003), as directly.
  run({"consultarnumerosessao",
       {{"numero_sessao", std::to_string(RangeStartOf(5) + 899)}},
       [&](int s) { return ConsultarNumeroSessao(s, code.c_str(), 999999); }});
  // The code changed through the hub is the hub's code from then on.
  run({"trocarcodigodeativacao",
       {{"novo_codigo_ativacao", "87654321"}, {"opcao", "1"}},
       [&](int s) { return TrocarCodigoDeAtivacao(s, code.c_str(), 1, "87654321", "87654321"); }});
  Reply after = Call(rig.Port(), "consultarstatusoperacional", 5);
  EXPECT_EQ(Fields(Retorno(after))[1], "10000") << after.body;
  fs::remove_all(direct);
}

// 20 tills x 50 calls at once: every reply is the caller's own, none lost or
// duplicated, and no call waits behind more than one call of any other till.
TEST(HubE2E, TwentyTillsFiftyCallsEachAreServedFairly) {
  Rig rig("load");
  struct Seen {
    int till, sequence, arrival, session;
  };
  std::mutex lock;
  std::vector<Seen> seen;
  std::atomic<int> failures{0};
  std::vector<std::thread> tills;
  for (int till = 0; till < 20; ++till) {
    tills.emplace_back([&, till] {
      for (int i = 0; i < 50; ++i) {
        const char *fn = i % 5 == 4 ? "consultarstatusoperacional" : "consultarsat";
        Reply r = Call(rig.Port(), fn, till * 50);
        if (r.status != 200) {
          ++failures;
          continue;
        }
        auto f = Fields(Retorno(r));
        int session = std::stoi(r.headers["Hub-Sessao"]);
        if (f[0] != std::to_string(session) || !InRangeOf(till * 50, f[0])) ++failures;
        std::lock_guard<std::mutex> g(lock);
        seen.push_back({till, std::stoi(r.headers["Hub-Sequencia"]),
                        std::stoi(r.headers["Hub-Chegada"]), session});
      }
    });
  }
  for (auto &t : tills) t.join();
  EXPECT_EQ(failures.load(), 0);
  ASSERT_EQ(seen.size(), 1000u);
  std::set<int> sessions, sequences;
  for (const Seen &s : seen) {
    sessions.insert(s.session);
    sequences.insert(s.sequence);
  }
  EXPECT_EQ(sessions.size(), 1000u);   // no session used twice
  EXPECT_EQ(sequences.size(), 1000u);  // one call at a time on the device
  std::map<int, int> tillAt;           // device order -> till
  for (const Seen &s : seen) tillAt[s.sequence] = s.till;
  for (const Seen &s : seen) {
    std::map<int, int> ahead;
    for (int q = s.arrival + 1; q < s.sequence; ++q) ++ahead[tillAt[q]];
    for (const auto &[other, n] : ahead)
      ASSERT_LE(n, 1) << "till " << s.till << " waited behind " << n << " calls of till " << other;
  }
}

// A till that leaves while queued never reaches the device; a call that
// waits longer than the allowance gets 503 with Retry-After.
TEST(HubE2E, QueuedCallsLeaveOrTimeOutWithoutTouchingTheDevice) {
  Rig rig("queue", {"--queue-allowance-ms", "400"});
  rig.emu.Fault("delay:1500@ConsultarStatusOperacional\n");
  std::thread slow([&] { Call(rig.Port(), "consultarstatusoperacional", 1); });
  // Wait until the slow call is on the device.
  for (int i = 0; i < 200; ++i) {
    if (json::parse(Http(rig.Port(), "GET", "/hub/v1/health").body)["em_execucao"] == true) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  {
    // Till 2 asks and leaves at once.
    boost::asio::io_context io;
    boost::asio::ip::tcp::socket s(io);
    s.connect({boost::asio::ip::make_address("127.0.0.1"), rig.Port()});
    std::string body = "numero_caixa=2";
    std::string req =
        "POST /hub/v1/consultarsat HTTP/1.1\r\nHost: x\r\nContent-Type: "
        "application/x-www-form-urlencoded\r\nContent-Length: " +
        std::to_string(body.size()) + "\r\n\r\n" + body;
    boost::asio::write(s, boost::asio::buffer(req));
  }
  Reply late = Call(rig.Port(), "consultarsat", 3);
  EXPECT_EQ(late.status, 503) << late.body;
  EXPECT_EQ(late.headers["Retry-After"], "2");
  slow.join();
  std::string m = Metrics(rig.Port());
  EXPECT_NE(m.find("torvex_hub_queue_dropped_total 1"), std::string::npos) << m;
  EXPECT_NE(m.find("torvex_hub_queue_timeouts_total 1"), std::string::npos) << m;
  EXPECT_EQ(m.find("numero_caixa=\"2\""), std::string::npos) << m;
  EXPECT_EQ(m.find("numero_caixa=\"3\""), std::string::npos) << m;
  EXPECT_EQ(json::parse(Http(rig.Port(), "GET", "/hub/v1/health").body)["chamadas"], 1);
}

// The device is unplugged during a call with others queued: each gets the
// library's answer (no hang, no HTTP error), and the hub serves again once
// the device is back.
TEST(HubE2E, UnpluggedDeviceWithCallsQueuedThenRecovers) {
  Rig rig("unplug");
  ASSERT_EQ(Call(rig.Port(), "consultarsat", 1).status, 200);
  rig.emu.Fault("unplug:700\n");
  std::vector<std::thread> tills;
  std::vector<Reply> replies(3);
  for (int t = 0; t < 3; ++t)
    tills.emplace_back([&, t] { replies[t] = Call(rig.Port(), "consultarsat", 10 + t); });
  for (auto &t : tills) t.join();
  int failed = 0;
  for (const Reply &r : replies) {
    ASSERT_EQ(r.status, 200) << r.body;
    if (Fields(Retorno(r)).size() < 2 || Fields(Retorno(r))[1] != "08000") ++failed;
  }
  EXPECT_GE(failed, 1);  // at least the call on the device saw it go
  bool back = false;
  for (int i = 0; i < 40 && !back; ++i) {
    Reply r = Call(rig.Port(), "consultarsat", 1);
    back = Fields(Retorno(r)).size() > 1 && Fields(Retorno(r))[1] == "08000";
    if (!back) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_TRUE(back);
  EXPECT_EQ(json::parse(Http(rig.Port(), "GET", "/hub/v1/health").body)["dispositivo"],
            "alcancavel");
}

// A hub killed outright and started again hands out none of the numbers it
// used before.
TEST(HubE2E, RestartAfterAKillReusesNoSessionNumber) {
  Rig rig("restart");
  std::set<int> used;
  for (int i = 0; i < 5; ++i)
    used.insert(std::stoi(Call(rig.Port(), "consultarsat", 9).headers["Hub-Sessao"]));
  // No clean stop: SIGKILL.
  rig.hub.Kill();
  rig.hub.Start(rig.emu.Ports(), rig.dir);
  for (int i = 0; i < 5; ++i) {
    int s = std::stoi(Call(rig.Port(), "consultarsat", 9).headers["Hub-Sessao"]);
    EXPECT_TRUE(used.insert(s).second) << s << " used again";
    EXPECT_TRUE(InRangeOf(9, std::to_string(s)));
  }
}

// A client trickling its request is cut off at the read limit, and other
// tills are served meanwhile.
TEST(HubE2E, SlowClientsDoNotBlockOtherTills) {
  Rig rig("slow", {"--read-timeout-ms", "1500"});
  boost::asio::io_context io;
  boost::asio::ip::tcp::socket s(io);
  s.connect({boost::asio::ip::make_address("127.0.0.1"), rig.Port()});
  std::string head =
      "POST /hub/v1/consultarsat HTTP/1.1\r\nHost: x\r\nContent-Type: "
      "application/x-www-form-urlencoded\r\nContent-Length: 1000\r\n\r\n";
  boost::asio::write(s, boost::asio::buffer(head));
  auto t0 = std::chrono::steady_clock::now();
  std::atomic<bool> stop{false};
  std::thread trickle([&] {
    boost::system::error_code ec;
    for (int i = 0; i < 100 && !ec && !stop; ++i) {
      boost::asio::write(s, boost::asio::buffer("x", 1), ec);
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  });
  for (int i = 0; i < 5; ++i) EXPECT_EQ(Call(rig.Port(), "consultarsat", 4).status, 200);
  char c;
  boost::system::error_code ec;
  s.read_some(boost::asio::buffer(&c, 1), ec);  // the hub closes the connection
  double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_TRUE(ec) << "the trickling client got an answer";
  EXPECT_LT(took, 8.0);
  stop = true;  // the socket is the trickling thread's until it has ended
  trickle.join();
  s.close();
}

// Bad requests get their 4xx and a JSON error naming the field, and never
// reach the device; tokens; the remote endpoint's session mapping.
TEST(HubE2E, BadInputsAccessAndTheRemoteEndpoint) {
  Rig rig("bad", {"--body-limit", "4194304", "--token", "3=segredo"});
  const int port = rig.Port();
  std::string big(2u * 1024u * 1024u, 'a');
  struct Case {
    std::string method, path, body, contentType;
    std::map<std::string, std::string> headers;
    int status;
    std::string campo;
  } cases[] = {
      {"POST",
       "/hub/v1/naoexiste",
       "numero_caixa=1",
       "application/x-www-form-urlencoded",
       {},
       404,
       "funcao"},
      {"GET", "/hub/v1/consultarsat", "", "", {}, 405, ""},
      {"POST", "/hub/v1/consultarsat", "{\"numero_caixa\":1}", "application/json", {}, 415, ""},
      {"POST",
       "/hub/v1/consultarsat",
       "x=1",
       "application/x-www-form-urlencoded",
       {},
       400,
       "numero_caixa"},
      {"POST",
       "/hub/v1/consultarsat",
       "numero_caixa=1000",
       "application/x-www-form-urlencoded",
       {},
       400,
       "numero_caixa"},
      {"POST",
       "/hub/v1/consultarsat",
       "numero_caixa=1",
       "application/x-www-form-urlencoded",
       {{"numero_caixa", "2"}},
       400,
       "numero_caixa"},
      {"POST",
       "/hub/v1/enviardadosvenda",
       "numero_caixa=1",
       "application/x-www-form-urlencoded",
       {},
       400,
       "dados_venda"},
      {"POST",
       "/hub/v1/enviardadosvenda",
       "numero_caixa=1&dados_venda=%zz",
       "application/x-www-form-urlencoded",
       {},
       400,
       "dados_venda"},
      {"POST",
       "/hub/v1/ativarsat",
       "numero_caixa=1&tipo_certificado=x&cnpj=1&codigo_uf=35",
       "application/x-www-form-urlencoded",
       {},
       400,
       "tipo_certificado"},
      {"POST",
       "/hub/v1/consultarnumerosessao",
       "numero_caixa=1&numero_sessao=100000",
       "application/x-www-form-urlencoded",
       {},
       400,
       "numero_sessao"},
      {"POST",
       "/hub/v1/enviardadosvenda",
       "numero_caixa=1&dados_venda=" + big,
       "application/x-www-form-urlencoded",
       {},
       413,
       "dados_venda"},
      {"POST",
       "/hub/v1/enviardadosvenda",
       "numero_caixa=1&dados_venda=" + big + big,
       "application/x-www-form-urlencoded",
       {},
       413,
       ""},
      {"POST",
       "/hub/v1/consultarsat",
       "numero_caixa=3",
       "application/x-www-form-urlencoded",
       {},
       401,
       "Authorization"},
      {"POST",
       "/hub/v1/consultarsat",
       "numero_caixa=3",
       "application/x-www-form-urlencoded",
       {{"Authorization", "Bearer errado"}},
       401,
       "Authorization"},
      {"POST",
       "/hub/remote/v2/call",
       "numero_caixa=3",
       "application/x-www-form-urlencoded",
       {},
       404,
       ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.path + " " + c.body.substr(0, 80));
    Reply r = Http(port, c.method, c.path, c.body, c.headers, c.contentType);
    EXPECT_EQ(r.status, c.status) << r.body;
    json j = json::parse(r.body);
    EXPECT_FALSE(j["erro"].get<std::string>().empty());
    EXPECT_EQ(j["campo"], c.campo);
  }
  EXPECT_EQ(json::parse(Http(port, "GET", "/hub/v1/health").body)["chamadas"], 0);
  Reply ok = Http(port, "POST", "/hub/v1/consultarsat", "numero_caixa=3",
                  {{"Authorization", "Bearer segredo"}});
  EXPECT_EQ(ok.status, 200);

  // Remote: the till's own session numbers in, the till's own numbers out.
  auto remote = [&](std::vector<std::pair<std::string, std::string>> f) {
    f.emplace_back("numero_caixa", "7");
    f.emplace_back("codificacao", "utf8");
    Reply r = Http(port, "POST", "/hub/remote/v1/call", FormEncode(f));
    EXPECT_EQ(r.status, 200) << r.body;
    std::map<std::string, std::string> out;
    std::stringstream in(r.body);
    std::string pair;
    while (std::getline(in, pair, '&')) {
      std::string v = pair.substr(pair.find('=') + 1), d;
      for (std::size_t i = 0; i < v.size(); ++i) {
        if (v[i] == '%') {
          d += static_cast<char>(std::stoi(v.substr(i + 1, 2), nullptr, 16));
          i += 2;
        } else {
          d += v[i];
        }
      }
      out[pair.substr(0, pair.find('='))] = d;
    }
    return out;
  };
  auto a = remote({{"funcao", "ConsultarSAT"}, {"numero_sessao", "42"}});
  EXPECT_EQ(a["retorno"].substr(0, 13), "000042|08000|") << "six digits, as a direct call gives it";
  EXPECT_EQ(a["codigo"], "0");
  EXPECT_TRUE(InRangeOf(7, a["sessao_dispositivo"]));
  auto b = remote({{"funcao", "ConsultarNumeroSessao"},
                   {"numero_sessao", "43"},
                   {"codigo_ativacao", "12345678"},
                   {"numero_sessao_consultada", "42"}});
  EXPECT_EQ(b["retorno"].substr(0, 13), "000042|08000|") << b["retorno"];
  auto c = remote({{"funcao", "ConsultarNumeroSessao"},
                   {"numero_sessao", "44"},
                   {"codigo_ativacao", "12345678"},
                   {"numero_sessao_consultada", "41"}});
  EXPECT_NE(c["retorno"].find("|11003|"), std::string::npos) << c["retorno"];
}
