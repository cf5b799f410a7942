// The SAT commands: one row per export, all driving the one command road;
// the sale's row adds its own compose and after-reply steps
// (command_sale.h).
//
// Each command's text is the session number ("%06ld"), the command name and
// the command's fields, each after a "|". A row's type lists its fields, so
// the compiler checks every export's arguments against its row: a wrong
// type or count does not compile.
#pragma once
#include "command_road.h"
#include "command_sale.h"
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
  // A command whose payload is more than its text (the sale) composes it
  // itself; the others are sent as "%06ld|<name>" and their fields.
  Composed (*compose)(CommandState &state, Destination to, const char *name, int session,
                      typename Fields::Type... values) = nullptr;
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
      [&](Destination to) {
        if (command.compose != nullptr)
          return command.compose(state, to, command.name, session, values...);
        return ComposeText(
            state, [&](TextWriter &text) { PutCommandText(text, command, session, values...); });
      },
      [&](RemoteForm &form) {
        std::size_t i = 0;
        (Fields::Form(form, command.formNames[i++], values), ...);
      });
}

namespace catalogue_detail {
constexpr auto k3 = ReplyPattern::kThreeFields;
constexpr auto k4 = ReplyPattern::kFourFields;
constexpr auto kOwn = ReplySession::kSent;
constexpr auto kFailureInLastRx = LastRxOnFailure::kFailureText;
constexpr auto kLastRxUnchanged = LastRxOnFailure::kUnchanged;
}  // namespace catalogue_detail

using namespace catalogue_detail;

// Each row: the command name sent; then, for the road, the log name, the
// limit in whole seconds, the reply pattern, what LastRx shows on a failure,
// the not-ready text and the sessions whose replies it accepts; the fields'
// names in a remote call.
inline const Command<> kConsultarSAT{
    .name = "ConsultarSAT",
    .row = {.logName = "ConsultarSAT",
            .waitSeconds = 2,
            .pattern = k3,
            .lastRx = kFailureInLastRx,
            .probeFailText = kNotReadyText,
            .accept = kOwn},
    .formNames = {},
};
inline const Command<Int, Text, Text, TwoDigits> kAtivarSAT{
    .name = "AtivarSAT",
    .row = {.logName = "AtivarSAT",
            .waitSeconds = 300,
            .pattern = k3,
            .lastRx = kFailureInLastRx,
            .probeFailText = kNotReadyText,
            .accept = kOwn},
    .formNames = {"tipo_certificado", "codigo_ativacao", "cnpj", "codigo_uf"},
};
inline const Command<Text, Text> kComunicarCertificadoICPBRASIL{
    .name = "ComunicarCertificadoICPBRASIL",
    .row = {.logName = "ComunicarCertificadoICPBRASIL",
            .waitSeconds = 300,
            .pattern = k3,
            .lastRx = kFailureInLastRx,
            .probeFailText = kNotReadyText,
            .accept = kOwn},
    .formNames = {"codigo_ativacao", "certificado"},
};
inline const Command<Text, Text> kEnviarDadosVenda{
    .name = "EnviarDadosVenda",
    .row = {.logName = "EnviarDadosVenda",
            .waitSeconds = 8,
            .pattern = k4,
            .lastRx = kFailureInLastRx,
            .probeFailText = kNotReadyText,
            .accept = kOwn,
            .afterReply = AfterSaleReply},
    .formNames = {"codigo_ativacao", "dados_venda"},
    .compose = ComposeSale,
};
inline const Command<Text, Text, Text> kCancelarUltimaVenda{
    .name = "CancelarUltimaVenda",
    .row = {.logName = "CancelarUltimaVenda",
            .waitSeconds = 4,
            .pattern = k4,
            .lastRx = kFailureInLastRx,
            .probeFailText = kNotReadyText,
            .accept = kOwn},
    .formNames = {"codigo_ativacao", "chave_cfe", "dados_cancelamento"},
};
inline const Command<Text, Text> kTesteFimAFim{
    .name = "TesteFimAFim",
    .row = {.logName = "TesteFimAFim",
            .waitSeconds = 20,
            .pattern = k3,
            .lastRx = kFailureInLastRx,
            .probeFailText = kNotReadyText,
            .accept = kOwn},
    .formNames = {"codigo_ativacao", "dados_venda"},
};
inline const Command<Text> kConsultarStatusOperacional{
    .name = "ConsultarStatusOperacional",
    .row = {.logName = "ConsultarStatusOperacional",
            .waitSeconds = 3,
            .pattern = k3,
            .lastRx = kFailureInLastRx,
            .probeFailText = kNotReadyText,
            .accept = kOwn},
    .formNames = {"codigo_ativacao"},
};
inline const Command<Text, Int> kConsultarNumeroSessao{
    .name = "ConsultarNumeroSessao",
    .row = {.logName = "ConsultarNumeroSessao",
            .waitSeconds = 20,
            .pattern = k3,
            .lastRx = kFailureInLastRx,
            .probeFailText = kNotReadyText,
            .accept = ReplySession::kSentOrConsulted},
    .formNames = {"codigo_ativacao", "numero_sessao_consultada"},
};
inline const Command<Text, Text> kConfigurarInterfaceDeRede{
    .name = "ConfigurarInterfaceDeRede",
    .row = {.logName = "ConfigurarInterfaceDeRede",
            .waitSeconds = 20,
            .pattern = k3,
            .lastRx = kFailureInLastRx,
            .probeFailText = kNotReadyText,
            .accept = kOwn},
    .formNames = {"codigo_ativacao", "configuracao"},
};
inline const Command<Text, Text, Text> kAssociarAssinatura{
    .name = "AssociarAssinatura",
    .row = {.logName = "AssociarAssinatura",
            .waitSeconds = 10,
            .pattern = k3,
            .lastRx = kFailureInLastRx,
            .probeFailText = kNotReadyTextBang,
            .accept = kOwn},
    .formNames = {"codigo_ativacao", "sequencia_cnpj", "assinatura_ac"},
};
inline const Command<Text> kAtualizarSoftwareSAT{
    .name = "AtualizarSoftwareSAT",
    .row = {.logName = "AtualizarSoftwareSAT",
            .waitSeconds = 1800,
            .pattern = k3,
            .lastRx = kFailureInLastRx,
            .probeFailText = kNotReadyText,
            .accept = kOwn},
    .formNames = {"codigo_ativacao"},
};
inline const Command<Text> kExtrairLogs{
    .name = "ExtrairLogs",
    .row = {.logName = "ExtrairLogs",
            .waitSeconds = 20,
            .pattern = k3,
            .lastRx = kFailureInLastRx,
            .probeFailText = kNotReadyText,
            .accept = kOwn},
    .formNames = {"codigo_ativacao"},
};
inline const Command<Text> kBloquearSAT{
    .name = "BloquearSAT",
    .row = {.logName = "BloquearSAT",
            .waitSeconds = 300,
            .pattern = k3,
            .lastRx = kLastRxUnchanged,
            .probeFailText = kNotReadyText,
            .accept = kOwn},
    .formNames = {"codigo_ativacao"},
};
inline const Command<Text> kDesbloquearSAT{
    .name = "DesbloquearSAT",
    .row = {.logName = "DesbloquearSAT",
            .waitSeconds = 20,
            .pattern = k3,
            .lastRx = kLastRxUnchanged,
            .probeFailText = kNotReadyText,
            .accept = kOwn},
    .formNames = {"codigo_ativacao"},
};
inline const Command<Text, Int, Text, Text> kTrocarCodigoDeAtivacao{
    .name = "TrocarCodigoDeAtivacaoSAT",
    .row = {.logName = "TrocarCodigoDeAtivacao",
            .waitSeconds = 10,
            .pattern = k3,
            .lastRx = kLastRxUnchanged,
            .probeFailText = kNotReadyText,
            .accept = kOwn},
    .formNames = {"codigo_ativacao", "opcao", "novo_codigo_ativacao", "confirmacao_codigo"},
};
inline const Command<Text, Int, Text, Text> kArocarCodigoDeAtivacaoSAT{
    .name = "TrocarCodigoDeAtivacaoSAT",
    .row = {.logName = "ArocarCodigoDeAtivacaoSAT",
            .waitSeconds = 20,
            .pattern = k3,
            .lastRx = kLastRxUnchanged,
            .probeFailText = kNotReadyText,
            .accept = kOwn},
    .formNames = {"codigo_ativacao", "opcao", "novo_codigo_ativacao", "confirmacao_codigo"},
};
inline const Command<Text, Text> kAesteFimAFim{
    .name = "TesteFimAFim",
    .row = {.logName = "AesteFimAFim",
            .waitSeconds = 20,
            .pattern = k3,
            .lastRx = kLastRxUnchanged,
            .probeFailText = kNotReadyText,
            .accept = kOwn},
    .formNames = {"codigo_ativacao", "dados_venda"},
};
inline const Command<Text> kConsultarUltimaSessaoFiscal{
    .name = "ConsultarUltimaSessaoFiscal",
    .row = {.logName = "ConsultarUltimaSessaoFiscal",
            .waitSeconds = 20,
            .pattern = k3,
            .lastRx = kFailureInLastRx,
            .probeFailText = kNotReadyText,
            .accept = ReplySession::kAny},
    .formNames = {"codigo_ativacao"},
};

// Calls visit(command) for every row above, in the order of torvex.h: the
// list that satcli's table and the reference pages are checked against
// (tests/sat/catalogue_sources_test.cpp).
template <typename Visit>
void ForEachCommand(Visit &&visit) {
  visit(kConsultarSAT);
  visit(kAtivarSAT);
  visit(kComunicarCertificadoICPBRASIL);
  visit(kEnviarDadosVenda);
  visit(kCancelarUltimaVenda);
  visit(kTesteFimAFim);
  visit(kConsultarStatusOperacional);
  visit(kConsultarNumeroSessao);
  visit(kConfigurarInterfaceDeRede);
  visit(kAssociarAssinatura);
  visit(kAtualizarSoftwareSAT);
  visit(kExtrairLogs);
  visit(kBloquearSAT);
  visit(kDesbloquearSAT);
  visit(kTrocarCodigoDeAtivacao);
  visit(kArocarCodigoDeAtivacaoSAT);
  visit(kAesteFimAFim);
  visit(kConsultarUltimaSessaoFiscal);
}

}  // namespace torvex::sat
