// The command line of satcli, parsed against the command table.
//
//   satcli [GLOBAL OPTIONS] COMMAND [OPTIONS]
//
// Global options may stand before or after the command. Every option takes
// its value as the next argument or after "=" (--codigo=X). A text option
// whose value starts with "@" reads the text from that file ("@-" reads
// standard input); "@@" stands for a literal leading "@".
#pragma once

#include "command_table.h"

#include <functional>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace satcli {

struct GlobalOptions {
  std::optional<std::string> logPath;   // --log FILE: ArquivoLog(FILE) first
  std::optional<std::string> savePath;  // --save FILE: the returned text, raw
  bool quiet = false;                   // --quiet: only the returned text
  bool shortTexts = false;              // --short: long texts abbreviated
  int retries = 0;                      // --retry N: again while the port is not ready
};

struct Invocation {
  const CommandRow *command = nullptr;
  std::optional<std::int32_t> session;  // --sessao N; otherwise GeraNumeroSessao
  Call call;                            // session filled in later
  GlobalOptions options;
};

struct HelpRequest {
  const CommandRow *command = nullptr;  // nullptr: the general help
};

struct UsageError {
  std::string message;
};

using ParseResult = std::variant<Invocation, HelpRequest, UsageError>;

// Reads the whole of a file (or standard input for "-") as bytes. Returns
// nullopt and sets error when it cannot be read.
using FileReader =
    std::function<std::optional<std::string>(const std::string &path, std::string &error)>;

[[nodiscard]] std::optional<std::string> readWholeFile(const std::string &path, std::string &error);

// Parses argv[1..]; the reader resolves @FILE values (default: readWholeFile).
[[nodiscard]] ParseResult parseArguments(const std::vector<std::string> &args,
                                         const FileReader &reader = readWholeFile);

// A strict 32-bit signed integer: optional sign, decimal digits, nothing else.
[[nodiscard]] std::optional<std::int32_t> parseInt32(std::string_view text);

}  // namespace satcli
