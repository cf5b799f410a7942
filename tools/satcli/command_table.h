// The commands of satcli: one row per export of the library.
//
// Each row names the export, says what its arguments are (in the order the
// export takes them, after the session number for the SAT commands) and
// holds a small caller that passes the parsed values to the export. Parsing,
// help and output are driven by these rows alone.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace satcli {

enum class ParamKind {
  Integer,  // a 32-bit signed integer
  Text,     // a text: given literally, or read from a file with @FILE
  Path,     // a file name, always taken literally
};

struct ParamRow {
  std::string_view option;  // without the leading "--"
  ParamKind kind;
  std::string_view meaning;       // one line, for the help text
  std::string_view defaultValue;  // empty: the option is required
};

using ArgValue = std::variant<std::int32_t, std::string>;

// The values handed to a row's caller.
struct Call {
  std::int32_t session = 0;    // SAT commands only
  std::vector<ArgValue> args;  // one per ParamRow of the row, same order

  [[nodiscard]] std::int32_t integer(std::size_t index) const;
  [[nodiscard]] const char *text(std::size_t index) const;
};

// What an export gave back. The text is copied out of the library's buffer
// at once, since the next call may overwrite it.
struct Outcome {
  enum class Kind { None, Text, Number } kind = Kind::None;
  std::string text;
  std::int64_t number = 0;
};

enum class Group {
  Sat,      // a SAT command: takes a session number, returns the reply text
  Control,  // a control function of the library
};

struct CommandRow {
  std::string_view name;  // the export's name
  Group group;
  std::string_view summary;  // one line, for the help text
  int waitLimitSeconds;      // the export's fixed wait limit (0: none)
  std::vector<ParamRow> params;
  Outcome (*invoke)(const Call &);
};

// All rows, SAT commands first, in the order the help lists them.
[[nodiscard]] std::span<const CommandRow> commandTable();

// The row whose name matches (exactly, or else ignoring case); nullptr if none.
[[nodiscard]] const CommandRow *findCommand(std::string_view name);

}  // namespace satcli
