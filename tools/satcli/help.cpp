#include "help.h"

namespace satcli {

namespace {

std::string placeholder(ParamKind kind) {
  switch (kind) {
    case ParamKind::Integer:
      return "N";
    case ParamKind::Text:
      return "TEXT";
    case ParamKind::Path:
      return "FILE";
  }
  return "VALUE";
}

std::string waitText(const CommandRow &command) {
  if (command.waitLimitSeconds <= 0) return {};
  return "waits at most " + std::to_string(command.waitLimitSeconds) + " s";
}

}  // namespace

std::string usageLine(const CommandRow &command) {
  std::string line = "satcli " + std::string(command.name);
  if (command.group == Group::Sat) line += " [--sessao N]";
  for (const auto &param : command.params) {
    std::string item = "--" + std::string(param.option) + " " + placeholder(param.kind);
    line += param.defaultValue.empty() ? " " + item : " [" + item + "]";
  }
  return line;
}

std::string generalHelp() {
  std::string text =
      "satcli - calls the SAT-CF-e functions of the torvex library from the command line\n"
      "\n"
      "Usage: satcli [--log FILE] [--quiet] [--short] [--save FILE] [--retry N] COMMAND [OPTIONS]\n"
      "       satcli --help | satcli COMMAND --help\n"
      "\n"
      "Global options (before or after the command):\n"
      "  --log FILE    switch the library's trace log on (ArquivoLog) before the call\n"
      "  --quiet       print only the returned text (bytes unchanged)\n"
      "  --short       abbreviate texts longer than 300 bytes in the report\n"
      "  --save FILE   also write the returned text, bytes unchanged, to FILE\n"
      "  --retry N     call again, up to N times, while the library reports code 1\n"
      "                (port not ready: the command was not sent)\n"
      "\n"
      "Values: --opt VALUE or --opt=VALUE. A TEXT value @FILE is read from FILE\n"
      "(@- from standard input), bytes unchanged; @@... gives a text starting with @.\n"
      "--sessao N sets the session number of a SAT command; without it satcli draws\n"
      "one with GeraNumeroSessao.\n"
      "\n"
      "Output: the returned text, the status from CodigoErro (code and message), then\n"
      "LastTx and LastRx; control bytes are shown as \\xNN. Exit status: 0 when\n"
      "CodigoErro reports code 0, 1 otherwise, 2 for a usage error.\n"
      "\n"
      "The library finds the device on COM1..COM29; on Linux COMn is /dev/ttyACM<n-1>,\n"
      "or $TORVEX_PORT_DIR/COMn when TORVEX_PORT_DIR names a directory.\n";

  for (const Group group : {Group::Sat, Group::Control}) {
    text += group == Group::Sat ? "\nSAT commands:\n" : "\nLibrary control functions:\n";
    for (const auto &command : commandTable()) {
      if (command.group != group) continue;
      text += "  " + usageLine(command) + "\n";
      std::string about = "      " + std::string(command.summary);
      const std::string wait = waitText(command);
      if (!wait.empty()) about += " (" + wait + ")";
      text += about + "\n";
    }
  }
  text +=
      "\nExample:\n"
      "  satcli --log sat.log AtivarSAT --sub 1 --codigo 12345678 --cnpj 16716114000172 --uf 35\n"
      "  satcli EnviarDadosVenda --codigo 12345678 --dados @venda.xml\n";
  return text;
}

std::string commandHelp(const CommandRow &command) {
  std::string text = "Usage: " + usageLine(command) + "\n\n" + std::string(command.summary) + "\n";
  const std::string wait = waitText(command);
  if (!wait.empty()) text += "The library " + wait + " for the device's reply.\n";
  if (command.group == Group::Sat || !command.params.empty()) text += "\nOptions:\n";
  auto column = [](std::string option) {
    option = "  " + option;
    if (option.size() < 22)
      option.resize(22, ' ');
    else
      option += "  ";
    return option;
  };
  if (command.group == Group::Sat)
    text += column("--sessao N") + "session number (default: drawn with GeraNumeroSessao)\n";
  for (const auto &param : command.params) {
    std::string line = column("--" + std::string(param.option) + " " + placeholder(param.kind)) +
                       std::string(param.meaning);
    if (param.kind == ParamKind::Text) line += "; @FILE reads it from FILE";
    if (!param.defaultValue.empty()) line += " (default " + std::string(param.defaultValue) + ")";
    text += line + "\n";
  }
  text +=
      "\nGlobal options: --log FILE, --quiet, --short, --save FILE, --retry N (see satcli "
      "--help).\n";
  return text;
}

}  // namespace satcli
