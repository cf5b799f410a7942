// The SAT commands: one row per export, all driving the one command road.
//
// Each command's text is the session number ("%06ld"), the command name and
// the command's fields, each after a "|". A row's type lists its fields, so
// the compiler checks every export's arguments against its row: a wrong
// type or count does not compile.
#pragma once
#include "command_road.h"
#include "remote_call.h"
#include "text.h"

namespace torvex::sat {

// The kinds of field a command text carries after its name.
struct Int {  // a 32-bit integer, in full ("%i")
  using Type = int;
  static void Put(TextWriter &text, int value) { text.Put("|%i", value); }
  static void Form(RemoteForm &form, const char *name, int value) { form.AddInt(name, value); }
};
struct TwoDigits {  // an integer with at least two digits ("%02d": the state code)
  using Type = int;
  static void Put(TextWriter &text, int value) { text.Put("|%02d", value); }
  static void Form(RemoteForm &form, const char *name, int value) { form.AddInt(name, value); }
};
struct Text {  // a caller's text, sent as it is; NULL is sent as ""
  using Type = const char *;
  static void Put(TextWriter &text, const char *value) { text.Put("|%s", OrEmpty(value)); }
  static void Form(RemoteForm &form, const char *name, const char *value) { form.Add(name, value); }
};

template <typename... Fields>
struct Command {
  const char *name;  // the command name sent
  CommandRow row;
  // The fields' names in a remote call, one per field (the extra slot lets
  // a command without fields have the array).
  const char *formNames[sizeof...(Fields) + 1];
};

// Writes a command text: "%06ld|<name>", then "|<field>" for each field.
template <typename... Fields>
void PutCommandText(TextWriter &text, const Command<Fields...> &command, int session,
                    typename Fields::Type... values) {
  text.Put("%06ld|%s", static_cast<long>(session), command.name);
  (Fields::Put(text, values), ...);
}

// Runs the command road on state for an export: the session number and
// the export's arguments, one per field of its row.
template <typename... Fields>
const char *Run(CommandState &state, const Command<Fields...> &command, int session,
                typename Fields::Type... values) {
  return CommandRoad(
      state, command.row, session,
      [&](TextWriter &text) { PutCommandText(text, command, session, values...); },
      [&](RemoteForm &form) {
        std::size_t i = 0;
        (Fields::Form(form, command.formNames[i++], values), ...);
      });
}

namespace catalogue_detail {
constexpr auto k3 = ReplyPattern::kThreeFields;
constexpr auto k4 = ReplyPattern::kFourFields;
constexpr auto kOwn = ReplySession::kSent;
}  // namespace catalogue_detail

using namespace catalogue_detail;

// Row: the command name sent; then the log name, the limit in whole
// seconds, the reply pattern, whether LastRx records a failure, the
// not-ready text, and the sessions whose replies it accepts.
inline const Command<> kConsultarSAT{
    "ConsultarSAT", {"ConsultarSAT", 2, k3, true, kNotReadyText, kOwn}, {}};
inline const Command<Int, Text, Text, TwoDigits> kAtivarSAT{
    "AtivarSAT",
    {"AtivarSAT", 300, k3, true, kNotReadyText, kOwn},
    {"tipo_certificado", "codigo_ativacao", "cnpj", "codigo_uf"}};
inline const Command<Text, Text> kComunicarCertificadoICPBRASIL{
    "ComunicarCertificadoICPBRASIL",
    {"ComunicarCertificadoICPBRASIL", 300, k3, true, kNotReadyText, kOwn},
    {"codigo_ativacao", "certificado"}};
inline const Command<Text> kEnviarDadosVenda{"EnviarDadosVenda",
                                             {"EnviarDadosVenda", 8, k4, true, kNotReadyText, kOwn},
                                             {"codigo_ativacao"}};
inline const Command<Text, Text, Text> kCancelarUltimaVenda{
    "CancelarUltimaVenda",
    {"CancelarUltimaVenda", 4, k4, true, kNotReadyText, kOwn},
    {"codigo_ativacao", "chave_cfe", "dados_cancelamento"}};
inline const Command<Text, Text> kTesteFimAFim{"TesteFimAFim",
                                               {"TesteFimAFim", 20, k3, true, kNotReadyText, kOwn},
                                               {"codigo_ativacao", "dados_venda"}};
inline const Command<Text> kConsultarStatusOperacional{
    "ConsultarStatusOperacional",
    {"ConsultarStatusOperacional", 3, k3, true, kNotReadyText, kOwn},
    {"codigo_ativacao"}};
inline const Command<Text, Int> kConsultarNumeroSessao{
    "ConsultarNumeroSessao",
    {"ConsultarNumeroSessao", 20, k3, true, kNotReadyText, ReplySession::kSentOrConsulted},
    {"codigo_ativacao", "numero_sessao_consultada"}};
inline const Command<Text, Text> kConfigurarInterfaceDeRede{
    "ConfigurarInterfaceDeRede",
    {"ConfigurarInterfaceDeRede", 20, k3, true, kNotReadyText, kOwn},
    {"codigo_ativacao", "configuracao"}};
inline const Command<Text, Text, Text> kAssociarAssinatura{
    "AssociarAssinatura",
    {"AssociarAssinatura", 10, k3, true, kNotReadyTextBang, kOwn},
    {"codigo_ativacao", "sequencia_cnpj", "assinatura_ac"}};
inline const Command<Text> kAtualizarSoftwareSAT{
    "AtualizarSoftwareSAT",
    {"AtualizarSoftwareSAT", 1800, k3, true, kNotReadyText, kOwn},
    {"codigo_ativacao"}};
inline const Command<Text> kExtrairLogs{
    "ExtrairLogs", {"ExtrairLogs", 20, k3, true, kNotReadyText, kOwn}, {"codigo_ativacao"}};
inline const Command<Text> kBloquearSAT{
    "BloquearSAT", {"BloquearSAT", 300, k3, false, kNotReadyText, kOwn}, {"codigo_ativacao"}};
inline const Command<Text> kDesbloquearSAT{
    "DesbloquearSAT", {"DesbloquearSAT", 20, k3, false, kNotReadyText, kOwn}, {"codigo_ativacao"}};
inline const Command<Text, Int, Text, Text> kTrocarCodigoDeAtivacao{
    "TrocarCodigoDeAtivacaoSAT",
    {"TrocarCodigoDeAtivacao", 10, k3, false, kNotReadyText, kOwn},
    {"codigo_ativacao", "opcao", "novo_codigo_ativacao", "confirmacao_codigo"}};
inline const Command<Text, Int, Text, Text> kArocarCodigoDeAtivacaoSAT{
    "TrocarCodigoDeAtivacaoSAT",
    {"ArocarCodigoDeAtivacaoSAT", 20, k3, false, kNotReadyText, kOwn},
    {"codigo_ativacao", "opcao", "novo_codigo_ativacao", "confirmacao_codigo"}};
inline const Command<Text, Text> kAesteFimAFim{"TesteFimAFim",
                                               {"AesteFimAFim", 20, k3, false, kNotReadyText, kOwn},
                                               {"codigo_ativacao", "dados_venda"}};
inline const Command<Text> kConsultarUltimaSessaoFiscal{
    "ConsultarUltimaSessaoFiscal",
    {"ConsultarUltimaSessaoFiscal", 20, k3, true, kNotReadyText, ReplySession::kAny},
    {"codigo_ativacao"}};

}  // namespace torvex::sat
