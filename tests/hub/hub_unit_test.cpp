// The hub's own parsing and bookkeeping, without sockets or a device.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "access.h"
#include "request.h"
#include "session_book.h"

using namespace hub;

TEST(HubRequest, FormDecodingAndRefusals) {
  struct Case {
    std::string body;
    bool ok;
    std::string campo;
  } cases[] = {
      {"a=1&b=x+y%21", true, ""},   {"", true, ""},           {"a=1&&b=2&", true, ""},
      {"a=%4", false, "a"},         {"a=%g1", false, "a"},    {"a=1&a=2", false, "a"},
      {"=1", false, ""},            {"%zz=1", false, ""},     {std::string(200, 'n') + "=1", false, ""},
  };
  for (const Case &c : cases) {
    Form f;
    auto e = ParseForm(c.body, f);
    EXPECT_EQ(!e, c.ok) << c.body;
    if (e) EXPECT_EQ(e->campo, c.campo) << c.body;
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
  EXPECT_FALSE(ParsePublicRequest("POST", "trocarcodigodeativacao", "application/x-www-form-urlencoded; charset=utf-8",
                                  "numero_caixa=999&novo_codigo_ativacao=abc&opcao=2", std::nullopt, pr));
  EXPECT_EQ(pr.till, 999);
  EXPECT_EQ(pr.args.texts, (std::vector<std::string>{"abc", ""}));
  EXPECT_EQ(pr.args.ints, (std::vector<int>{2}));
  EXPECT_EQ(ParsePublicRequest("POST", "ativarsat", "application/x-www-form-urlencoded",
                               "numero_caixa=1&tipo_certificado=1&cnpj=1&codigo_uf=100", std::nullopt, pr)->campo,
            "codigo_uf");
  EXPECT_EQ(ParsePublicRequest("POST", "enviardadosvenda", "application/x-www-form-urlencoded",
                               "dados_venda=a%00b", std::string_view("7"), pr)->campo,
            "dados_venda");
  RemoteCall rc;
  EXPECT_FALSE(BuildRemoteCall(
      *[] {
        static Form f;
        ParseForm("funcao=TrocarCodigoDeAtivacao&numero_sessao=5&codigo_ativacao=x&novo_codigo_ativacao=n&"
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
