// The one place that calls the library's exports (on the device thread).
#include <torvex.h>

#include <cstdint>
#include <cstring>

#include "functions.h"

namespace hub {
namespace {

const char *Text(const CallArgs &a, std::size_t i) {
  return i < a.texts.size() ? a.texts[i].c_str() : "";
}
int Int(const CallArgs &a, std::size_t i) { return i < a.ints.size() ? a.ints[i] : 0; }

}  // namespace

CallResult Invoke(const HubFunction &fn, const CallArgs &a) {
  const int s = a.session;
  const char *code = a.activationCode.c_str();
  const std::string_view name = fn.exportName;
  const char *reply = nullptr;
  if (name == "AtivarSAT") {
    reply = AtivarSAT(s, Int(a, 0), code, Text(a, 0), Int(a, 1));
  } else if (name == "ComunicarCertificadoICPBRASIL") {
    reply = ComunicarCertificadoICPBRASIL(s, code, Text(a, 0));
  } else if (name == "EnviarDadosVenda") {
    reply = EnviarDadosVenda(s, code, Text(a, 0));
  } else if (name == "CancelarUltimaVenda") {
    reply = CancelarUltimaVenda(s, code, Text(a, 0), Text(a, 1));
  } else if (name == "ConsultarSAT") {
    reply = ConsultarSAT(s);
  } else if (name == "TesteFimAFim") {
    reply = TesteFimAFim(s, code, Text(a, 0));
  } else if (name == "AesteFimAFim") {
    reply = AesteFimAFim(s, code, Text(a, 0));
  } else if (name == "ConsultarStatusOperacional") {
    reply = ConsultarStatusOperacional(s, code);
  } else if (name == "ConsultarNumeroSessao") {
    reply = ConsultarNumeroSessao(s, code, Int(a, 0));
  } else if (name == "ConfigurarInterfaceDeRede") {
    reply = ConfigurarInterfaceDeRede(s, code, Text(a, 0));
  } else if (name == "AssociarAssinatura") {
    reply = AssociarAssinatura(s, code, Text(a, 0), Text(a, 1));
  } else if (name == "AtualizarSoftwareSAT") {
    reply = AtualizarSoftwareSAT(s, code);
  } else if (name == "ExtrairLogs") {
    reply = ExtrairLogs(s, code);
  } else if (name == "BloquearSAT") {
    reply = BloquearSAT(s, code);
  } else if (name == "DesbloquearSAT") {
    reply = DesbloquearSAT(s, code);
  } else if (name == "TrocarCodigoDeAtivacao") {
    // texts: the new code, then its confirmation (the caller's code comes
    // in activationCode: the hub's, or the emergency code for option 2).
    reply = TrocarCodigoDeAtivacao(s, code, Int(a, 0), Text(a, 0), Text(a, 1));
  } else if (name == "ArocarCodigoDeAtivacaoSAT") {
    reply = ArocarCodigoDeAtivacaoSAT(s, code, Int(a, 0), Text(a, 0), Text(a, 1));
  } else if (name == "ConsultarUltimaSessaoFiscal") {
    reply = ConsultarUltimaSessaoFiscal(s, code);
  }
  CallResult r;
  r.retorno = reply ? reply : "";
  char status[TORVEX_STATUS_SIZE] = {};
  CodigoErro(status);
  std::int32_t c;
  std::memcpy(&c, status, sizeof c);
  r.codigo = c;
  r.mensagem.assign(status + 4, strnlen(status + 4, TORVEX_STATUS_SIZE - 4));
  // A returned text stays valid only until this thread's next call: each
  // is copied before the next.
  const char *tx = LastTx();
  r.tx = tx ? tx : "";
  const char *rx = LastRx();
  r.rx = rx ? rx : "";
  return r;
}

}  // namespace hub
