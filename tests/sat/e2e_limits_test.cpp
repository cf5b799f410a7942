// The wait limit of every export, with the device silent: run in virtual
// time (the library's code linked in, with a test clock), so 300 s and
// 1800 s limits pass in a moment.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "emulator.h"
#include "fakeclock.h"
#include "testutil.h"
#include "torvex.h"

using namespace testutil;

namespace {
const std::string kTimeout = "Timeout na comunica\xc3\xa7\xc3\xa3o com o equipamento.";

struct LimitCase {
  const char *name;
  std::function<const char *()> call;
  int seconds;
  bool lastRxOnFailure;
};

const LimitCase kLimits[] = {
    {"ConsultarSAT", [] { return ConsultarSAT(1); }, 2, true},
    {"AtivarSAT", [] { return AtivarSAT(1, 1, "c", "1", 35); }, 300, true},
    {"ComunicarCertificadoICPBRASIL", [] { return ComunicarCertificadoICPBRASIL(1, "c", "x"); },
     300, true},
    {"EnviarDadosVenda", [] { return EnviarDadosVenda(1, "c", "<CFe/>"); }, 8, true},
    {"CancelarUltimaVenda", [] { return CancelarUltimaVenda(1, "c", "k", "x"); }, 4, true},
    {"TesteFimAFim", [] { return TesteFimAFim(1, "c", "x"); }, 20, true},
    {"ConsultarStatusOperacional", [] { return ConsultarStatusOperacional(1, "c"); }, 3, true},
    {"ConsultarNumeroSessao", [] { return ConsultarNumeroSessao(1, "c", 5); }, 20, true},
    {"ConfigurarInterfaceDeRede", [] { return ConfigurarInterfaceDeRede(1, "c", "x"); }, 20, true},
    {"AssociarAssinatura", [] { return AssociarAssinatura(1, "c", "1", "s"); }, 10, true},
    {"AtualizarSoftwareSAT", [] { return AtualizarSoftwareSAT(1, "c"); }, 1800, true},
    {"ExtrairLogs", [] { return ExtrairLogs(1, "c"); }, 20, true},
    {"BloquearSAT", [] { return BloquearSAT(1, "c"); }, 300, false},
    {"DesbloquearSAT", [] { return DesbloquearSAT(1, "c"); }, 20, false},
    {"TrocarCodigoDeAtivacao", [] { return TrocarCodigoDeAtivacao(1, "c", 1, "n", "n"); }, 10,
     false},
    {"ArocarCodigoDeAtivacaoSAT", [] { return ArocarCodigoDeAtivacaoSAT(1, "c", 1, "n", "n"); }, 20,
     false},
    {"AesteFimAFim", [] { return AesteFimAFim(1, "c", "x"); }, 20, false},
    {"ConsultarUltimaSessaoFiscal", [] { return ConsultarUltimaSessaoFiscal(1, "c"); }, 20, true},
};
}  // namespace

TEST(WaitLimits, EachExportWaitsItsLimitInWholeCalendarSeconds) {
  REQUIRE_EMULATOR();
  FakeClock clock;  // starts on a whole second
  ScopedClock use(clock);
  emulator::NoFaults();
  ASSERT_EQ(ReadStatus().code, TORVEX_STATUS_OK);
  ConsultarSAT(1);  // finds the device
  ASSERT_EQ(ReadStatus().code, TORVEX_STATUS_OK);
  for (const auto &c : kLimits) {
    emulator::Faults("noreply");                 // for the next command, whichever it is
    clock.Advance(1000 - clock.NowMs() % 1000);  // each call starts on a whole second
    clock.ResetWaited();
    std::string got = c.call();
    EXPECT_EQ(got, kTimeout) << c.name;
    EXPECT_EQ(ReadStatus().code, TORVEX_STATUS_TIMEOUT) << c.name;
    EXPECT_EQ(clock.Waited(), c.seconds * 1000LL) << c.name;
    EXPECT_EQ(AfterStamp(LastRx()), c.lastRxOnFailure ? kTimeout : "") << c.name;
  }
}

TEST(WaitLimits, ALimitEndsWhenTheCalendarSecondTurnsNotAfterAFullSecond) {
  REQUIRE_EMULATOR();
  FakeClock clock(1765173857900);  // 100 ms before the second turns
  ScopedClock use(clock);
  emulator::NoFaults();
  ConsultarSAT(1);
  emulator::Faults("noreply");
  clock.ResetWaited();
  ConsultarSAT(2);
  EXPECT_EQ(clock.Waited(), 1100);  // 2 whole seconds of the calendar clock: 1.1 s
}

TEST(WaitLimits, ConfiguraTimeoutChangesNoLimit) {
  REQUIRE_EMULATOR();
  FakeClock clock;
  ScopedClock use(clock);
  emulator::NoFaults();
  ConsultarSAT(1);
  ConfiguraTimeout(60);
  emulator::Faults("noreply");
  clock.ResetWaited();
  ConsultarSAT(2);
  EXPECT_EQ(clock.Waited(), 2000);
}
