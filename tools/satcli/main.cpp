// satcli: calls one export of the torvex library and shows what came back.
#include "arguments.h"
#include "help.h"
#include "output.h"

#include <torvex.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#endif

namespace {

constexpr int kUsageExit = 2;

satcli::Status readStatus() {
  std::array<unsigned char, satcli::kStatusRecordSize> record{};
  CodigoErro(reinterpret_cast<char *>(record.data()));
  return satcli::decodeStatus(record);
}

std::string textOrEmpty(const char *text) {
  return text != nullptr ? std::string(text) : std::string();
}

bool saveText(const std::string &path, const satcli::Outcome &outcome) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) return false;
  if (outcome.kind == satcli::Outcome::Kind::Text)
    out.write(outcome.text.data(), static_cast<std::streamsize>(outcome.text.size()));
  else if (outcome.kind == satcli::Outcome::Kind::Number)
    out << outcome.number;
  return static_cast<bool>(out.flush());
}

}  // namespace

int main(int argc, char **argv) {
#if defined(_WIN32)
  // Texts are bytes: no line-ending translation on the way out.
  _setmode(_fileno(stdout), _O_BINARY);
#endif
  std::vector<std::string> args(argv + 1, argv + argc);
  const satcli::ParseResult parsed = satcli::parseArguments(args);

  if (const auto *help = std::get_if<satcli::HelpRequest>(&parsed)) {
    const std::string text =
        help->command != nullptr ? satcli::commandHelp(*help->command) : satcli::generalHelp();
    std::fwrite(text.data(), 1, text.size(), stdout);
    return 0;
  }
  if (const auto *error = std::get_if<satcli::UsageError>(&parsed)) {
    std::fprintf(stderr, "satcli: %s\n", error->message.c_str());
    return kUsageExit;
  }

  satcli::Invocation inv = std::get<satcli::Invocation>(parsed);
  if (inv.options.logPath) ArquivoLog(inv.options.logPath->c_str());

  if (inv.command->group == satcli::Group::Sat) {
    if (!inv.session) inv.session = GeraNumeroSessao();
    inv.call.session = *inv.session;
  }

  satcli::Report report;
  report.command = inv.command;
  report.session = inv.session;
  report.shortTexts = inv.options.shortTexts;
  report.outcome = inv.command->invoke(inv.call);
  report.status = readStatus();
  // Code 1 means the command went nowhere (no port answered the search,
  // the port would not open, or the library refused it), so asking again
  // cannot make the device act twice.
  for (int attempt = 1; attempt <= inv.options.retries && report.status.code == 1; ++attempt) {
    std::fprintf(stderr, "satcli: %s; trying again (%d of %d)\n", report.status.message.c_str(),
                 attempt, inv.options.retries);
    report.outcome = inv.command->invoke(inv.call);
    report.status = readStatus();
  }
  report.lastTx = textOrEmpty(LastTx());
  report.lastRx = textOrEmpty(LastRx());

  if (inv.options.quiet)
    satcli::printQuiet(stdout, report.outcome);
  else
    satcli::printReport(stdout, report);
  std::fflush(stdout);

  if (inv.options.savePath && !saveText(*inv.options.savePath, report.outcome)) {
    std::fprintf(stderr, "satcli: cannot write %s\n", inv.options.savePath->c_str());
    return 1;
  }
  return satcli::exitStatusFor(report.status);
}
