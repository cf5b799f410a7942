// The hub's web console end to end: the real hub process on loopback with
// the real libtorvex.so and satemu, through the console's JSON endpoints.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <future>
#include <set>
#include <sstream>

#include "hub_harness.h"

using namespace hubtest;
using json = nlohmann::json;

namespace {

const std::string kAdmin = "senha-do-admin-1";
const std::string kOperator = "senha-do-operador";

struct ConsoleRig {
  explicit ConsoleRig(const std::string &name,
                      std::vector<std::string> hubArgs = {"--console-admin", kAdmin,
                                                          "--console-operator", kOperator})
      : dir(TempDir(name)) {
    emu.Start(dir);
    hub.Start(emu.Ports(), dir, hubArgs);
  }
  ~ConsoleRig() {
    hub.Stop();
    fs::remove_all(dir);
  }
  unsigned short Port() const { return hub.Port(); }
  std::string AccessLog() const {
    std::ifstream in(dir / "access.log");
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
  }
  // Logs in; returns the Cookie header value.
  std::string Login(const std::string &password, const std::string &name) {
    Reply r = Http(Port(), "POST", "/hub/console/api/login",
                   FormEncode({{"senha", password}, {"usuario", name}}));
    EXPECT_EQ(r.status, 200) << r.body;
    std::string cookie = r.headers["Set-Cookie"];
    EXPECT_NE(cookie.find("HttpOnly"), std::string::npos) << cookie;
    EXPECT_NE(cookie.find("SameSite=Strict"), std::string::npos) << cookie;
    return cookie.substr(0, cookie.find(';'));
  }
  Reply Get(const std::string &cookie, const std::string &api) {
    return Http(Port(), "GET", "/hub/console/api/" + api, "", {{"Cookie", cookie}});
  }
  Reply Post(const std::string &cookie, const std::string &api,
             const std::vector<std::pair<std::string, std::string>> &fields) {
    return Http(Port(), "POST", "/hub/console/api/" + api, FormEncode(fields),
                {{"Cookie", cookie}});
  }
  fs::path dir;
  Satemu emu;
  HubProcess hub;
};

}  // namespace

TEST(HubConsole, OffWithoutAnAdministratorPassword) {
  ConsoleRig rig("console-off", {});
  EXPECT_EQ(Http(rig.Port(), "GET", "/hub/console/").status, 404);
  EXPECT_EQ(Http(rig.Port(), "POST", "/hub/console/api/login", FormEncode({{"senha", ""}})).status,
            404);
  // The tills' API is untouched.
  EXPECT_EQ(Call(rig.Port(), "consultarsat", 1).status, 200);
}

// Who may see and do what: wrong passwords and missing sessions refused and
// logged, the page itself served, an operator reads but cannot change the
// device, the administrator blocks and unblocks it with their name logged.
TEST(HubConsole, AccessRolesAndActions) {
  ConsoleRig rig("console-access");
  const unsigned short port = rig.Port();
  Reply page = Http(port, "GET", "/hub/console/");
  ASSERT_EQ(page.status, 200);
  EXPECT_NE(page.body.find("lang=\"pt-BR\""), std::string::npos);
  EXPECT_NE(page.headers["Content-Security-Policy"].find("default-src 'self'"), std::string::npos);
  EXPECT_EQ(Http(port, "GET", "/hub/console/console.js").status, 200);
  EXPECT_EQ(Http(port, "GET", "/hub/console/../hub.state").status, 404);

  Reply wrong = Http(port, "POST", "/hub/console/api/login",
                     FormEncode({{"senha", kAdmin + "x"}, {"usuario", "Intrusa"}}));
  EXPECT_EQ(wrong.status, 401);
  EXPECT_EQ(wrong.headers.count("Set-Cookie"), 0u);
  EXPECT_EQ(Http(port, "GET", "/hub/console/api/status").status, 401);
  EXPECT_EQ(Http(port, "GET", "/hub/console/api/chamadas", "",
                 {{"Cookie", "torvex_console=" + std::string(64, 'a')}})
                .status,
            401);
  EXPECT_EQ(Http(port, "GET", "/hub/console/api/sessao", "",
                 {{"Authorization", "Bearer " + kOperator + "!"}})
                .status,
            401);

  const std::string op = rig.Login(kOperator, "Ana");
  Reply status = rig.Get(op, "status");
  ASSERT_EQ(status.status, 200) << status.body;
  json s = json::parse(status.body);
  EXPECT_TRUE(s["ok"].get<bool>()) << status.body;
  EXPECT_EQ(s["campos"]["nserie"], "900004019");
  EXPECT_EQ(s["campos"]["estado_operacao_texto"], "Desbloqueado");
  EXPECT_GT(s["dispositivo_ms"].get<double>(), 0);
  EXPECT_FALSE(s["tomado_em"].get<std::string>().empty());
  // The status call went through the queue as the console's till.
  json calls = json::parse(rig.Get(op, "chamadas").body)["chamadas"];
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0]["funcao"], "ConsultarStatusOperacional");
  EXPECT_EQ(calls[0]["caixa"], 999);
  EXPECT_EQ(calls[0]["codigo"], "10000");

  Reply refused = rig.Post(op, "acao/bloquear", {{"confirmar", "sim"}});
  EXPECT_EQ(refused.status, 403) << refused.body;
  EXPECT_EQ(Http(port, "POST", "/hub/console/api/acao/bloquear", FormEncode({{"confirmar", "sim"}}),
                 {{"Authorization", "Bearer " + kOperator}})
                .status,
            403);
  EXPECT_EQ(json::parse(rig.Get(op, "chamadas").body)["chamadas"].size(),
            1u);  // nothing reached the device

  const std::string admin = rig.Login(kAdmin, "Bruno");
  EXPECT_EQ(rig.Post(admin, "acao/bloquear", {{"confirmar", "nao"}}).status, 400);  // not confirmed
  Reply blocked = rig.Post(admin, "acao/bloquear", {{"confirmar", "sim"}});
  ASSERT_EQ(blocked.status, 200) << blocked.body;
  EXPECT_EQ(json::parse(blocked.body)["codigo"], "16000") << blocked.body;
  s = json::parse(rig.Get(op, "status").body);
  EXPECT_EQ(s["campos"]["estado_operacao"], "2");
  ASSERT_FALSE(s["avisos"].empty());
  // A till's sale is now refused by the device: counted as an error.
  Call(port, "consultarstatusoperacional", 3);
  Reply unblocked =
      Http(port, "POST", "/hub/console/api/acao/desbloquear", FormEncode({{"confirmar", "sim"}}),
           {{"Authorization", "Bearer " + kAdmin}});
  EXPECT_EQ(json::parse(unblocked.body)["codigo"], "17000") << unblocked.body;

  Reply bad =
      rig.Post(admin, "acao/trocar-codigo", {{"confirmar", "sim"}, {"novo_codigo", "curto"}});
  EXPECT_EQ(bad.status, 400);
  Reply changed =
      rig.Post(admin, "acao/trocar-codigo", {{"confirmar", "sim"}, {"novo_codigo", "87654321"}});
  EXPECT_EQ(json::parse(changed.body)["codigo"], "18000") << changed.body;
  // The hub uses the new code for the tills from now on.
  Reply after = Call(port, "consultarstatusoperacional", 3);
  EXPECT_NE(after.body.find("|10000|"), std::string::npos) << after.body;

  EXPECT_EQ(rig.Post(admin, "logout", {}).status, 200);
  EXPECT_EQ(rig.Get(admin, "sessao").status, 401);

  // Guessing: after ten wrong passwords from one address even the right one
  // is refused for a while.
  for (int i = 0; i < 10; ++i)
    EXPECT_EQ(Http(port, "POST", "/hub/console/api/login",
                   FormEncode({{"senha", "chute" + std::to_string(i)}}))
                  .status,
              401);
  Reply throttled = Http(port, "POST", "/hub/console/api/login", FormEncode({{"senha", kAdmin}}));
  EXPECT_EQ(throttled.status, 429) << throttled.body;
  EXPECT_EQ(
      Http(port, "GET", "/hub/console/api/sessao", "", {{"Authorization", "Bearer " + kAdmin}})
          .status,
      429);
  EXPECT_EQ(throttled.headers.count("Set-Cookie"), 0u);

  std::string log = rig.AccessLog();
  EXPECT_NE(log.find("tentativas demais"), std::string::npos);
  EXPECT_NE(log.find("senha do console recusada"), std::string::npos);
  EXPECT_NE(log.find("Intrusa"), std::string::npos);
  EXPECT_NE(log.find("ação só para o administrador"), std::string::npos);
  EXPECT_NE(log.find("\"console\":\"acao feita\""), std::string::npos);
  EXPECT_NE(log.find("administrador (Bruno) 127.0.0.1"), std::string::npos);
  EXPECT_NE(log.find("\"acao\":\"trocar-codigo\""), std::string::npos);
  EXPECT_EQ(log.find("87654321"), std::string::npos);  // the new code is never logged
}

// What the tills do, as the console shows it: a call in the list at once
// with its till, session and code, filters, per-till counts, the queue with
// two tills waiting behind a slow command, the device's logs.
TEST(HubConsole, CallsTillsQueueAndLogs) {
  ConsoleRig rig("console-views");
  const unsigned short port = rig.Port();
  const std::string op = rig.Login(kOperator, "");
  ASSERT_EQ(Call(port, "consultarsat", 4).status, 200);
  Reply sale = Call(port, "consultarnumerosessao", 4, {{"numero_sessao", "103700"}});
  ASSERT_EQ(sale.status, 200);
  json calls = json::parse(rig.Get(op, "chamadas").body)["chamadas"];
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0]["funcao"], "ConsultarNumeroSessao");  // newest first
  EXPECT_EQ(calls[0]["codigo"], "11003");
  EXPECT_TRUE(calls[0]["erro"].get<bool>());
  EXPECT_EQ(calls[1]["caixa"], 4);
  EXPECT_EQ(calls[1]["codigo"], "08000");
  EXPECT_EQ(calls[1]["mensagem"], "SAT em Operação");
  EXPECT_TRUE(InRangeOf(4, std::to_string(calls[1]["sessao"].get<int>())));
  EXPECT_EQ(json::parse(rig.Get(op, "chamadas?funcao=ConsultarSAT").body)["chamadas"].size(), 1u);
  EXPECT_EQ(json::parse(rig.Get(op, "chamadas?caixa=5").body)["chamadas"].size(), 0u);
  json tills = json::parse(rig.Get(op, "caixas").body)["caixas"];
  ASSERT_EQ(tills.size(), 1u);
  EXPECT_EQ(tills[0]["chamadas_hoje"], 2);
  EXPECT_EQ(tills[0]["erros_hoje"], 1);

  // Till 1's command is held 6 s by the device; tills 2 and 3 queue behind.
  // The held command is ExtrairLogs (a 20 s limit): ConsultarSAT's own 2 s
  // limit would end the hold before a busy machine has seen the queue.
  rig.emu.Fault("delay:6000@ExtrairLogs\n");
  auto slow = std::async(std::launch::async, [port] { return Call(port, "extrairlogs", 1); });
  json queue;
  for (int i = 0; i < 200; ++i) {  // the running call shows within 10 s on a busy machine
    queue = json::parse(rig.Get(op, "fila").body);
    if (!queue["em_execucao"].is_null()) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_FALSE(queue["em_execucao"].is_null()) << queue.dump();
  auto second = std::async(std::launch::async, [port] { return Call(port, "consultarsat", 2); });
  auto third = std::async(std::launch::async, [port] { return Call(port, "consultarsat", 3); });
  for (int i = 0; i < 200 && queue["esperando"].size() < 2; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    queue = json::parse(rig.Get(op, "fila").body);
  }
  // The device is still on till 1's command (held 6 s) while both wait.
  ASSERT_EQ(queue["esperando"].size(), 2u) << queue.dump();
  EXPECT_EQ(queue["em_execucao"]["caixa"], 1);
  std::set<int> waiting = {queue["esperando"][0]["caixa"].get<int>(),
                           queue["esperando"][1]["caixa"].get<int>()};
  EXPECT_EQ(waiting, (std::set<int>{2, 3}));
  EXPECT_GE(queue["esperando"][0]["espera_ms"].get<double>(), 0);
  EXPECT_EQ(slow.get().status, 200);
  EXPECT_EQ(second.get().status, 200);
  EXPECT_EQ(third.get().status, 200);
  queue = json::parse(rig.Get(op, "fila").body);
  EXPECT_TRUE(queue["em_execucao"].is_null());
  EXPECT_TRUE(queue["esperando"].empty());

  Reply logs = rig.Get(op, "logs");
  ASSERT_EQ(logs.status, 200);
  json l = json::parse(logs.body);
  ASSERT_TRUE(l["ok"].get<bool>()) << logs.body;
  ASSERT_FALSE(l["linhas"].empty());
  EXPECT_NE(l["linhas"][0].get<std::string>().find("|SAT|"), std::string::npos);
  Reply text = rig.Get(op, "logs?formato=txt");
  ASSERT_EQ(text.status, 200);
  EXPECT_NE(text.headers["Content-Disposition"].find("attachment; filename=\"sat-logs-"),
            std::string::npos);
  EXPECT_NE(text.body.find("|SAT|"), std::string::npos);
}
