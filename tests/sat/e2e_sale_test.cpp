// Sales end to end: the compressed payload on the wire (read back from the
// trace log's frame dump and inflated), the expansion of the device's
// compressed reply tail, and the guards on sizes.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "emulator.h"
#include "testutil.h"
#include "torvex.h"

using namespace testutil;

namespace {
// The bytes of the last "<writer> TXDATA:" frame dump in a trace text.
std::vector<std::uint8_t> LastFrameDump(const std::string &trace, const std::string &writer) {
  std::size_t at = trace.rfind(writer + " TXDATA:\n");
  std::vector<std::uint8_t> bytes;
  if (at == std::string::npos) return bytes;
  std::size_t start = trace.find('\n', at) + 1;
  std::size_t end = trace.find("S@T:", start);
  std::istringstream in(
      trace.substr(start, end == std::string::npos ? std::string::npos : end - start));
  std::string tok;
  while (in >> tok) bytes.push_back(static_cast<std::uint8_t>(std::stoul(tok, nullptr, 16)));
  return bytes;
}

std::string Inflate(const std::uint8_t *data, std::size_t size, std::size_t expected) {
  std::string out(expected + 16, '\0');
  uLongf outLen = static_cast<uLongf>(out.size());
  if (uncompress(reinterpret_cast<Bytef *>(&out[0]), &outLen, data, static_cast<uLong>(size)) !=
      Z_OK)
    return "<inflate failed>";
  out.resize(outLen);
  return out;
}

using Sale = emulator::DeviceTest;
}  // namespace

TEST_F(Sale, PayloadIsTheTextPartLengthAndZlibStream) {
  std::string sale;
  while (sale.size() < 10000) sale += "<det nItem=\"1\"><prod><xProd>Cafe</xProd></prod></det>";
  sale.resize(10000);
  std::string path = emulator::Scratch("sale.log");
  ArquivoLog(path.c_str());
  emulator::Faults("salereply:$S|06000|0000|Emitido|0000||:X|Y|Z");
  EnviarDadosVenda(123, "12345678", sale.c_str());

  std::vector<std::uint8_t> frame = LastFrameDump(ReadTextFile(path), "EnviaComandoBinario");
  ASSERT_GT(frame.size(), 9u);
  std::uint32_t length = frame[4] | frame[5] << 8 | frame[6] << 16 | frame[7] << 24;
  ASSERT_EQ(frame.size(), length + 9u);
  std::string text = "000123|EnviarDadosVenda|12345678|";
  ASSERT_EQ(std::string(frame.begin() + 8, frame.begin() + 8 + text.size()), text);
  const std::uint8_t *block = frame.data() + 8 + text.size();
  std::uint32_t c = block[0] | block[1] << 8 | block[2] << 16 | block[3] << 24;
  EXPECT_EQ(length, text.size() + 4 + c);
  EXPECT_LT(c, 2000u);  // repeated text compresses to far fewer bytes
  EXPECT_EQ(Inflate(block + 4, c, sale.size()), sale);

  // LastTx shows the text part and the bytes before the first NUL after it.
  std::string shown = AfterStamp(LastTx());
  std::string expectedShown = text;
  for (std::size_t i = 0; i < 4 + c && block[i] != 0; ++i)
    expectedShown.push_back(static_cast<char>(block[i]));
  EXPECT_EQ(shown, expectedShown);
}

TEST_F(Sale, CompressedReplyTailIsExpanded) {
  emulator::Faults("salereply:$S|06000|0000|Emitido com sucesso|0000||:X|Y|Z");
  std::string got = EnviarDadosVenda(124, "12345678", "<CFe/>");
  EXPECT_EQ(got, "000124|06000|0000|Emitido com sucesso|0000||X|Y|Z");
  EXPECT_EQ(AfterStamp(LastRx()), got);
  Status s = ReadStatus();
  EXPECT_EQ(s.code, TORVEX_STATUS_OK);
  EXPECT_EQ(s.message, "Codigo: 06000.\nEmitido com sucesso");
}

TEST_F(Sale, RepliesWithoutATailAreReturnedAsReceived) {
  emulator::Faults("reply:$S|12345|1111|texto|");
  std::string got = EnviarDadosVenda(125, "12345678", "<CFe/>");
  EXPECT_EQ(got, "000125|12345|1111|texto|");
  EXPECT_EQ(ReadStatus().message, "Codigo: 12345.\ntexto");

  emulator::Faults("salereply:$S|06001|1999|Rejeitado|0000||:-");  // D = 0
  got = EnviarDadosVenda(126, "12345678", "<CFe/>");
  EXPECT_EQ(got, "000126|06001|1999|Rejeitado|0000||");
  EXPECT_EQ(ReadStatus().message, "Codigo: 06001.\nRejeitado");
}

TEST_F(Sale, CorruptTailIsCutAfterTheSixthBar) {
  emulator::Faults("salereply:$S|06000|0000|Emitido|0000||:!corrupt");
  std::string got = EnviarDadosVenda(127, "12345678", "<CFe/>");
  EXPECT_EQ(got.substr(0, 35), "000127|06000|0000|Emitido|0000||");
  EXPECT_EQ(ReadStatus().code, TORVEX_STATUS_OK);
}

TEST_F(Sale, DecompressionBombIsCutToTheReplyBuffer) {
  emulator::Faults("salereply:$S|06000|0000|Emitido|0000||:!bomb");
  std::string got = EnviarDadosVenda(128, "12345678", "<CFe/>");
  EXPECT_EQ(got.substr(0, 32), "000128|06000|0000|Emitido|0000||");
  EXPECT_LE(got.size(), 2u * 1024 * 1024);
  EXPECT_EQ(ReadStatus().code, TORVEX_STATUS_OK);
  // The library is still sound afterwards.
  emulator::NoFaults();
  std::string next = ConsultarSAT(129);
  EXPECT_EQ(next.substr(0, 13), "000129|08000|") << next.substr(0, 60);
}

TEST_F(Sale, SaleTooLargeForAFrameIsRefusedAndNothingIsSent) {
  // Random bytes (no NUL): they do not compress, so 2.2 MB stay over 2 MiB.
  std::string sale(2200000, '\0');
  std::uint32_t x = 12345;
  for (char &ch : sale) {
    x = x * 1103515245u + 12345u;
    ch = static_cast<char>(1 + (x >> 16) % 255);
  }
  ConsultarSAT(130);
  std::string before = LastTx();
  std::string got = EnviarDadosVenda(131, "12345678", sale.c_str());
  Status s = ReadStatus();
  EXPECT_EQ(s.code, TORVEX_STATUS_NOT_READY);
  EXPECT_EQ(got, s.message);
  EXPECT_EQ(std::string(LastTx()), before);
}

// Run in a process whose library cannot load zlib (see CMakeLists.txt).
TEST(SaleWithoutZlib, IsRefusedWithoutCallingIntoIt) {
  REQUIRE_EMULATOR();
  std::string got = EnviarDadosVenda(140, "12345678", "<CFe/>");
  EXPECT_EQ(got, "TORVEX.dll necessita zlib.dll");
  Status s = ReadStatus();
  EXPECT_EQ(s.code, TORVEX_STATUS_NOT_READY);
  EXPECT_EQ(s.message, "TORVEX.dll necessita zlib.dll");
  // Other commands carry on; the port test reports the missing library.
  std::string q = ConsultarSAT(141);
  EXPECT_EQ(q.substr(0, 13), "000141|08000|") << q;
  EXPECT_EQ(AbreSerialSAT(7, 115200, 8, 0, 1), 1);
  EXPECT_EQ(ReadStatus().message, "TORVEX.dll necessita zlib.dll");
}
