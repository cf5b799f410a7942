// The sale against a "zlib.DLL" of the kind programs ship (older_zlib.c):
// one that reports no length on a failed expansion, fails compressions for
// reasons other than room, and (32-bit Windows) uses stdcall.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <string>

#include "emulator.h"
#include "testutil.h"
#include "torvex.h"

using namespace testutil;

namespace {
using OlderZlib = emulator::DeviceTest;
const char kSale[] =
    "<CFe><infCFe><det><prod><qCom>1</qCom><vUnCom>2.50</vUnCom></prod></det>"
    "<pgto><MP><cMP>01</cMP><vMP>2.50</vMP></MP></pgto></infCFe></CFe>";
}  // namespace

// Both zlib functions are called through the library's own call step, so a
// stdcall build leaves the stack as it found it; the sale and its reply's
// expansion work.
TEST_F(OlderZlib, SaleAndExpansionWork) {
#if defined(_WIN32) && !defined(__i386__)
  GTEST_SKIP() << "x64 Windows has one calling convention: the stdcall case is a 32-bit one";
#endif
  emulator::Faults("salereply:$S|06000|0000|ok|||:X|Y|Z");
  std::string got = EnviarDadosVenda(801, "12345678", kSale);
  EXPECT_EQ(got, "000801|06000|0000|ok|||X|Y|Z");
  EXPECT_EQ(ReadStatus().code, TORVEX_STATUS_OK);
  got = EnviarDadosVenda(802, "12345678", kSale);  // the device's own answer
  EXPECT_EQ(got.substr(0, 7), "000802|") << got.substr(0, 60);
  EXPECT_EQ(ReadStatus().code, TORVEX_STATUS_OK);
}

// A tail cut short after a longer good one: only what this expansion
// produced is appended, never text left from the earlier sale.
TEST_F(OlderZlib, ACutTailBringsNothingOfAnEarlierSale) {
  std::string earlier = "MARCADOR-DA-VENDA-ANTERIOR|" + std::string(3000, 'v');
  emulator::Faults("salereply:$S|06000|0000|ok|||:" + earlier);
  std::string got = EnviarDadosVenda(811, "12345678", kSale);
  ASSERT_EQ(got, "000811|06000|0000|ok|||" + earlier);

  std::string text = "NOVO|";
  for (int i = 0; i < 300; ++i) text += std::to_string(i * 7919 % 1000);
  std::string stream(compressBound(static_cast<uLong>(text.size())), '\0');
  uLongf streamLen = static_cast<uLongf>(stream.size());
  ASSERT_EQ(
      compress2(reinterpret_cast<Bytef *>(&stream[0]), &streamLen,
                reinterpret_cast<const Bytef *>(text.data()), static_cast<uLong>(text.size()), 2),
      Z_OK);
  stream.resize(streamLen / 2);  // cut: zlib expands part of it, then fails
  std::string fault = "reply:$S|06000|0000|ok|||";
  char hex[8];
  std::string length = {static_cast<char>(streamLen), static_cast<char>(streamLen >> 8), 0, 0};
  for (char c : length + stream) {
    std::snprintf(hex, sizeof hex, "\\x%02x", static_cast<unsigned char>(c));
    fault += hex;
  }
  emulator::Faults(fault + "@EnviarDadosVenda");
  got = EnviarDadosVenda(812, "12345678", kSale);
  ASSERT_EQ(got.substr(0, 23), "000812|06000|0000|ok|||");
  std::string expanded = got.substr(23);
  EXPECT_EQ(text.compare(0, expanded.size(), expanded), 0) << expanded.substr(0, 80);
  EXPECT_EQ(got.find('v'), std::string::npos) << got.substr(0, 80);
  EXPECT_EQ(AfterStamp(LastRx()), got);
}

// A compression that fails for another reason than room says so.
TEST_F(OlderZlib, CompressionFailuresHaveTheirOwnText) {
  struct Case {
    const char *sale;
    const char *text;
  } cases[] = {
      {"<falha-memoria><CFe/>", "Erro ao compactar os dados da venda: memoria insuficiente"},
      {"<falha-fluxo><CFe/>", "Erro ao compactar os dados da venda (zlib -2)"},
  };
  for (const auto &c : cases) {
    std::string got = EnviarDadosVenda(821, "12345678", c.sale);
    EXPECT_EQ(got, c.text);
    EXPECT_EQ(ReadStatus().code, TORVEX_STATUS_NOT_READY);
    EXPECT_EQ(ReadStatus().message, c.text);
    EXPECT_EQ(AfterStamp(LastTx()).find("821|"), std::string::npos);  // nothing was sent
  }
}
