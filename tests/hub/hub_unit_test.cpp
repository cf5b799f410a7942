// The hub's own parsing and bookkeeping, without sockets or a device.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "access.h"
#include "console_text.h"
#include "request.h"
#include "session_book.h"

using namespace hub;

TEST(HubRequest, FormDecodingAndRefusals) {
  struct Case {
    std::string body;
    bool ok;
    std::string campo;
  } cases[] = {
      {"a=1&b=x+y%21", true, ""}, {"", true, ""},        {"a=1&&b=2&", true, ""},
      {"a=%4", false, "a"},       {"a=%g1", false, "a"}, {"a=1&a=2", false, "a"},
      {"=1", false, ""},          {"%zz=1", false, ""},  {std::string(200, 'n') + "=1", false, ""},
  };
  for (const Case &c : cases) {
    Form f;
    auto e = ParseForm(c.body, f);
    EXPECT_EQ(!e, c.ok) << c.body;
    if (e) {
      EXPECT_EQ(e->campo, c.campo) << c.body;
    }
  }
  Form f;
  ASSERT_FALSE(ParseForm("a=1&b=x+y%21&c", f));
  EXPECT_EQ(*f.Find("b"), "x y!");
  EXPECT_EQ(*f.Find("c"), "");
  std::string many;
  for (int i = 0; i <= 64; ++i) many += "f" + std::to_string(i) + "=1&";
  EXPECT_TRUE(ParseForm(many, f));
}

TEST(HubRequest, TillsIntegersAndFields) {
  int v = 0;
  for (const char *bad : {"", "-", "+1", " 1", "1 ", "2147483648", "0x10", "1e3"})
    EXPECT_FALSE(ParseInt32(bad, v)) << bad;
  EXPECT_TRUE(ParseInt32("-2147483648", v));
  EXPECT_EQ(v, -2147483648);
  PublicRequest pr;
  EXPECT_FALSE(ParsePublicRequest(
      "POST", "trocarcodigodeativacao", "application/x-www-form-urlencoded; charset=utf-8",
      "numero_caixa=999&novo_codigo_ativacao=abc&opcao=2", std::nullopt, pr));
  EXPECT_EQ(pr.till, 999);
  EXPECT_EQ(pr.args.texts, (std::vector<std::string>{"abc", ""}));
  EXPECT_EQ(pr.args.ints, (std::vector<int>{2}));
  EXPECT_EQ(
      ParsePublicRequest("POST", "ativarsat", "application/x-www-form-urlencoded",
                         "numero_caixa=1&tipo_certificado=1&cnpj=1&codigo_uf=100", std::nullopt, pr)
          ->campo,
      "codigo_uf");
  EXPECT_EQ(ParsePublicRequest("POST", "enviardadosvenda", "application/x-www-form-urlencoded",
                               "dados_venda=a%00b", std::string_view("7"), pr)
                ->campo,
            "dados_venda");
  RemoteCall rc;
  EXPECT_FALSE(BuildRemoteCall(
      *[] {
        static Form f;
        ParseForm(
            "funcao=TrocarCodigoDeAtivacao&numero_sessao=5&codigo_ativacao=x&novo_codigo_ativacao="
            "n&"
            "opcao=1&confirmacao_codigo=m",
            f);
        return &f;
      }(),
      rc));
  EXPECT_EQ(rc.args.texts, (std::vector<std::string>{"n", "m"}));
}

TEST(HubSessionBook, RangesNeverReuseTheLast100AndSurviveACrash) {
  auto path = std::filesystem::temp_directory_path() / ("hub-book-" + std::to_string(::getpid()));
  std::filesystem::remove(path);
  std::string error;
  std::set<int> used;
  {
    SessionBook book;
    ASSERT_TRUE(book.Open(path.string(), error)) << error;
    std::deque<int> last;
    for (int i = 0; i < 2000; ++i) {
      int s = book.Next(999);
      ASSERT_TRUE(InRange(999, s)) << s;
      ASSERT_EQ(std::find(last.begin(), last.end(), s), last.end()) << s;
      last.push_back(s);
      if (last.size() > 100) last.pop_front();
    }
    for (int i = 0; i < 10; ++i) used.insert(book.Next(0));
    EXPECT_EQ(*used.begin(), 100000);
    // No Save: the book is dropped as a killed process would drop it.
  }
  SessionBook again;
  ASSERT_TRUE(again.Open(path.string(), error)) << error;
  for (int i = 0; i < 50; ++i) EXPECT_TRUE(used.insert(again.Next(0)).second);
  std::filesystem::remove(path);
}

TEST(HubAccess, NetworksAndTokens) {
  Access a;
  std::string error;
  ASSERT_TRUE(a.AllowNetwork("192.168.10.0/24", error));
  ASSERT_TRUE(a.AllowNetwork("fd00::/8", error));
  EXPECT_FALSE(a.AllowNetwork("192.168.10.0/33", error));
  EXPECT_FALSE(a.AllowNetwork("rede", error));
  auto ip = [](const char *s) { return boost::asio::ip::make_address(s); };
  EXPECT_TRUE(a.AddressAllowed(ip("127.0.0.1")));
  EXPECT_TRUE(a.AddressAllowed(ip("::1")));
  EXPECT_TRUE(a.AddressAllowed(ip("192.168.10.77")));
  EXPECT_TRUE(a.AddressAllowed(ip("::ffff:192.168.10.77")));
  EXPECT_FALSE(a.AddressAllowed(ip("192.168.11.1")));
  EXPECT_TRUE(a.AddressAllowed(ip("fd12::1")));
  EXPECT_FALSE(a.AddressAllowed(ip("fe80::1")));
  a.SetToken(4, "abc");
  EXPECT_TRUE(a.TokenAccepted(4, "Bearer abc"));
  EXPECT_FALSE(a.TokenAccepted(4, "Bearer abd"));
  EXPECT_FALSE(a.TokenAccepted(4, "Bearer ab"));
  EXPECT_FALSE(a.TokenAccepted(4, "abc"));
  EXPECT_TRUE(a.TokenAccepted(5, ""));
}

// The console's reading of device replies: the status with its certificate
// warning counted on the device's own clock, logs in base64, and the code
// and message of replies with and without CCCC.
TEST(HubConsoleText, StatusLogsAndReplyCodes) {
  auto status = [](const std::string &now, const std::string &expires, const std::string &state) {
    return "123456|10000|Resposta com Sucesso.|||900004019|DHCP|010.000.000.108|00:1A:2B:3C:4D:5E|"
           "255.255.255.000|010.000.000.001|008.008.008.008|008.008.004.004|CONECTADO|ALTO|4 GB|12 "
           "MB|" +
           now + "|01.00.00|00.08|" + std::string(44, '0') + "|" + std::string(44, '0') + "|" +
           std::string(44, '0') + "|20261201120000|" + now + "|20211210|" + expires + "|" + state;
  };
  struct Case {
    std::string now, expires, state;
    long days;
    std::vector<std::string> warnings;  // substrings, in order
  } cases[] = {
      {"20261210093000", "20311210", "0", 1826, {}},
      {"20261210093000", "20270109", "0", 30, {"vence em 30 dia"}},
      {"20261210093000", "20270110", "0", 31, {}},
      {"20280228235959", "20280301", "2", 2, {"contribuinte", "vence em 2 dia"}},  // leap year
      {"20261210093000", "20261209", "1", -1, {"SEFAZ", "vencido há 1 dia"}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.now + " " + c.expires);
    nlohmann::json j = StatusJson(status(c.now, c.expires, c.state));
    ASSERT_TRUE(j["ok"].get<bool>()) << j.dump();
    EXPECT_EQ(j["campos"]["nserie"], "900004019");
    EXPECT_EQ(j["campos"]["cert_dias_restantes"], c.days);
    EXPECT_EQ(j["campos"]["dh_cfe"], "01/12/2026 12:00:00");
    EXPECT_EQ(j["campos"]["cert_emissao"], "10/12/2021");
    ASSERT_EQ(j["avisos"].size(), c.warnings.size()) << j["avisos"].dump();
    for (std::size_t i = 0; i < c.warnings.size(); ++i)
      EXPECT_NE(j["avisos"][i].get<std::string>().find(c.warnings[i]), std::string::npos)
          << j["avisos"].dump();
  }
  // Not a status: a refusal, a cut-short reply, an unreadable expiry.
  EXPECT_FALSE(StatusJson("1|10001|Código de ativação inválido.||")["ok"].get<bool>());
  EXPECT_FALSE(
      StatusJson(status("20261210093000", "20311210", "0").substr(0, 150))["ok"].get<bool>());
  auto bad = StatusJson(status("20261210093000", "2031121x", "0"));
  EXPECT_TRUE(bad["ok"].get<bool>());
  EXPECT_NE(bad["avisos"][0].get<std::string>().find("ilegível"), std::string::npos);
  long d = 0;
  EXPECT_FALSE(DaysBetween("20270229", "20270301", d));
  EXPECT_FALSE(DaysBetween("20261332", "20270301", d));

  std::vector<std::string> lines;
  // "20261210093000|SAT|INFO|Ligado\r\nsegunda linha\n" in base64
  ASSERT_TRUE(
      DecodeLogs("1|15000|Transferência "
                 "completa|||MjAyNjEyMTAwOTMwMDB8U0FUfElORk98TGlnYWRvDQpzZWd1bmRhIGxpbmhhCg==",
                 lines));
  EXPECT_EQ(lines, (std::vector<std::string>{"20261210093000|SAT|INFO|Ligado", "segunda linha"}));
  EXPECT_FALSE(DecodeLogs("1|15000|Transferência completa|||não é base64", lines));
  EXPECT_FALSE(DecodeLogs("1|15001|Código inválido||", lines));
  std::string out;
  EXPECT_FALSE(Base64Decode("QQ=A", out));
  EXPECT_FALSE(Base64Decode("Q", out));
  ASSERT_TRUE(Base64Decode("QUJD", out));
  EXPECT_EQ(out, "ABC");

  struct Summary {
    std::string retorno, code, message;
    bool error;
  } summaries[] = {
      {"1|08000|SAT em Operação||", "08000", "SAT em Operação", false},
      {"1|06010|1999|Rejeição: total||", "06010", "Rejeição: total", true},
      {"1|06000|0000|Emitido com sucesso + conteúdo notas.|||x|y", "06000",
       "Emitido com sucesso + conteúdo notas.", false},
      {"1|04006|CSR criado|||", "04006", "CSR criado", false},
      {"", "", "", true},
      {"lixo", "", "lixo", true},
  };
  for (const Summary &s : summaries) {
    ReplySummary r = Summarize(s.retorno);
    EXPECT_EQ(r.code, s.code) << s.retorno;
    EXPECT_EQ(r.message, s.message) << s.retorno;
    EXPECT_EQ(r.error, s.error) << s.retorno;
  }
  EXPECT_TRUE(SecretEquals("segredo-1", "segredo-1"));
  EXPECT_FALSE(SecretEquals("segredo-", "segredo-1"));
  EXPECT_FALSE(SecretEquals("segredo-12", "segredo-1"));
  EXPECT_FALSE(SecretEquals("", "segredo-1"));
}
