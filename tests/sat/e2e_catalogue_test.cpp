// Every command export end to end: the command text it sends, the name it
// logs under, and what it does with bad arguments. The same tests run in
// remote mode (TORVEX_HUB set by with-satemu.sh --hub): the library sends
// each call through the real torvex-hub to the same emulator, and the
// replies, codes and messages must be the same.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <string>

#include "emulator.h"
#include "testutil.h"
#include "torvex.h"

using namespace testutil;

namespace {
struct ExportCase {
  const char *logName;
  std::function<const char *()> call;
  const char *commandText;
};

const ExportCase kExports[] = {
    {"ConsultarSAT", [] { return ConsultarSAT(42); }, "000042|ConsultarSAT"},
    {"AtivarSAT", [] { return AtivarSAT(42, 1, "12345678", "16716114000172", 5); },
     "000042|AtivarSAT|1|12345678|16716114000172|05"},
    {"ComunicarCertificadoICPBRASIL",
     [] { return ComunicarCertificadoICPBRASIL(42, "12345678", "CERT"); },
     "000042|ComunicarCertificadoICPBRASIL|12345678|CERT"},
    {"CancelarUltimaVenda",
     [] { return CancelarUltimaVenda(42, "12345678", "CFe123", "<CFeCanc/>"); },
     "000042|CancelarUltimaVenda|12345678|CFe123|<CFeCanc/>"},
    {"TesteFimAFim", [] { return TesteFimAFim(42, "12345678", "<CFe/>"); },
     "000042|TesteFimAFim|12345678|<CFe/>"},
    {"ConsultarStatusOperacional", [] { return ConsultarStatusOperacional(42, "12345678"); },
     "000042|ConsultarStatusOperacional|12345678"},
    {"ConsultarNumeroSessao", [] { return ConsultarNumeroSessao(42, "12345678", 1234567); },
     "000042|ConsultarNumeroSessao|12345678|1234567"},
    {"ConfigurarInterfaceDeRede",
     [] { return ConfigurarInterfaceDeRede(42, "12345678", "<config/>"); },
     "000042|ConfigurarInterfaceDeRede|12345678|<config/>"},
    {"AssociarAssinatura", [] { return AssociarAssinatura(42, "12345678", "1111", "SIG"); },
     "000042|AssociarAssinatura|12345678|1111|SIG"},
    {"AtualizarSoftwareSAT", [] { return AtualizarSoftwareSAT(42, "12345678"); },
     "000042|AtualizarSoftwareSAT|12345678"},
    {"ExtrairLogs", [] { return ExtrairLogs(42, "12345678"); }, "000042|ExtrairLogs|12345678"},
    {"BloquearSAT", [] { return BloquearSAT(42, "12345678"); }, "000042|BloquearSAT|12345678"},
    {"DesbloquearSAT", [] { return DesbloquearSAT(42, "12345678"); },
     "000042|DesbloquearSAT|12345678"},
    {"TrocarCodigoDeAtivacao",
     [] { return TrocarCodigoDeAtivacao(42, "12345678", 1, "87654321", "87654321"); },
     "000042|TrocarCodigoDeAtivacaoSAT|12345678|1|87654321|87654321"},
    {"ArocarCodigoDeAtivacaoSAT",
     [] { return ArocarCodigoDeAtivacaoSAT(42, "12345678", 1, "87654321", "87654321"); },
     "000042|TrocarCodigoDeAtivacaoSAT|12345678|1|87654321|87654321"},
    {"AesteFimAFim", [] { return AesteFimAFim(42, "12345678", "<CFe/>"); },
     "000042|TesteFimAFim|12345678|<CFe/>"},
    {"ConsultarUltimaSessaoFiscal", [] { return ConsultarUltimaSessaoFiscal(42, "12345678"); },
     "000042|ConsultarUltimaSessaoFiscal|12345678"},
};

using Catalogue = emulator::DeviceTest;

// The command text LastTx shows. In remote mode LastTx ends with a note
// naming the hub and the till (" [hub <address> caixa <till>]"), checked
// here exactly and taken off.
std::string Sent() {
  std::string tx = AfterStamp(LastTx());
  const char *hub = std::getenv("TORVEX_HUB");
  if (hub == nullptr || *hub == '\0') return tx;
  const char *till = std::getenv("TORVEX_TILL");
  std::string note = std::string(" [hub ") + hub + " caixa " + (till ? till : "?") + "]";
  if (tx.size() < note.size() || tx.compare(tx.size() - note.size(), note.size(), note) != 0)
    return "<no hub note:" + tx + ">";
  return tx.substr(0, tx.size() - note.size());
}
}  // namespace

TEST_F(Catalogue, EachExportSendsItsCommandTextAndLogsItsName) {
  std::string path = emulator::Scratch("catalogue.log");
  for (const auto &c : kExports) {
    std::remove(path.c_str());
    ArquivoLog(path.c_str());
    // A fixed reply, so the device's own state does not matter here.
    emulator::Faults("reply:$S|99000|resposta|0000||");
    std::string got = c.call();
    EXPECT_EQ(Sent(), c.commandText) << c.logName;
    std::vector<std::string> lines = Lines(MaskStamps(ReadTextFile(path)));
    ASSERT_FALSE(lines.empty()) << c.logName;
    EXPECT_EQ(lines[0], std::string("S@T:<TS> ") + c.logName + " " + c.commandText);
    EXPECT_EQ(got, "000042|99000|resposta|0000||") << c.logName;
    Status s = ReadStatus();
    EXPECT_EQ(s.code, TORVEX_STATUS_OK) << c.logName;
    // Sale-like exports read the message from the fourth field.
    bool four = std::string(c.logName) == "CancelarUltimaVenda";
    EXPECT_EQ(s.message, four ? "Codigo: 99000.\n0000" : "Codigo: 99000.\nresposta") << c.logName;
  }
}

TEST_F(Catalogue, EveryExportGetsAPlausibleReplyFromTheDevice) {
  for (const auto &c : kExports) {
    std::string got = c.call();
    EXPECT_EQ(ReadStatus().code, TORVEX_STATUS_OK) << c.logName << ": " << got;
    EXPECT_EQ(got.substr(0, 7), "000042|") << c.logName << ": " << got;
  }
}

TEST_F(Catalogue, NullTextArgumentsAreEmptyTexts) {
  AtivarSAT(7, 2, nullptr, nullptr, 35);
  EXPECT_EQ(Sent(), "000007|AtivarSAT|2|||35");
  CancelarUltimaVenda(7, nullptr, nullptr, nullptr);
  EXPECT_EQ(Sent(), "000007|CancelarUltimaVenda|||");
  EnviarDadosVenda(7, nullptr, nullptr);
  EXPECT_EQ(Sent().substr(0, 24), "000007|EnviarDadosVenda|");
}

TEST_F(Catalogue, ArgumentsTooLargeForAFrameAreRefusedBeforeSending) {
  std::string huge(3u * 1024 * 1024, 'x');
  ConsultarSAT(5);
  std::string before = LastTx();
  std::string got = TesteFimAFim(8, "12345678", huge.c_str());
  Status s = ReadStatus();
  EXPECT_EQ(s.code, TORVEX_STATUS_NOT_READY);
  EXPECT_EQ(got, s.message);
  EXPECT_EQ(std::string(LastTx()), before);  // nothing went out
}

// Left over from an earlier failure, code 1 must not make AssociarAssinatura
// hand back the previous reply: it sends its own command.
TEST_F(Catalogue, AssociarAssinaturaSendsEvenAfterAFailedCommand) {
  ConsultarSAT(9);
  std::string huge(3u * 1024 * 1024, 'y');
  TesteFimAFim(10, "x", huge.c_str());  // refused: leaves code 1 behind
  ASSERT_EQ(ReadStatus().code, TORVEX_STATUS_NOT_READY);
  std::string got = AssociarAssinatura(11, "12345678", "1111", "SIG");
  EXPECT_EQ(Sent(), "000011|AssociarAssinatura|12345678|1111|SIG");
  EXPECT_EQ(got.substr(0, 7), "000011|") << got;
  EXPECT_EQ(ReadStatus().code, TORVEX_STATUS_OK);
}
