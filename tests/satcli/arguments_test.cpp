// The command table and the argument parser of satcli.
#include "arguments.h"
#include "help.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>

namespace satcli {
namespace {

ParseResult parse(std::vector<std::string> args) {
  // Files come from this map instead of the disk; a missing name fails.
  static const std::map<std::string, std::string> files = {
      {"venda.xml", "<CFe><infCFe versaoDadosEnt=\"0.07\"/></CFe>\n"},
      {"com-nul.xml", std::string("<CFe>\0</CFe>", 12)},
      {"vazio.txt", ""},
  };
  return parseArguments(
      args, [](const std::string &path, std::string &error) -> std::optional<std::string> {
        const auto found = files.find(path);
        if (found == files.end()) {
          error = "cannot open " + path;
          return std::nullopt;
        }
        return found->second;
      });
}

Invocation invocation(const ParseResult &result) {
  if (const auto *error = std::get_if<UsageError>(&result))
    ADD_FAILURE() << "usage error: " << error->message;
  const auto *inv = std::get_if<Invocation>(&result);
  return inv != nullptr ? *inv : Invocation{};
}

std::string usageError(const ParseResult &result) {
  const auto *error = std::get_if<UsageError>(&result);
  return error != nullptr ? error->message : std::string("<no usage error>");
}

TEST(CommandTable, HasOneRowPerExportAndNoOther) {
  const std::set<std::string> exports = {
      "ConsultarSAT", "AtivarSAT", "ComunicarCertificadoICPBRASIL", "EnviarDadosVenda",
      "CancelarUltimaVenda", "TesteFimAFim", "ConsultarStatusOperacional", "ConsultarNumeroSessao",
      "ConfigurarInterfaceDeRede", "AssociarAssinatura", "AtualizarSoftwareSAT", "ExtrairLogs",
      "BloquearSAT", "DesbloquearSAT", "TrocarCodigoDeAtivacao", "ArocarCodigoDeAtivacaoSAT",
      "AesteFimAFim", "ConsultarUltimaSessaoFiscal",
      // control functions
      "ConfiguraTimeout", "ArquivoLog", "GeraNumeroSessao", "LastTx", "LastRx", "AbreSerialSAT",
      "CloseSerial", "CodigoErro"};
  std::multiset<std::string> rows;
  int satRows = 0;
  for (const auto &row : commandTable()) {
    rows.emplace(row.name);
    if (row.group == Group::Sat) ++satRows;
    EXPECT_NE(row.invoke, nullptr) << row.name;
  }
  EXPECT_EQ(std::set<std::string>(rows.begin(), rows.end()), exports);
  EXPECT_EQ(rows.size(), exports.size()) << "a name appears twice";
  EXPECT_EQ(satRows, 18);
}

TEST(CommandTable, OptionNamesAreUniqueAndDoNotShadowGlobalOnes) {
  const std::set<std::string> reserved = {"log",   "save",   "quiet", "short",
                                          "retry", "sessao", "help"};
  for (const auto &row : commandTable()) {
    std::set<std::string> seen;
    for (const auto &param : row.params) {
      EXPECT_TRUE(seen.emplace(param.option).second) << row.name << " --" << param.option;
      EXPECT_EQ(reserved.count(std::string(param.option)), 0u) << row.name << " --" << param.option;
    }
  }
}

TEST(Parser, PassesArgumentsInTheExportsOrderWithTheirTypes) {
  const auto result = parse({"AtivarSAT", "--uf", "5", "--cnpj=16716114000172", "--sub", "1",
                             "--codigo", "12345678", "--sessao", "42"});
  const Invocation inv = invocation(result);
  ASSERT_NE(inv.command, nullptr);
  EXPECT_EQ(inv.command->name, "AtivarSAT");
  ASSERT_EQ(inv.session, std::optional<std::int32_t>(42));
  ASSERT_EQ(inv.call.args.size(), 4u);
  EXPECT_EQ(inv.call.integer(0), 1);
  EXPECT_STREQ(inv.call.text(1), "12345678");
  EXPECT_STREQ(inv.call.text(2), "16716114000172");
  EXPECT_EQ(inv.call.integer(3), 5);
}

TEST(Parser, GlobalOptionsGoBeforeOrAfterTheCommand) {
  const Invocation inv = invocation(parse({"--log", "/tmp/sat.log", "ConsultarSAT", "--quiet",
                                           "--save=reply.txt", "--short", "--retry", "2"}));
  EXPECT_EQ(inv.options.logPath, std::optional<std::string>("/tmp/sat.log"));
  EXPECT_EQ(inv.options.savePath, std::optional<std::string>("reply.txt"));
  EXPECT_TRUE(inv.options.quiet);
  EXPECT_TRUE(inv.options.shortTexts);
  EXPECT_EQ(inv.options.retries, 2);
  EXPECT_FALSE(inv.session.has_value()) << "no --sessao: satcli draws one later";
}

TEST(Parser, CommandNamesMatchExactlyOrIgnoringCase) {
  EXPECT_EQ(invocation(parse({"consultarsat"})).command->name, "ConsultarSAT");
  EXPECT_EQ(usageError(parse({"Consultar"})),
            "unknown command 'Consultar'; satcli --help lists the commands");
}

TEST(Parser, TextValuesComeLiterallyOrFromFiles) {
  const Invocation inv = invocation(parse(
      {"CancelarUltimaVenda", "--codigo", "@@abc", "--chave", "CFe123", "--dados", "@venda.xml"}));
  ASSERT_EQ(inv.call.args.size(), 3u);
  EXPECT_STREQ(inv.call.text(0), "@abc");
  EXPECT_STREQ(inv.call.text(1), "CFe123");
  EXPECT_STREQ(inv.call.text(2), "<CFe><infCFe versaoDadosEnt=\"0.07\"/></CFe>\n")
      << "file bytes are passed unchanged, final line feed included";

  const Invocation empty =
      invocation(parse({"EnviarDadosVenda", "--codigo", "", "--dados", "@vazio.txt"}));
  EXPECT_STREQ(empty.call.text(0), "");
  EXPECT_STREQ(empty.call.text(1), "");
}

TEST(Parser, PathsAreNeverReadAsFiles) {
  const Invocation inv = invocation(parse({"ArquivoLog", "--arquivo", "@venda.xml"}));
  EXPECT_STREQ(inv.call.text(0), "@venda.xml");
}

TEST(Parser, RefusesFilesItCannotPassWhole) {
  EXPECT_EQ(usageError(parse({"EnviarDadosVenda", "--codigo", "x", "--dados", "@missing.xml"})),
            "--dados: cannot open missing.xml");
  const std::string nul =
      usageError(parse({"EnviarDadosVenda", "--codigo", "x", "--dados", "@com-nul.xml"}));
  EXPECT_NE(nul.find("com-nul.xml holds a NUL byte"), std::string::npos) << nul;
}

TEST(Parser, IntegersAreStrict32BitValues) {
  EXPECT_EQ(parseInt32("0"), 0);
  EXPECT_EQ(parseInt32("-5"), -5);
  EXPECT_EQ(parseInt32("+7"), 7);
  EXPECT_EQ(parseInt32("2147483647"), 2147483647);
  EXPECT_EQ(parseInt32("-2147483648"), std::numeric_limits<std::int32_t>::min());
  for (const char *bad : {"", "+", "-", "2147483648", "12a", " 1", "1 ", "0x10", "1.5", "+-1"})
    EXPECT_FALSE(parseInt32(bad).has_value()) << "'" << bad << "'";

  EXPECT_EQ(usageError(parse({"ConsultarSAT", "--sessao", "99999999999"})),
            "--sessao needs a 32-bit integer, got '99999999999'");
  EXPECT_EQ(usageError(parse({"ConsultarNumeroSessao", "--codigo", "x", "--numero", "abc"})),
            "--numero needs a 32-bit integer, got 'abc'");
}

TEST(Parser, DefaultsFillOptionalArguments) {
  const Invocation inv = invocation(parse({"AbreSerialSAT", "--porta", "3", "--bits", "7"}));
  ASSERT_EQ(inv.call.args.size(), 5u);
  EXPECT_EQ(inv.call.integer(0), 3);
  EXPECT_EQ(inv.call.integer(1), 115200);
  EXPECT_EQ(inv.call.integer(2), 7);
  EXPECT_EQ(inv.call.integer(3), 0);
  EXPECT_EQ(inv.call.integer(4), 1);
}

TEST(Parser, ReportsMistakesAsUsageErrors) {
  EXPECT_EQ(usageError(parse({})), "no command given; satcli --help lists the commands");
  EXPECT_EQ(usageError(parse({"AtivarSAT", "--codigo", "x"})),
            "AtivarSAT needs --sub --cnpj --uf; see satcli AtivarSAT --help");
  EXPECT_EQ(usageError(parse({"ConsultarSAT", "--codigo", "x"})),
            "unknown option --codigo for ConsultarSAT; see satcli ConsultarSAT --help");
  EXPECT_EQ(usageError(parse({"--codigo", "x", "ConsultarSAT"})),
            "unknown option --codigo (options of a command follow its name)");
  EXPECT_EQ(usageError(parse({"ExtrairLogs", "--codigo", "a", "--codigo", "b"})),
            "--codigo given twice");
  EXPECT_EQ(usageError(parse({"ExtrairLogs", "--codigo"})), "option --codigo needs a value");
  EXPECT_EQ(usageError(parse({"ExtrairLogs", "--codigo", "a", "extra"})),
            "unexpected argument 'extra' (every value follows its option)");
  EXPECT_EQ(usageError(parse({"GeraNumeroSessao", "--sessao", "1"})),
            "GeraNumeroSessao takes no session number");
  EXPECT_EQ(usageError(parse({"ConsultarSAT", "--quiet=yes"})), "--quiet takes no value");
  EXPECT_EQ(usageError(parse({"ConsultarSAT", "-x"})), "unknown option -x");
  EXPECT_EQ(usageError(parse({"--retry", "-1", "ConsultarSAT"})),
            "--retry needs a number from 0 to 10, got '-1'");
  EXPECT_EQ(usageError(parse({"--retry=1", "ConsultarSAT", "--retry=1"})), "--retry given twice");
}

TEST(Parser, HelpWinsOverEverythingElse) {
  const auto general = parse({"--help"});
  ASSERT_TRUE(std::holds_alternative<HelpRequest>(general));
  EXPECT_EQ(std::get<HelpRequest>(general).command, nullptr);

  const auto one = parse({"AtivarSAT", "--bogus", "-h"});
  ASSERT_TRUE(std::holds_alternative<HelpRequest>(one));
  ASSERT_NE(std::get<HelpRequest>(one).command, nullptr);
  EXPECT_EQ(std::get<HelpRequest>(one).command->name, "AtivarSAT");
}

TEST(Help, ListsEveryCommandWithItsArguments) {
  const std::string help = generalHelp();
  for (const auto &row : commandTable()) {
    EXPECT_NE(help.find(usageLine(row)), std::string::npos) << row.name;
    const std::string own = commandHelp(row);
    for (const auto &param : row.params)
      EXPECT_NE(own.find("--" + std::string(param.option)), std::string::npos)
          << row.name << " --" << param.option;
  }
  EXPECT_EQ(usageLine(*findCommand("AbreSerialSAT")),
            "satcli AbreSerialSAT --porta N [--baud N] [--bits N] [--paridade N] [--stopbits N]");
  EXPECT_EQ(usageLine(*findCommand("ConsultarNumeroSessao")),
            "satcli ConsultarNumeroSessao [--sessao N] --codigo TEXT --numero N");
}

}  // namespace
}  // namespace satcli
