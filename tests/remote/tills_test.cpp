// One till of two selling at once through the real torvex-hub (run twice by
// two-tills.sh, as tills 1 and 2, each in a process of its own, under Wine
// for torvex.dll). Both tills use the same session numbers; each must get
// its own sales back under its own numbers, also when it asks for its last
// fiscal session after the other till has sold, and for a session by number.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "../sat/testutil.h"
#include "torvex.h"

#ifdef _WIN32
#include <windows.h>
#endif

using namespace testutil;

namespace {

void Nap() {
#ifdef _WIN32
  Sleep(5);
#else
  usleep(5000);
#endif
}

std::string Env(const char *name) {
  const char *v = std::getenv(name);
  return v ? v : "";
}

// Both tills reach the same point before either goes on: each leaves a
// file and waits (up to four minutes: Wine starts slowly on a busy machine)
// for the other's.
bool Meet(const std::string &point, int till) {
  std::string dir = Env("TORVEX_TEST_TMP");
  std::string mine = dir + "/" + point + "-" + std::to_string(till);
  std::string other = dir + "/" + point + "-" + std::to_string(3 - till);
  if (std::FILE *f = std::fopen(mine.c_str(), "wb")) std::fclose(f);
  for (int i = 0; i < 48000; ++i) {
    if (std::FILE *f = std::fopen(other.c_str(), "rb")) {
      std::fclose(f);
      return true;
    }
    Nap();
  }
  return false;
}

std::vector<std::string> Fields(const std::string &reply) {
  std::vector<std::string> out;
  std::size_t start = 0;
  for (;;) {
    std::size_t bar = reply.find('|', start);
    out.push_back(reply.substr(start, bar - start));
    if (bar == std::string::npos) return out;
    start = bar + 1;
  }
}

std::string SixDigits(int n) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%06d", n);
  return buf;
}

}  // namespace

TEST(TwoTills, SellAtOnceWithTheSameSessionNumbers) {
  if (Env("TORVEX_HUB").empty()) GTEST_SKIP() << "no hub: run through two-tills.sh";
  const int till = std::atoi(Env("TORVEX_TILL").c_str());
  ASSERT_TRUE(till == 1 || till == 2);
  std::string sale = ReadFile(Env("TORVEX_TEST_SALE"));
  ASSERT_FALSE(sale.empty()) << "no sale sample";
  // The first item's quantity tells the sales apart: till*100 + i units of
  // 14.90 besides 13.28 of other items, paid with 9999.00.
  const std::string quantity = "<qCom>2.0000</qCom>";
  const std::size_t at = sale.find(quantity);
  ASSERT_NE(at, std::string::npos);
  const std::string paid = "<vMP>50.00</vMP>";
  ASSERT_NE(sale.find(paid), std::string::npos);
  sale.replace(sale.find(paid), paid.size(), "<vMP>9999.00</vMP>");

  ASSERT_TRUE(Meet("start", till)) << "the other till never started";
  const int kSales = 12;
  std::vector<std::string> replies;
  for (int i = 1; i <= kSales; ++i) {
    std::string units = std::to_string(till * 100 + i);
    std::string xml = sale;
    xml.replace(xml.find(quantity), quantity.size(), "<qCom>" + units + ".0000</qCom>");
    int cents = (till * 100 + i) * 1490 + 1328;
    char total[32];
    std::snprintf(total, sizeof total, "%d.%02d", cents / 100, cents % 100);

    std::string got = EnviarDadosVenda(100 + i, "12345678", xml.c_str());
    Status s = ReadStatus();
    ASSERT_EQ(s.code, TORVEX_STATUS_OK) << got << " / " << s.message;
    std::vector<std::string> f = Fields(got);
    ASSERT_GE(f.size(), 10u) << got;
    EXPECT_EQ(f[0], SixDigits(100 + i)) << "the till's own session number";
    EXPECT_EQ(f[1], "06000") << got;
    EXPECT_EQ(f[9], total) << "the till's own sale";
    EXPECT_EQ(s.message,
              "Codigo: 06000.\nEmitido com sucesso + conte\xc3\xba"
              "do notas.")
        << "as a direct call reads a sale's reply";
    replies.push_back(got);
  }
  ASSERT_TRUE(Meet("sold", till)) << "the other till never finished";

  // One of the two sold last on the device: each still gets its own last
  // sale, under its own session number, read as this export reads it.
  std::string last = ConsultarUltimaSessaoFiscal(200, "12345678");
  Status s = ReadStatus();
  EXPECT_EQ(s.code, TORVEX_STATUS_OK) << last;
  EXPECT_EQ(last, replies.back());
  EXPECT_EQ(s.message, "Codigo: 06000.\n0000");

  // A session asked by number is the till's own (the other till's session
  // 101 is a different sale).
  std::string first = ConsultarNumeroSessao(201, "12345678", 101);
  EXPECT_EQ(ReadStatus().code, TORVEX_STATUS_OK) << first;
  EXPECT_EQ(first, replies.front());
}
