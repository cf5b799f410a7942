// The exported functions of the SAT interface (see torvex.h). Each command
// export is one call of the command road with its row of the catalogue, on
// the library's command state.
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
#include <new>
#include <type_traits>

#include "command_catalogue.h"
#include "command_road.h"
#include "command_sale.h"
#include "command_state.h"
#include "platform.h"
#include "session.h"
#include "text.h"
#include "timestamp.h"
#include "torvex.h"
#include "tracelog.h"

using namespace torvex::sat;

namespace {

const char kInternalError[] = "Erro interno da biblioteca";
const char kNoMemoryText[] = "Erro interno da biblioteca: memoria insuficiente";

// Runs body(state) with the line to itself. On an exception: the port is
// closed, the status becomes 1 with the failure's text, and failure is
// returned (a text export returns that text).
template <typename Result, typename Body>
Result Exclusive(Result failure, Body &&body) noexcept {
  CommandState &state = TheCommandState();
  char text[kStatusMessageSize];
  state.OneCallAtATime.Acquire();
  try {
    Result result = body(state);
    state.OneCallAtATime.Release();
    return result;
  } catch (const std::bad_alloc &) {
    CopyText(text, sizeof text, kNoMemoryText);
  } catch (const std::exception &e) {
    FormatText(text, sizeof text, "%s: %s", kInternalError, e.what());
  } catch (...) {
    CopyText(text, sizeof text, kInternalError);
  }
  try {
    state.SerialPort.PortClose();
  } catch (...) {
  }
  SetStatus(state.StatusRecord, kStatusNotReady, text);
  if constexpr (std::is_same_v<Result, const char *>) {
    failure = KeepForThisThread(text);
    if (failure == nullptr) failure = kNoMemoryText;
  }
  state.OneCallAtATime.Release();
  return failure;
}

// A text export: the text body returns is copied for the calling thread.
template <typename Body>
const char *ExclusiveText(Body &&body) noexcept {
  return Exclusive<const char *>(kNoMemoryText, [&](CommandState &state) {
    const char *kept = KeepForThisThread(body(state));
    if (kept == nullptr) throw std::bad_alloc();
    return kept;
  });
}

// AbreSerialSAT: opens and closes the port.
int TestPort(CommandState &state, int porta, int baudRate, int dataBits, int paridade,
             int stopBits) {
  StatusRecordType &status = state.StatusRecord;
  EnsureZlib(state.ZlibModule);
  char name[kPortNameSize];
  int n = FormatText(name, sizeof name, "COM%d", porta);
  if (n < 0 || static_cast<std::size_t>(n) >= kSerialNameSize) {
    // The serial port keeps at most 9 characters of name: refuse the number
    // rather than open some other port.
    SetCannotOpen(status, name);
    return kStatusNotReady;
  }
  const char *portName = state.Port.PortName;
  CopyText(state.Port.PortName, sizeof state.Port.PortName, name);
  if (state.Trace.LogEnabled) {
    TraceFile trace(state.Trace);
    Timestamp ts = MakeTimestamp();
    trace.Printf("S@T:%s %s %s Baud:%ld Bits:%ld Paridade:%ld StopBits:%ld\n", portName, ts.text,
                 "AbreSerialSAT", static_cast<long>(baudRate), static_cast<long>(dataBits),
                 static_cast<long>(paridade), static_cast<long>(stopBits));
  }
  if (state.ZlibModule == nullptr) {
    SetStatus(status, kStatusNotReady, kZlibMissingText);
    return kStatusNotReady;
  }
  if (!state.Line.OpenLine(portName)) {
    SetCannotOpen(status, portName);
    return kStatusNotReady;
  }
  state.Line.CloseLine();
  char message[kStatusMessageSize];
  FormatText(message, sizeof message, "Porta %s aberta com sucesso", portName);
  SetStatus(status, kStatusOk, message);
  return kStatusOk;
}

}  // namespace

extern "C" {

TORVEX_API const char *TORVEX_CALL ConsultarSAT(int numeroSessao) {
  return ExclusiveText(
      [&](CommandState &state) { return Run(state, kConsultarSAT, numeroSessao); });
}

TORVEX_API const char *TORVEX_CALL AtivarSAT(int numeroSessao, int subComando,
                                             const char *codigoDeAtivacao, const char *CNPJ,
                                             int cUF) {
  return ExclusiveText([&](CommandState &state) {
    return Run(state, kAtivarSAT, numeroSessao, subComando, codigoDeAtivacao, CNPJ, cUF);
  });
}

TORVEX_API const char *TORVEX_CALL ComunicarCertificadoICPBRASIL(int numeroSessao,
                                                                 const char *codigoDeAtivacao,
                                                                 const char *certificado) {
  return ExclusiveText([&](CommandState &state) {
    return Run(state, kComunicarCertificadoICPBRASIL, numeroSessao, codigoDeAtivacao, certificado);
  });
}

TORVEX_API const char *TORVEX_CALL EnviarDadosVenda(int numeroSessao, const char *codigoDeAtivacao,
                                                    const char *dadosVenda) {
  return ExclusiveText([&](CommandState &state) {
    return Run(state, kEnviarDadosVenda, numeroSessao, codigoDeAtivacao, dadosVenda);
  });
}

TORVEX_API const char *TORVEX_CALL CancelarUltimaVenda(int numeroSessao,
                                                       const char *codigoDeAtivacao,
                                                       const char *chave,
                                                       const char *dadosCancelamento) {
  return ExclusiveText([&](CommandState &state) {
    return Run(state, kCancelarUltimaVenda, numeroSessao, codigoDeAtivacao, chave,
               dadosCancelamento);
  });
}

TORVEX_API const char *TORVEX_CALL TesteFimAFim(int numeroSessao, const char *codigoDeAtivacao,
                                                const char *dadosVenda) {
  return ExclusiveText([&](CommandState &state) {
    return Run(state, kTesteFimAFim, numeroSessao, codigoDeAtivacao, dadosVenda);
  });
}

TORVEX_API const char *TORVEX_CALL ConsultarStatusOperacional(int numeroSessao,
                                                              const char *codigoDeAtivacao) {
  return ExclusiveText([&](CommandState &state) {
    return Run(state, kConsultarStatusOperacional, numeroSessao, codigoDeAtivacao);
  });
}

TORVEX_API const char *TORVEX_CALL ConsultarNumeroSessao(int numeroSessao,
                                                         const char *codigoDeAtivacao,
                                                         int cNumeroDeSessao) {
  return ExclusiveText([&](CommandState &state) {
    return Run(state, kConsultarNumeroSessao, numeroSessao, codigoDeAtivacao, cNumeroDeSessao);
  });
}

TORVEX_API const char *TORVEX_CALL ConfigurarInterfaceDeRede(int numeroSessao,
                                                             const char *codigoDeAtivacao,
                                                             const char *dadosConfiguracao) {
  return ExclusiveText([&](CommandState &state) {
    return Run(state, kConfigurarInterfaceDeRede, numeroSessao, codigoDeAtivacao,
               dadosConfiguracao);
  });
}

TORVEX_API const char *TORVEX_CALL AssociarAssinatura(int numeroSessao,
                                                      const char *codigoDeAtivacao,
                                                      const char *CNPJvalue,
                                                      const char *assinaturaCNPJs) {
  return ExclusiveText([&](CommandState &state) {
    return Run(state, kAssociarAssinatura, numeroSessao, codigoDeAtivacao, CNPJvalue,
               assinaturaCNPJs);
  });
}

TORVEX_API const char *TORVEX_CALL AtualizarSoftwareSAT(int numeroSessao,
                                                        const char *codigoDeAtivacao) {
  return ExclusiveText([&](CommandState &state) {
    return Run(state, kAtualizarSoftwareSAT, numeroSessao, codigoDeAtivacao);
  });
}

TORVEX_API const char *TORVEX_CALL ExtrairLogs(int numeroSessao, const char *codigoDeAtivacao) {
  return ExclusiveText([&](CommandState &state) {
    return Run(state, kExtrairLogs, numeroSessao, codigoDeAtivacao);
  });
}

TORVEX_API const char *TORVEX_CALL BloquearSAT(int numeroSessao, const char *codigoDeAtivacao) {
  return ExclusiveText([&](CommandState &state) {
    return Run(state, kBloquearSAT, numeroSessao, codigoDeAtivacao);
  });
}

TORVEX_API const char *TORVEX_CALL DesbloquearSAT(int numeroSessao, const char *codigoDeAtivacao) {
  return ExclusiveText([&](CommandState &state) {
    return Run(state, kDesbloquearSAT, numeroSessao, codigoDeAtivacao);
  });
}

TORVEX_API const char *TORVEX_CALL TrocarCodigoDeAtivacao(int numeroSessao,
                                                          const char *codigoDeAtivacao, int opcao,
                                                          const char *novoCodigo,
                                                          const char *confNovoCodigo) {
  return ExclusiveText([&](CommandState &state) {
    return Run(state, kTrocarCodigoDeAtivacao, numeroSessao, codigoDeAtivacao, opcao, novoCodigo,
               confNovoCodigo);
  });
}

TORVEX_API const char *TORVEX_CALL ArocarCodigoDeAtivacaoSAT(int numeroSessao,
                                                             const char *codigoDeAtivacao,
                                                             int opcao, const char *novoCodigo,
                                                             const char *confNovoCodigo) {
  return ExclusiveText([&](CommandState &state) {
    return Run(state, kArocarCodigoDeAtivacaoSAT, numeroSessao, codigoDeAtivacao, opcao, novoCodigo,
               confNovoCodigo);
  });
}

TORVEX_API const char *TORVEX_CALL AesteFimAFim(int numeroSessao, const char *codigoDeAtivacao,
                                                const char *dadosVenda) {
  return ExclusiveText([&](CommandState &state) {
    return Run(state, kAesteFimAFim, numeroSessao, codigoDeAtivacao, dadosVenda);
  });
}

TORVEX_API const char *TORVEX_CALL ConsultarUltimaSessaoFiscal(int numeroSessao,
                                                               const char *codigoDeAtivacao) {
  return ExclusiveText([&](CommandState &state) {
    return Run(state, kConsultarUltimaSessaoFiscal, numeroSessao, codigoDeAtivacao);
  });
}

// ---- Control functions -----------------------------------------------------

TORVEX_API void TORVEX_CALL ConfiguraTimeout(int timeout) {
  Exclusive(0, [&](CommandState &state) {
    if (!state.Trace.LogEnabled) return 0;
    TraceFile trace(state.Trace);
    Timestamp ts = MakeTimestamp();
    trace.Printf("S@T:%s %s %ld\n", ts.text, "ConfiguraTimeout", static_cast<long>(timeout));
    return 0;
  });
}

TORVEX_API void TORVEX_CALL ArquivoLog(const char *path) {
  path = OrEmpty(path);
  Exclusive(0, [&](CommandState &state) {
    TraceSettings &trace = state.Trace;
    // A path that does not fit is refused whole: cutting it would send the
    // log to some other file.
    if (std::strlen(path) >= sizeof trace.LogPath) return 0;
    trace.LogEnabled = true;
    CopyText(trace.LogPath, sizeof trace.LogPath, path);
    TraceFile create(trace);  // creates the file if it is missing
    return 0;
  });
}

TORVEX_API int TORVEX_CALL GeraNumeroSessao(void) {
  return Exclusive(
      0, [](CommandState &state) { return static_cast<int>(NextSessionNumber(state.Sessions)); });
}

TORVEX_API const char *TORVEX_CALL LastTx(void) {
  return ExclusiveText([](CommandState &state) { return state.LastTxText; });
}

TORVEX_API const char *TORVEX_CALL LastRx(void) {
  return ExclusiveText([](CommandState &state) { return state.LastRxText; });
}

TORVEX_API int TORVEX_CALL AbreSerialSAT(int porta, int baudRate, int dataBits, int paridade,
                                         int stopBits) {
  return Exclusive(static_cast<int>(kStatusNotReady), [&](CommandState &state) {
    return TestPort(state, porta, baudRate, dataBits, paridade, stopBits);
  });
}

TORVEX_API void TORVEX_CALL CloseSerial(void) {}

TORVEX_API char *TORVEX_CALL CodigoErro(char *buffer) {
  if (buffer == nullptr) return buffer;
  return Exclusive(buffer, [&](CommandState &state) {
    const StatusRecordType &status = state.StatusRecord;
    auto u = static_cast<std::uint32_t>(status.Code());
    for (int i = 0; i < 4; ++i) buffer[i] = static_cast<char>(u >> (8 * i));
    std::memcpy(buffer + 4, status.StatusMessage, sizeof status.StatusMessage);
    return buffer;
  });
}

}  // extern "C"
