#include "command_table.h"

#include <torvex.h>

#include <algorithm>
#include <cctype>

namespace satcli {

std::int32_t Call::integer(std::size_t index) const {
  return std::get<std::int32_t>(args.at(index));
}

const char *Call::text(std::size_t index) const {
  return std::get<std::string>(args.at(index)).c_str();
}

namespace {

Outcome textOf(const char *text) {
  Outcome out;
  out.kind = Outcome::Kind::Text;
  if (text != nullptr) out.text = text;
  return out;
}

Outcome numberOf(std::int64_t value) {
  Outcome out;
  out.kind = Outcome::Kind::Number;
  out.number = value;
  return out;
}

// Parameters shared by many rows.
constexpr ParamRow kCodigo{"codigo", ParamKind::Text, "activation code of the device", ""};

std::vector<CommandRow> buildTable() {
  using K = ParamKind;
  return {
      {"ConsultarSAT",
       Group::Sat,
       "Asks whether the device is working.",
       2,
       {},
       [](const Call &c) { return textOf(ConsultarSAT(c.session)); }},
      {"AtivarSAT",
       Group::Sat,
       "Activates the device.",
       300,
       {{"sub", K::Integer,
         "sub-command (1: SEFAZ certificate, 2: ICP-Brasil certificate, 3: renewal)", ""},
        kCodigo,
        {"cnpj", K::Text, "CNPJ of the taxpayer (14 digits)", ""},
        {"uf", K::Integer, "state code (cUF), sent with two digits", ""}},
       [](const Call &c) {
         return textOf(AtivarSAT(c.session, c.integer(0), c.text(1), c.text(2), c.integer(3)));
       }},
      {"ComunicarCertificadoICPBRASIL",
       Group::Sat,
       "Sends the ICP-Brasil certificate.",
       300,
       {kCodigo, {"certificado", K::Text, "the certificate (base64 text)", ""}},
       [](const Call &c) {
         return textOf(ComunicarCertificadoICPBRASIL(c.session, c.text(0), c.text(1)));
       }},
      {"EnviarDadosVenda",
       Group::Sat,
       "Sends a sale (CF-e XML); the data travel compressed.",
       8,
       {kCodigo, {"dados", K::Text, "sale data (CF-e XML)", ""}},
       [](const Call &c) { return textOf(EnviarDadosVenda(c.session, c.text(0), c.text(1))); }},
      {"CancelarUltimaVenda",
       Group::Sat,
       "Cancels the last sale.",
       4,
       {kCodigo,
        {"chave", K::Text, "access key of the sale (\"CFe\" + 44 digits)", ""},
        {"dados", K::Text, "cancellation data (CF-e XML)", ""}},
       [](const Call &c) {
         return textOf(CancelarUltimaVenda(c.session, c.text(0), c.text(1), c.text(2)));
       }},
      {"TesteFimAFim",
       Group::Sat,
       "Runs an end-to-end test sale.",
       20,
       {kCodigo, {"dados", K::Text, "sale data (CF-e XML)", ""}},
       [](const Call &c) { return textOf(TesteFimAFim(c.session, c.text(0), c.text(1))); }},
      {"ConsultarStatusOperacional",
       Group::Sat,
       "Reads the device's operating status.",
       3,
       {kCodigo},
       [](const Call &c) { return textOf(ConsultarStatusOperacional(c.session, c.text(0))); }},
      {"ConsultarNumeroSessao",
       Group::Sat,
       "Reads the reply of an earlier session.",
       20,
       {kCodigo, {"numero", K::Integer, "session number to look up", ""}},
       [](const Call &c) {
         return textOf(ConsultarNumeroSessao(c.session, c.text(0), c.integer(1)));
       }},
      {"ConfigurarInterfaceDeRede",
       Group::Sat,
       "Configures the device's network interface.",
       20,
       {kCodigo, {"dados", K::Text, "network configuration (XML)", ""}},
       [](const Call &c) {
         return textOf(ConfigurarInterfaceDeRede(c.session, c.text(0), c.text(1)));
       }},
      {"AssociarAssinatura",
       Group::Sat,
       "Links the POS software's signature to the device.",
       10,
       {kCodigo,
        {"cnpj", K::Text, "CNPJ of the software house followed by the taxpayer's (28 digits)", ""},
        {"assinatura", K::Text, "signature of the two CNPJ (base64 text)", ""}},
       [](const Call &c) {
         return textOf(AssociarAssinatura(c.session, c.text(0), c.text(1), c.text(2)));
       }},
      {"AtualizarSoftwareSAT",
       Group::Sat,
       "Updates the device's firmware.",
       1800,
       {kCodigo},
       [](const Call &c) { return textOf(AtualizarSoftwareSAT(c.session, c.text(0))); }},
      {"ExtrairLogs",
       Group::Sat,
       "Reads the device's log (base64 text).",
       20,
       {kCodigo},
       [](const Call &c) { return textOf(ExtrairLogs(c.session, c.text(0))); }},
      {"BloquearSAT",
       Group::Sat,
       "Blocks the device.",
       300,
       {kCodigo},
       [](const Call &c) { return textOf(BloquearSAT(c.session, c.text(0))); }},
      {"DesbloquearSAT",
       Group::Sat,
       "Unblocks the device.",
       20,
       {kCodigo},
       [](const Call &c) { return textOf(DesbloquearSAT(c.session, c.text(0))); }},
      {"TrocarCodigoDeAtivacao",
       Group::Sat,
       "Changes the activation code.",
       10,
       {kCodigo,
        {"opcao", K::Integer, "1: --codigo is the activation code, 2: the emergency code", ""},
        {"novo", K::Text, "new activation code", ""},
        {"confirmacao", K::Text, "the new activation code once more", ""}},
       [](const Call &c) {
         return textOf(
             TrocarCodigoDeAtivacao(c.session, c.text(0), c.integer(1), c.text(2), c.text(3)));
       }},
      {"ArocarCodigoDeAtivacaoSAT",
       Group::Sat,
       "Same command as TrocarCodigoDeAtivacao, under its older export name.",
       20,
       {kCodigo,
        {"opcao", K::Integer, "1: --codigo is the activation code, 2: the emergency code", ""},
        {"novo", K::Text, "new activation code", ""},
        {"confirmacao", K::Text, "the new activation code once more", ""}},
       [](const Call &c) {
         return textOf(
             ArocarCodigoDeAtivacaoSAT(c.session, c.text(0), c.integer(1), c.text(2), c.text(3)));
       }},
      {"AesteFimAFim",
       Group::Sat,
       "Same command as TesteFimAFim, under its older export name.",
       20,
       {kCodigo, {"dados", K::Text, "sale data (CF-e XML)", ""}},
       [](const Call &c) { return textOf(AesteFimAFim(c.session, c.text(0), c.text(1))); }},
      {"ConsultarUltimaSessaoFiscal",
       Group::Sat,
       "Reads the reply of the last sale or cancellation.",
       20,
       {kCodigo},
       [](const Call &c) { return textOf(ConsultarUltimaSessaoFiscal(c.session, c.text(0))); }},

      {"GeraNumeroSessao",
       Group::Control,
       "Draws a new session number.",
       0,
       {},
       [](const Call &) { return numberOf(GeraNumeroSessao()); }},
      {"AbreSerialSAT",
       Group::Control,
       "Tests COM<porta>: opens and closes it (always at 115200 8N1).",
       0,
       {{"porta", K::Integer, "port number n of COMn", ""},
        {"baud", K::Integer, "baud rate (only written to the trace log)", "115200"},
        {"bits", K::Integer, "data bits (only written to the trace log)", "8"},
        {"paridade", K::Integer, "parity (only written to the trace log)", "0"},
        {"stopbits", K::Integer, "stop bits (only written to the trace log)", "1"}},
       [](const Call &c) {
         return numberOf(
             AbreSerialSAT(c.integer(0), c.integer(1), c.integer(2), c.integer(3), c.integer(4)));
       }},
      {"ConfiguraTimeout",
       Group::Control,
       "Writes a time-out value to the trace log (the wait limits stay fixed).",
       0,
       {{"timeout", K::Integer, "time-out value", ""}},
       [](const Call &c) {
         ConfiguraTimeout(c.integer(0));
         return Outcome{};
       }},
      {"ArquivoLog",
       Group::Control,
       "Switches the trace log on (same as --log).",
       0,
       {{"arquivo", K::Path, "path of the trace log file", ""}},
       [](const Call &c) {
         ArquivoLog(c.text(0));
         return Outcome{};
       }},
      {"CloseSerial",
       Group::Control,
       "Does nothing (the port closes after every command).",
       0,
       {},
       [](const Call &) {
         CloseSerial();
         return Outcome{};
       }},
      {"CodigoErro",
       Group::Control,
       "Shows the status record (code and message).",
       0,
       {},
       [](const Call &) { return Outcome{}; }},
      {"LastTx",
       Group::Control,
       "Shows the last command text sent (empty in a new process).",
       0,
       {},
       [](const Call &) { return textOf(LastTx()); }},
      {"LastRx",
       Group::Control,
       "Shows the last reply received (empty in a new process).",
       0,
       {},
       [](const Call &) { return textOf(LastRx()); }},
  };
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

}  // namespace

std::span<const CommandRow> commandTable() {
  static const std::vector<CommandRow> table = buildTable();
  return table;
}

const CommandRow *findCommand(std::string_view name) {
  const auto table = commandTable();
  for (const auto &row : table)
    if (row.name == name) return &row;
  for (const auto &row : table)
    if (equalsIgnoringCase(row.name, name)) return &row;
  return nullptr;
}

}  // namespace satcli
