// The exported functions of the SAT interface (see torvex.h). Each command
// export is one call of the command road with its row of the catalogue.
//
// Every export runs with the line to itself: calls from several threads wait
// their turn on one lock (none is refused), so one command's reader never
// meets another command's port and no reply reaches the wrong caller. A
// returned text is the calling thread's own copy, valid until that thread
// calls into the library again. No exception leaves an export: a failure
// inside (no memory for a buffer or a thread) ends the call with status 1
// and a text that says so, and the port is closed again.
#include <cstring>
#include <exception>
#include <mutex>
#include <new>
#include <string>

#include "catalogue.h"
#include "comm.h"
#include "sale.h"
#include "satcomm.h"
#include "satlink.h"
#include "satstate.h"
#include "session.h"
#include "text.h"
#include "timestamp.h"
#include "torvex.h"
#include "tracelog.h"

using namespace torvex::sat;

namespace {
// The port is closed and the gap time set when the library is loaded.
struct LoadTimeInit {
  LoadTimeInit() { PortInit(); }
} g_loadTimeInit;

std::mutex g_oneCallAtATime;

// The text each thread was last handed, and the text of a failure inside
// the library (a fixed buffer: it must be there when memory is not).
thread_local std::string t_returned;
thread_local char t_failure[kStatusMessageSize];

const char kInternalError[] = "Erro interno da biblioteca";

// Runs body with the line to itself. On an exception: the port is closed,
// the status becomes 1 with the failure's text in t_failure, and failure is
// returned.
template <typename Result, typename Body>
Result Exclusive(Result failure, Body &&body) noexcept {
  std::unique_lock<std::mutex> lock(g_oneCallAtATime, std::defer_lock);
  try {
    lock.lock();
    return body();
  } catch (const std::bad_alloc &) {
    FormatText(t_failure, sizeof t_failure, "%s: memoria insuficiente", kInternalError);
  } catch (const std::exception &e) {
    FormatText(t_failure, sizeof t_failure, "%s: %s", kInternalError, e.what());
  } catch (...) {
    CopyText(t_failure, sizeof t_failure, kInternalError);
  }
  if (lock.owns_lock()) {
    try {
      PortClose();
    } catch (...) {
    }
    SetStatus(kStatusNotReady, t_failure);
  }
  return failure;
}

// A text export: the result is copied for the calling thread.
template <typename Body>
const char *ExclusiveText(Body &&body) noexcept {
  return Exclusive<const char *>(t_failure, [&] {
    t_returned.assign(body());
    return t_returned.c_str();
  });
}

}  // namespace

namespace {
// AbreSerialSAT: opens and closes the port.
int TestPort(int porta, int baudRate, int dataBits, int paridade, int stopBits) {
  EnsureZlib();
  char name[kPortNameSize];
  int n = FormatText(name, sizeof name, "COM%d", porta);
  if (n < 0 || static_cast<std::size_t>(n) >= kSerialNameSize) {
    // The serial port keeps at most 9 characters of name: refuse the number
    // rather than open some other port.
    SetCannotOpen(name);
    return kStatusNotReady;
  }
  CopyText(PortName, sizeof PortName, name);
  if (LogEnabled) {
    TraceFile trace;
    Timestamp ts = MakeTimestamp();
    trace.Printf("S@T:%s %s %s Baud:%ld Bits:%ld Paridade:%ld StopBits:%ld\n", PortName, ts.text,
                 "AbreSerialSAT", static_cast<long>(baudRate), static_cast<long>(dataBits),
                 static_cast<long>(paridade), static_cast<long>(stopBits));
  }
  if (ZlibModule == nullptr) {
    SetStatus(kStatusNotReady, kZlibMissingText);
    return kStatusNotReady;
  }
  if (!OpenLine(PortName)) {
    SetCannotOpen(PortName);
    return kStatusNotReady;
  }
  PortClose();
  char message[kStatusMessageSize];
  FormatText(message, sizeof message, "Porta %s aberta com sucesso", PortName);
  SetStatus(kStatusOk, message);
  return kStatusOk;
}
}  // namespace

extern "C" {

TORVEX_API const char *TORVEX_CALL ConsultarSAT(int numeroSessao) {
  return ExclusiveText([&] { return Run(kConsultarSAT, numeroSessao); });
}

TORVEX_API const char *TORVEX_CALL AtivarSAT(int numeroSessao, int subComando,
                                             const char *codigoDeAtivacao, const char *CNPJ,
                                             int cUF) {
  return ExclusiveText(
      [&] { return Run(kAtivarSAT, numeroSessao, subComando, codigoDeAtivacao, CNPJ, cUF); });
}

TORVEX_API const char *TORVEX_CALL ComunicarCertificadoICPBRASIL(int numeroSessao,
                                                                 const char *codigoDeAtivacao,
                                                                 const char *certificado) {
  return ExclusiveText([&] {
    return Run(kComunicarCertificadoICPBRASIL, numeroSessao, codigoDeAtivacao, certificado);
  });
}

TORVEX_API const char *TORVEX_CALL EnviarDadosVenda(int numeroSessao, const char *codigoDeAtivacao,
                                                    const char *dadosVenda) {
  return ExclusiveText([&] { return SubmitSale(numeroSessao, codigoDeAtivacao, dadosVenda); });
}

TORVEX_API const char *TORVEX_CALL CancelarUltimaVenda(int numeroSessao,
                                                       const char *codigoDeAtivacao,
                                                       const char *chave,
                                                       const char *dadosCancelamento) {
  return ExclusiveText([&] {
    return Run(kCancelarUltimaVenda, numeroSessao, codigoDeAtivacao, chave, dadosCancelamento);
  });
}

TORVEX_API const char *TORVEX_CALL TesteFimAFim(int numeroSessao, const char *codigoDeAtivacao,
                                                const char *dadosVenda) {
  return ExclusiveText(
      [&] { return Run(kTesteFimAFim, numeroSessao, codigoDeAtivacao, dadosVenda); });
}

TORVEX_API const char *TORVEX_CALL ConsultarStatusOperacional(int numeroSessao,
                                                              const char *codigoDeAtivacao) {
  return ExclusiveText(
      [&] { return Run(kConsultarStatusOperacional, numeroSessao, codigoDeAtivacao); });
}

TORVEX_API const char *TORVEX_CALL ConsultarNumeroSessao(int numeroSessao,
                                                         const char *codigoDeAtivacao,
                                                         int cNumeroDeSessao) {
  return ExclusiveText(
      [&] { return Run(kConsultarNumeroSessao, numeroSessao, codigoDeAtivacao, cNumeroDeSessao); });
}

TORVEX_API const char *TORVEX_CALL ConfigurarInterfaceDeRede(int numeroSessao,
                                                             const char *codigoDeAtivacao,
                                                             const char *dadosConfiguracao) {
  return ExclusiveText([&] {
    return Run(kConfigurarInterfaceDeRede, numeroSessao, codigoDeAtivacao, dadosConfiguracao);
  });
}

TORVEX_API const char *TORVEX_CALL AssociarAssinatura(int numeroSessao,
                                                      const char *codigoDeAtivacao,
                                                      const char *CNPJvalue,
                                                      const char *assinaturaCNPJs) {
  return ExclusiveText([&] {
    return Run(kAssociarAssinatura, numeroSessao, codigoDeAtivacao, CNPJvalue, assinaturaCNPJs);
  });
}

TORVEX_API const char *TORVEX_CALL AtualizarSoftwareSAT(int numeroSessao,
                                                        const char *codigoDeAtivacao) {
  return ExclusiveText([&] { return Run(kAtualizarSoftwareSAT, numeroSessao, codigoDeAtivacao); });
}

TORVEX_API const char *TORVEX_CALL ExtrairLogs(int numeroSessao, const char *codigoDeAtivacao) {
  return ExclusiveText([&] { return Run(kExtrairLogs, numeroSessao, codigoDeAtivacao); });
}

TORVEX_API const char *TORVEX_CALL BloquearSAT(int numeroSessao, const char *codigoDeAtivacao) {
  return ExclusiveText([&] { return Run(kBloquearSAT, numeroSessao, codigoDeAtivacao); });
}

TORVEX_API const char *TORVEX_CALL DesbloquearSAT(int numeroSessao, const char *codigoDeAtivacao) {
  return ExclusiveText([&] { return Run(kDesbloquearSAT, numeroSessao, codigoDeAtivacao); });
}

TORVEX_API const char *TORVEX_CALL TrocarCodigoDeAtivacao(int numeroSessao,
                                                          const char *codigoDeAtivacao, int opcao,
                                                          const char *novoCodigo,
                                                          const char *confNovoCodigo) {
  return ExclusiveText([&] {
    return Run(kTrocarCodigoDeAtivacao, numeroSessao, codigoDeAtivacao, opcao, novoCodigo,
               confNovoCodigo);
  });
}

TORVEX_API const char *TORVEX_CALL ArocarCodigoDeAtivacaoSAT(int numeroSessao,
                                                             const char *codigoDeAtivacao,
                                                             int opcao, const char *novoCodigo,
                                                             const char *confNovoCodigo) {
  return ExclusiveText([&] {
    return Run(kArocarCodigoDeAtivacaoSAT, numeroSessao, codigoDeAtivacao, opcao, novoCodigo,
               confNovoCodigo);
  });
}

TORVEX_API const char *TORVEX_CALL AesteFimAFim(int numeroSessao, const char *codigoDeAtivacao,
                                                const char *dadosVenda) {
  return ExclusiveText(
      [&] { return Run(kAesteFimAFim, numeroSessao, codigoDeAtivacao, dadosVenda); });
}

TORVEX_API const char *TORVEX_CALL ConsultarUltimaSessaoFiscal(int numeroSessao,
                                                               const char *codigoDeAtivacao) {
  return ExclusiveText(
      [&] { return Run(kConsultarUltimaSessaoFiscal, numeroSessao, codigoDeAtivacao); });
}

// ---- Control functions -----------------------------------------------------

TORVEX_API void TORVEX_CALL ConfiguraTimeout(int timeout) {
  Exclusive(0, [&] {
    if (!LogEnabled) return 0;
    TraceFile trace;
    Timestamp ts = MakeTimestamp();
    trace.Printf("S@T:%s %s %ld\n", ts.text, "ConfiguraTimeout", static_cast<long>(timeout));
    return 0;
  });
}

TORVEX_API void TORVEX_CALL ArquivoLog(const char *path) {
  path = OrEmpty(path);
  Exclusive(0, [&] {
    // A path that does not fit is refused whole: cutting it would send the
    // log to some other file.
    if (std::strlen(path) >= sizeof LogPath) return 0;
    LogEnabled = true;
    CopyText(LogPath, sizeof LogPath, path);
    TraceFile create;  // creates the file if it is missing
    return 0;
  });
}

TORVEX_API int TORVEX_CALL GeraNumeroSessao(void) {
  return Exclusive(0, [] { return static_cast<int>(NextSessionNumber()); });
}

TORVEX_API const char *TORVEX_CALL LastTx(void) {
  return ExclusiveText([] { return LastTxText; });
}

TORVEX_API const char *TORVEX_CALL LastRx(void) {
  return ExclusiveText([] { return LastRxText; });
}

TORVEX_API int TORVEX_CALL AbreSerialSAT(int porta, int baudRate, int dataBits, int paridade,
                                         int stopBits) {
  return Exclusive(static_cast<int>(kStatusNotReady),
                   [&] { return TestPort(porta, baudRate, dataBits, paridade, stopBits); });
}

TORVEX_API void TORVEX_CALL CloseSerial(void) {}

TORVEX_API char *TORVEX_CALL CodigoErro(char *buffer) {
  if (buffer == nullptr) return buffer;
  return Exclusive(buffer, [&] {
    std::int32_t code = StatusRecord.StatusCode.load(std::memory_order_acquire);
    auto u = static_cast<std::uint32_t>(code);
    for (int i = 0; i < 4; ++i) buffer[i] = static_cast<char>(u >> (8 * i));
    std::memcpy(buffer + 4, StatusRecord.StatusMessage, sizeof StatusRecord.StatusMessage);
    return buffer;
  });
}

}  // extern "C"
