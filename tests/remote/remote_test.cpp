// Remote mode, client side: the settings (torvex.ini and the environment)
// and the exports' calls to a scripted hub on loopback (fakehub.cpp, started
// by with-fakehub.sh, whose address is in TORVEX_TEST_HUB and whose record
// of the last request is TORVEX_TEST_HUB_LOG). The library's code is linked
// in, so that each case can read the settings again.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <map>
#include <random>
#include <string>

#include "../sat/emulator.h"
#include "../sat/testutil.h"
#include "command_state.h"
#include "remote_config.h"
#include "torvex.h"

using namespace torvex::sat;
using namespace testutil;

namespace {

void SetEnv(const char *name, const char *value) {
#ifdef _WIN32
  _putenv_s(name, value ? value : "");
  if (value == nullptr) _putenv((std::string(name) + "=").c_str());
#else
  if (value)
    setenv(name, value, 1);
  else
    unsetenv(name);
#endif
}

const char *TestHub() { return std::getenv("TORVEX_TEST_HUB"); }

// Rereads the settings at the next command, from the environment only.
void UseHub(const char *url, const char *till, const char *token) {
  SetEnv("TORVEX_HUB", url);
  SetEnv("TORVEX_TILL", till);
  SetEnv("TORVEX_HUB_TOKEN", token);
  CommandState &state = TheCommandState();
  LoadRemoteSettingsFrom(nullptr, state.Remote);
  state.RemoteLoaded = true;
}

// ---- Settings ---------------------------------------------------------------

struct SettingsCase {
  const char *what;
  const char *ini;  // nullptr: no file
  std::map<std::string, std::string> env;
  bool enabled;
  const char *host;
  unsigned port;
  int till;
  const char *token;
  int allowance;
  const char *problem;  // "" when none; else a piece of the problem text
};

const SettingsCase kSettings[] = {
    {"nothing: direct", nullptr, {}, false, "", 0, -1, "", 30, ""},
    {"file only",
     "; a comment\r\n[other]\r\naddress = x\r\n[hub]\r\n  address = http://192.168.0.10:8123/ \r\n"
     "till=7\r\ntoken = abc.DEF-123\r\nconnect_timeout_ms = 500\r\nqueue_allowance = 12\r\n",
     {},
     true,
     "192.168.0.10",
     8123,
     7,
     "abc.DEF-123",
     12,
     ""},
    {"environment wins",
     "[hub]\naddress = http://10.0.0.1:1\ntill = 1\ntoken = old\n",
     {{"TORVEX_HUB", "http://[::1]:9000"}, {"TORVEX_TILL", "999"}, {"TORVEX_HUB_TOKEN", "new"}},
     true,
     "::1",
     9000,
     999,
     "new",
     30,
     ""},
#ifndef _WIN32  // Windows has no empty environment variables: setting one removes it
    {"empty TORVEX_HUB switches the file's hub off",
     "[hub]\naddress = http://h:1\ntill=1\n",
     {{"TORVEX_HUB", ""}},
     false,
     "h",
     1,
     1,
     "",
     30,
     ""},
#endif
    {"environment only, default port",
     nullptr,
     {{"TORVEX_HUB", "http://hub.loja"}, {"TORVEX_TILL", "0"}},
     true,
     "hub.loja",
     80,
     0,
     "",
     30,
     ""},
    {"no till",
     nullptr,
     {{"TORVEX_HUB", "http://h:1"}},
     true,
     "h",
     1,
     -1,
     "",
     30,
     "sem numero do caixa"},
    {"till out of range",
     nullptr,
     {{"TORVEX_HUB", "http://h:1"}, {"TORVEX_TILL", "1000"}},
     true,
     "h",
     1,
     -1,
     "",
     30,
     "Numero do caixa invalido"},
    {"till with a sign",
     nullptr,
     {{"TORVEX_HUB", "http://h:1"}, {"TORVEX_TILL", "-1"}},
     true,
     "h",
     1,
     -1,
     "",
     30,
     "Numero do caixa invalido"},
    {"not http",
     nullptr,
     {{"TORVEX_HUB", "ftp://h"}, {"TORVEX_TILL", "1"}},
     true,
     "",
     0,
     1,
     "",
     30,
     "Endereco do hub invalido"},
    {"a path",
     nullptr,
     {{"TORVEX_HUB", "http://h:1/x"}, {"TORVEX_TILL", "1"}},
     true,
     "h",
     1,
     1,
     "",
     30,
     "Endereco do hub invalido"},
    {"port 0",
     nullptr,
     {{"TORVEX_HUB", "http://h:0"}, {"TORVEX_TILL", "1"}},
     true,
     "h",
     0,
     1,
     "",
     30,
     "Endereco do hub invalido"},
    {"user in the address",
     nullptr,
     {{"TORVEX_HUB", "http://u@h"}, {"TORVEX_TILL", "1"}},
     true,
     "u",
     80,
     1,
     "",
     30,
     "Endereco do hub invalido"},
    {"token with a line break",
     nullptr,
     {{"TORVEX_HUB", "http://h:1"}, {"TORVEX_TILL", "1"}, {"TORVEX_HUB_TOKEN", "a\r\nX-Evil: 1"}},
     true,
     "h",
     1,
     1,
     "",
     30,
     "Token do hub invalido"},
    {"unknown key",
     "[hub]\naddress=http://h:1\ntill=1\ntimeout=5\n",
     {},
     true,
     "h",
     1,
     1,
     "",
     30,
     "Chave desconhecida"},
    {"line without =",
     "[hub]\naddress=http://h:1\ntill\n",
     {},
     true,
     "h",
     1,
     -1,
     "",
     30,
     "sem '='"},
    {"allowance too large",
     "[hub]\naddress=http://h:1\ntill=1\nqueue_allowance=99999\n",
     {},
     true,
     "h",
     1,
     1,
     "",
     30,
     "queue_allowance invalido"},
};

TEST(RemoteSettings, FileAndEnvironmentTable) {
  std::string path = TempPath("torvex.ini");
  for (const SettingsCase &c : kSettings) {
    for (const char *name : {"TORVEX_HUB", "TORVEX_TILL", "TORVEX_HUB_TOKEN"}) {
      auto it = c.env.find(name);
      SetEnv(name, it == c.env.end() ? nullptr : it->second.c_str());
    }
    std::remove(path.c_str());
    if (c.ini) {
      std::FILE *f = std::fopen(path.c_str(), "wb");
      ASSERT_NE(f, nullptr);
      std::fputs(c.ini, f);
      std::fclose(f);
    }
    RemoteSettings s;
    LoadRemoteSettingsFrom(path.c_str(), s);
    EXPECT_EQ(s.enabled, c.enabled) << c.what;
    EXPECT_EQ(std::string(s.problem).find(c.problem) == std::string::npos ? "" : c.problem,
              std::string(c.problem))
        << c.what << ": " << s.problem;
    if (*c.problem == '\0') {
      EXPECT_STREQ(s.problem, "") << c.what;
      EXPECT_STREQ(s.hub.host, c.host) << c.what;
      EXPECT_EQ(s.hub.port, c.port) << c.what;
      EXPECT_EQ(s.till, c.till) << c.what;
      EXPECT_STREQ(s.token, c.token) << c.what;
      EXPECT_EQ(s.queueAllowanceSeconds, c.allowance) << c.what;
    }
  }
  std::remove(path.c_str());
  for (const char *name : {"TORVEX_HUB", "TORVEX_TILL", "TORVEX_HUB_TOKEN"}) SetEnv(name, nullptr);
}

// The file is untrusted: long lines, NUL bytes, a file over the size limit
// and random bytes are refused or ignored, never read past.
TEST(RemoteSettings, HostileFilesAreRefusedSafely) {
  RemoteSettings s;
  std::string longLine = "[hub]\naddress=http://" + std::string(5000, 'a') + "\n";
  ParseRemoteIni(longLine.data(), longLine.size(), s);
  EXPECT_NE(std::string(s.problem).find("longa demais"), std::string::npos) << s.problem;

  s = RemoteSettings{};
  std::string withNul = "[hub]\naddress=http://h:1\0\ntill=1\n";
  withNul.insert(20, 1, '\0');
  ParseRemoteIni(withNul.data(), withNul.size(), s);
  EXPECT_NE(std::string(s.problem).find("ilegivel"), std::string::npos) << s.problem;

  std::string big = TempPath("big.ini");
  if (std::FILE *f = std::fopen(big.c_str(), "wb")) {
    std::string filler(kIniMaxSize + 10, ';');
    std::fwrite(filler.data(), 1, filler.size(), f);
    std::fclose(f);
  }
  SetEnv("TORVEX_HUB", nullptr);
  s = RemoteSettings{};
  LoadRemoteSettingsFrom(big.c_str(), s);
  EXPECT_FALSE(s.enabled);  // a file without an address leaves the library direct
  std::remove(big.c_str());

  std::mt19937 random(23);
  for (int round = 0; round < 2000; ++round) {
    std::string bytes = "[hub]\n";
    std::size_t n = random() % 700;
    for (std::size_t i = 0; i < n; ++i) {
      static const char kPick[] = "[]=\n\r ;#:/.0123456789abhttp\xff";
      bytes.push_back(random() % 4 ? kPick[random() % (sizeof kPick - 1)]
                                   : static_cast<char>(random()));
    }
    s = RemoteSettings{};
    ParseRemoteIni(bytes.data(), bytes.size(), s);
    ASSERT_LT(std::strlen(s.problem), sizeof s.problem);
    ASSERT_LT(std::strlen(s.hub.host), sizeof s.hub.host);
    ASSERT_TRUE(s.till >= -1 && s.till <= 999);
  }
}

// ---- Calls to a scripted hub ------------------------------------------------

class RemoteCalls : public testing::Test {
 protected:
  void SetUp() override {
    if (TestHub() == nullptr) GTEST_SKIP() << "no test hub: run through with-fakehub.sh";
    UseHub(TestHub(), "3", "segredo-3");
  }
  void TearDown() override {
    if (TestHub() != nullptr) UseHub("", nullptr, nullptr);
  }
  static std::string LastRequest() { return ReadFile(std::getenv("TORVEX_TEST_HUB_LOG")); }
};

#ifdef _WIN32
const char kEncoding[] = "codificacao=latin1";
#else
const char kEncoding[] = "codificacao=utf8";
#endif

// Every export sends its name and its arguments under the protocol's field
// names, byte for byte; the reply, its status, LastTx, LastRx and the trace
// log come back as documented.
TEST_F(RemoteCalls, EachExportSendsItsFieldsAndGetsTheHubsReply) {
  struct Case {
    const char *funcao;
    std::function<const char *()> call;
    const char *fields;  // the form body's export fields, in order
  };
  const Case cases[] = {
      {"ConsultarSAT", [] { return ConsultarSAT(42); }, ""},
      {"AtivarSAT", [] { return AtivarSAT(42, 1, "12345678", "16716114000172", 5); },
       "tipo_certificado=1&codigo_ativacao=12345678&cnpj=16716114000172&codigo_uf=5&"},
      {"ComunicarCertificadoICPBRASIL",
       [] { return ComunicarCertificadoICPBRASIL(42, "c", "CERT+/="); },
       "codigo_ativacao=c&certificado=CERT%2B%2F%3D&"},
      {"EnviarDadosVenda", [] { return EnviarDadosVenda(42, "c", "<CFe>a\xe1 b&c%</CFe>"); },
       "codigo_ativacao=c&dados_venda=%3CCFe%3Ea%E1%20b%26c%25%3C%2FCFe%3E&"},
      {"CancelarUltimaVenda", [] { return CancelarUltimaVenda(42, "c", "CFe1", "<x/>"); },
       "codigo_ativacao=c&chave_cfe=CFe1&dados_cancelamento=%3Cx%2F%3E&"},
      {"TesteFimAFim", [] { return TesteFimAFim(42, "c", "d"); },
       "codigo_ativacao=c&dados_venda=d&"},
      {"ConsultarStatusOperacional", [] { return ConsultarStatusOperacional(42, "c"); },
       "codigo_ativacao=c&"},
      {"ConsultarNumeroSessao", [] { return ConsultarNumeroSessao(42, "c", 123); },
       "codigo_ativacao=c&numero_sessao_consultada=123&"},
      {"ConfigurarInterfaceDeRede", [] { return ConfigurarInterfaceDeRede(42, "c", "<cfg/>"); },
       "codigo_ativacao=c&configuracao=%3Ccfg%2F%3E&"},
      {"AssociarAssinatura", [] { return AssociarAssinatura(42, "c", "1111", "SIG"); },
       "codigo_ativacao=c&sequencia_cnpj=1111&assinatura_ac=SIG&"},
      {"AtualizarSoftwareSAT", [] { return AtualizarSoftwareSAT(42, "c"); }, "codigo_ativacao=c&"},
      {"ExtrairLogs", [] { return ExtrairLogs(42, "c"); }, "codigo_ativacao=c&"},
      {"BloquearSAT", [] { return BloquearSAT(42, "c"); }, "codigo_ativacao=c&"},
      {"DesbloquearSAT", [] { return DesbloquearSAT(42, "c"); }, "codigo_ativacao=c&"},
      {"TrocarCodigoDeAtivacao", [] { return TrocarCodigoDeAtivacao(42, "c", 2, "n1", "n2"); },
       "codigo_ativacao=c&opcao=2&novo_codigo_ativacao=n1&confirmacao_codigo=n2&"},
      {"ArocarCodigoDeAtivacaoSAT",
       [] { return ArocarCodigoDeAtivacaoSAT(42, "c", 1, "n1", "n1"); },
       "codigo_ativacao=c&opcao=1&novo_codigo_ativacao=n1&confirmacao_codigo=n1&"},
      {"AesteFimAFim", [] { return AesteFimAFim(42, nullptr, nullptr); },
       "codigo_ativacao=&dados_venda=&"},
      {"ConsultarUltimaSessaoFiscal", [] { return ConsultarUltimaSessaoFiscal(42, "c"); },
       "codigo_ativacao=c&"},
  };
  std::string log = TempPath("remote-trace.log");
  std::remove(log.c_str());
  ArquivoLog(log.c_str());
  std::string hub = TestHub();
  for (const Case &c : cases) {
    std::string got = c.call();
    std::string request = LastRequest();
    std::string body = request.substr(request.find("\r\n\r\n") + 4);
    EXPECT_EQ(body, std::string(c.fields) + "funcao=" + c.funcao +
                        "&numero_caixa=3&numero_sessao=42&" + kEncoding)
        << c.funcao;
    EXPECT_EQ(request.compare(0, 30, "POST /hub/remote/v1/call HTTP/"), 0) << c.funcao;
    EXPECT_NE(request.find("Authorization: Bearer segredo-3\r\n"), std::string::npos) << request;
    EXPECT_NE(request.find("numero_caixa: 3\r\n"), std::string::npos) << request;

    // The scripted hub echoes the sale data.
    std::string echo;
    if (std::string(c.funcao) == "EnviarDadosVenda") echo = "<CFe>a\xe1 b&c%</CFe>";
    if (std::string(c.funcao) == "TesteFimAFim") echo = "d";
    EXPECT_EQ(got, std::string("42|08000|Resposta do hub|") + c.funcao + "|" + echo);
    Status s = ReadStatus();
    EXPECT_EQ(s.code, TORVEX_STATUS_OK) << c.funcao;
    EXPECT_EQ(s.message, "Codigo: 08000.\nResposta do hub") << c.funcao;
    std::string tx = AfterStamp(LastTx());
    EXPECT_EQ(tx.substr(0, 7), "000042|") << tx;
    EXPECT_EQ(tx.substr(tx.size() - hub.size() - 15), " [hub " + hub + " caixa 3]") << tx;
    EXPECT_EQ(AfterStamp(LastRx()), got + " [hub " + hub + " sessao 654321]");
  }
  std::vector<std::string> lines = Lines(MaskStamps(ReadTextFile(log)));
  ASSERT_GE(lines.size(), 5u);
  EXPECT_EQ(lines[0], "S@T:<TS> ConsultarSAT 000042|ConsultarSAT");
  std::string second = "S@T:<TS> ConsultarSAT hub " + hub +
                       " caixa 3: resposta HTTP 200 codigo 0 sessao_dispositivo 654321 ";
  EXPECT_EQ(lines[1].substr(0, second.size()), second);
  EXPECT_EQ(lines[2], "S@T:<TS> hub tx tx do hub");
  EXPECT_EQ(lines[3], "S@T:<TS> hub rx rx do hub");
  EXPECT_EQ(lines[4], "@@@@@S@T:<TS> ConsultarSAT RXDATA:");
  EXPECT_EQ(lines[5], "42|08000|Resposta do hub|ConsultarSAT|");
  // The log is not left on for the next tests, nor its file behind.
  TheCommandState().Trace.LogEnabled = false;
  std::remove(log.c_str());
}

// What the hub or the way to it can do wrong, each with its status and a
// text naming the hub, without waiting: the scripted hub picks its answer by
// the session number.
TEST_F(RemoteCalls, HubFailuresGiveTheirStatus) {
  std::string hub = TestHub();
  const std::string timeoutText = "Timeout na comunica\xc3\xa7\xc3\xa3o com o equipamento.";
  struct Case {
    int session;
    std::int32_t code;
    std::string message;
  };
  const Case cases[] = {
      {401, 1, "Hub SAT " + hub + " recusou o token do caixa 3"},
      {403, 1, "Hub SAT " + hub + " recusou o acesso deste caixa"},
      {404, 1, "Hub SAT " + hub + " nao fala o protocolo v1"},
      {409, 1, "Hub SAT " + hub + ": a ultima sessao fiscal do SAT e de outro caixa"},
      {400, 1, "campo \"dados_venda\" grande demais"},
      {503, TORVEX_STATUS_TIMEOUT, timeoutText},
      {777, 1, "Resposta invalida do hub SAT " + hub},
      {778, 1, "Resposta invalida do hub SAT " + hub},
      {779, TORVEX_STATUS_TIMEOUT, "Conexao com o hub SAT " + hub + " perdida"},
      {780, TORVEX_STATUS_TIMEOUT, "Conexao com o hub SAT " + hub + " perdida"},
  };
  for (const Case &c : cases) {
    emulator::Stopwatch watch;
    std::string got = EnviarDadosVenda(c.session, "c", "<CFe/>");
    Status s = ReadStatus();
    EXPECT_EQ(s.code, c.code) << c.session;
    EXPECT_EQ(s.message, c.message) << c.session;
    EXPECT_EQ(got, c.message) << c.session;
    EXPECT_EQ(AfterStamp(LastRx()), c.message + " [hub " + hub + "]") << c.session;
    EXPECT_LT(watch.Seconds(), 5.0) << c.session;
  }
  // Nothing listens on port 1 of the loopback address.
  UseHub("http://127.0.0.1:1", "3", "");
  std::string got = ConsultarSAT(5);
  Status s = ReadStatus();
  EXPECT_EQ(s.code, TORVEX_STATUS_NOT_READY);
  EXPECT_EQ(s.message, "Hub SAT inacessivel em http://127.0.0.1:1");
  EXPECT_EQ(got, s.message);
  // A configuration that is given but wrong fails every command; it never
  // falls back to a local port.
  UseHub(TestHub(), nullptr, nullptr);
  got = ConsultarSAT(5);
  s = ReadStatus();
  EXPECT_EQ(s.code, TORVEX_STATUS_NOT_READY);
  EXPECT_EQ(s.message, "Modo remoto sem numero do caixa (till em torvex.ini ou TORVEX_TILL)");
}

// A hub that never answers: the call ends at the function's limit (2 s for
// ConsultarSAT) plus the queue allowance (here 1 s, from torvex.ini), with
// status 32768 naming the hub. Real time is the point here: the clock is
// the HTTP client's own.
TEST_F(RemoteCalls, SlowHubEndsAtTheLimitPlusTheAllowance) {
  std::string path = TempPath("slow.ini");
  std::FILE *f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::fprintf(f, "[hub]\naddress = %s\ntill = 4\nqueue_allowance = 1\n", TestHub());
  std::fclose(f);
  SetEnv("TORVEX_HUB", nullptr);
  SetEnv("TORVEX_TILL", nullptr);
  SetEnv("TORVEX_HUB_TOKEN", nullptr);
  LoadRemoteSettingsFrom(path.c_str(), TheCommandState().Remote);
  std::remove(path.c_str());
  emulator::Stopwatch watch;
  ConsultarSAT(900);
  double took = watch.Seconds();
  Status s = ReadStatus();
  EXPECT_EQ(s.code, TORVEX_STATUS_TIMEOUT);
  EXPECT_EQ(s.message, std::string("Sem resposta do hub SAT ") + TestHub() + " no prazo");
  EXPECT_GE(took, 2.9);
  EXPECT_LT(took, 10.0);  // generous: a busy machine
}

}  // namespace
