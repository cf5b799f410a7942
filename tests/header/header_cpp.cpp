// A C++ caller of the library, compiled against torvex.h alone: the header
// must give C linkage to every export (a mangled name would not link) and
// the same types as for a C caller (a different prototype or calling
// convention does not convert to the pointers below).
#include <torvex.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

using Cmd0 = const char *(TORVEX_CALL *)(int);
using CmdC = const char *(TORVEX_CALL *)(int, const char *);
using CmdCC = const char *(TORVEX_CALL *)(int, const char *, const char *);
using CmdCCC = const char *(TORVEX_CALL *)(int, const char *, const char *, const char *);

struct Exports {
  Cmd0 consultarSAT = ConsultarSAT;
  const char *(TORVEX_CALL *ativarSAT)(int, int, const char *, const char *, int) = AtivarSAT;
  CmdCC comunicarCertificado = ComunicarCertificadoICPBRASIL;
  CmdCC enviarDadosVenda = EnviarDadosVenda;
  CmdCCC cancelarUltimaVenda = CancelarUltimaVenda;
  CmdCC testeFimAFim = TesteFimAFim;
  CmdC consultarStatusOperacional = ConsultarStatusOperacional;
  const char *(TORVEX_CALL *consultarNumeroSessao)(int, const char *, int) = ConsultarNumeroSessao;
  CmdCC configurarInterfaceDeRede = ConfigurarInterfaceDeRede;
  CmdCCC associarAssinatura = AssociarAssinatura;
  CmdC atualizarSoftwareSAT = AtualizarSoftwareSAT;
  CmdC extrairLogs = ExtrairLogs;
  CmdC bloquearSAT = BloquearSAT;
  CmdC desbloquearSAT = DesbloquearSAT;
  const char *(TORVEX_CALL *trocarCodigo)(int, const char *, int, const char *,
                                          const char *) = TrocarCodigoDeAtivacao;
  const char *(TORVEX_CALL *arocarCodigo)(int, const char *, int, const char *,
                                          const char *) = ArocarCodigoDeAtivacaoSAT;
  CmdCC aesteFimAFim = AesteFimAFim;
  CmdC consultarUltimaSessaoFiscal = ConsultarUltimaSessaoFiscal;
  void(TORVEX_CALL *configuraTimeout)(int) = ConfiguraTimeout;
  void(TORVEX_CALL *arquivoLog)(const char *) = ArquivoLog;
  int(TORVEX_CALL *geraNumeroSessao)() = GeraNumeroSessao;
  const char *(TORVEX_CALL *lastTx)() = LastTx;
  const char *(TORVEX_CALL *lastRx)() = LastRx;
  int(TORVEX_CALL *abreSerialSAT)(int, int, int, int, int) = AbreSerialSAT;
  void(TORVEX_CALL *closeSerial)() = CloseSerial;
  char *(TORVEX_CALL *codigoErro)(char *) = CodigoErro;
};

static_assert(TORVEX_STATUS_SIZE == 104, "status record: 4-byte code and 100-byte message");

int failures = 0;

void check(bool ok, const char *what) {
  if (!ok) {
    std::fprintf(stderr, "check failed: %s\n", what);
    ++failures;
  }
}

}  // namespace

int main() {
  const Exports sat;
  std::array<char, TORVEX_STATUS_SIZE> status{};
  status.fill('\x55');

  check(sat.codigoErro(status.data()) == status.data(), "CodigoErro returns its buffer");
  check(std::memcmp(status.data(), "\0\0\0\0", 4) == 0, "code 0 right after load");
  check(status[4] == '\0', "empty message right after load");
  check(std::string(sat.lastTx()).empty(), "LastTx empty before any command");

  const int session = sat.geraNumeroSessao();
  check(session >= 0 && session <= 33766, "session number in range");

  sat.configuraTimeout(10);
  sat.closeSerial();

  // No port exists in the test: the port-not-ready text, code 1.
  const std::string reply = sat.consultarSAT(session);
#ifdef _WIN32
  check(reply == "Porta serial n\xe3o est\xe1 pronta, tente novamente", "not-ready text");
#else
  check(reply == "Porta serial n\xc3\xa3o est\xc3\xa1 pronta, tente novamente", "not-ready text");
#endif
  sat.codigoErro(status.data());
  check(status[0] == 1 && status[1] == 0 && status[2] == 0 && status[3] == 0, "code 1");

  if (failures != 0) return 1;
  std::puts("header_cpp: exports usable from C++");
  return 0;
}
