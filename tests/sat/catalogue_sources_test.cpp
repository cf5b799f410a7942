// The library's catalogue of commands (command_catalogue.h) is the one source
// of the 18 commands' wait limits and arguments: satcli's table and the
// reference pages (docs/reference) are checked against it, both ways.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

#include "command_catalogue.h"
#include "command_table.h"

using namespace torvex::sat;

namespace {

enum class Kind { kInteger, kText };

template <typename Field>
constexpr Kind KindOf() {
  return std::is_same_v<Field, Text> ? Kind::kText : Kind::kInteger;
}
// How the command text writes a field (Int, TwoDigits and Text in
// command_catalogue.h), as the reference pages show it.
template <typename Field>
const char *FormatOf() {
  if constexpr (std::is_same_v<Field, Int>) return "%i";
  if constexpr (std::is_same_v<Field, TwoDigits>) return "%02d";
  return "%s";
}

struct Row {
  std::string exportName;  // the export, its log name and reference page
  int waitSeconds;
  std::vector<Kind> kinds;  // the arguments after the session number
  std::string commandText;  // the command text's pattern; empty: composed apart (the sale)
};

template <typename... Fields>
Row Describe(const Command<Fields...> &command) {
  Row row{command.row.logName, command.row.waitSeconds, {KindOf<Fields>()...}, ""};
  if (command.compose == nullptr) {
    row.commandText = std::string("%06ld|") + command.name;
    ((row.commandText += std::string("|") + FormatOf<Fields>()), ...);
  }
  return row;
}

std::map<std::string, Row> Catalogue() {
  std::map<std::string, Row> rows;
  ForEachCommand([&](const auto &command) {
    Row row = Describe(command);
    rows.emplace(row.exportName, row);
  });
  return rows;
}

std::string Kinds(const std::vector<Kind> &kinds) {
  std::string text;
  for (Kind k : kinds) text += k == Kind::kText ? "text " : "integer ";
  return text;
}

const char kFix[] =
    "\ncommand_catalogue.h is the source: make the other place say what its row says.";

TEST(CatalogueSources, SatcliTableHasEveryCommandWithItsLimitAndArguments) {
  std::map<std::string, Row> catalogue = Catalogue();
  ASSERT_EQ(catalogue.size(), 18u);
  std::size_t seen = 0;
  for (const satcli::CommandRow &cli : satcli::commandTable()) {
    if (cli.group != satcli::Group::Sat) continue;
    SCOPED_TRACE(std::string(cli.name));
    auto it = catalogue.find(std::string(cli.name));
    ASSERT_NE(it, catalogue.end()) << "satcli has a command the catalogue lacks" << kFix;
    ++seen;
    EXPECT_EQ(cli.waitLimitSeconds, it->second.waitSeconds)
        << "satcli's wait limit (tools/satcli/command_table.cpp)" << kFix;
    std::vector<Kind> kinds;
    for (const satcli::ParamRow &p : cli.params) {
      EXPECT_NE(p.kind, satcli::ParamKind::Path) << p.option;
      kinds.push_back(p.kind == satcli::ParamKind::Integer ? Kind::kInteger : Kind::kText);
    }
    EXPECT_EQ(Kinds(kinds), Kinds(it->second.kinds))
        << "satcli's arguments (tools/satcli/command_table.cpp)" << kFix;
  }
  EXPECT_EQ(seen, catalogue.size()) << "a command is missing from satcli's table" << kFix;
}

std::string ReadPage(const std::string &name) {
  std::ifstream in(std::string(TORVEX_SOURCE_DIR) + "/docs/reference/" + name + ".md");
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(CatalogueSources, ReferencePagesGiveEachCommandsLimitArgumentsAndText) {
  const std::regex wait(R"(\nWait limit: (\d+) s )");
  const std::regex argument(R"((const char \*|int )\w+)");
  const std::regex commandText("\nCommand text sent[^\\n]*\\n+```\\n([^\\n]*)\\n```");
  for (const auto &[name, row] : Catalogue()) {
    SCOPED_TRACE("docs/reference/" + name + ".md");
    std::string page = ReadPage(name);
    ASSERT_FALSE(page.empty()) << "no reference page";
    std::smatch m;
    ASSERT_TRUE(std::regex_search(page, m, wait)) << "no \"Wait limit: N s\" line";
    EXPECT_EQ(std::stoi(m[1]), row.waitSeconds) << kFix;

    // The synopsis: int numeroSessao, then one argument per field.
    const std::regex synopsis("TORVEX_CALL " + name + R"(\(int numeroSessao([^)]*)\);)");
    ASSERT_TRUE(std::regex_search(page, m, synopsis)) << "no synopsis";
    std::string rest = m[1];
    std::vector<Kind> kinds;
    for (auto a = std::sregex_iterator(rest.begin(), rest.end(), argument);
         a != std::sregex_iterator(); ++a)
      kinds.push_back((*a)[1] == "int " ? Kind::kInteger : Kind::kText);
    EXPECT_EQ(Kinds(kinds), Kinds(row.kinds)) << "the synopsis's arguments" << kFix;

    if (!row.commandText.empty()) {
      ASSERT_TRUE(std::regex_search(page, m, commandText)) << "no \"Command text sent\" block";
      EXPECT_EQ(m[1].str(), row.commandText) << kFix;
    }
  }
}

TEST(CatalogueSources, EveryReferencePageWithAWaitLimitIsACommandOfTheCatalogue) {
  std::map<std::string, Row> catalogue = Catalogue();
  std::size_t commands = 0;
  for (const auto &entry :
       std::filesystem::directory_iterator(std::string(TORVEX_SOURCE_DIR) + "/docs/reference")) {
    std::string name = entry.path().stem().string();
    if (entry.path().extension() != ".md") continue;
    if (ReadPage(name).find("\nWait limit: ") == std::string::npos) continue;
    EXPECT_TRUE(catalogue.count(name)) << name << ".md gives a wait limit" << kFix;
    ++commands;
  }
  EXPECT_EQ(commands, catalogue.size());
}

}  // namespace
