// Fault injection: the device misbehaves on demand, for the next N commands
// or for one command name, chosen on the command line (--fault FAULT) or in a
// control file that is read before every command.
//
//   FAULT := NAME[:ARG[:ARG]][@COMMAND][*COUNT]
//
// COUNT defaults to 1, *0 means forever. A backslash escapes the next
// character (\xNN, \n, \r, \t, \0 and \\ have their C meaning), so texts may
// carry ':', '@', '*' and '|'.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace satemu {

enum class FaultKind {
  NoReply,    // noreply
  Delay,      // delay:MS
  BadSum,     // badsum
  BadType,    // badtype[:BYTE]
  Ack,        // ack
  AckData,    // ackdata[:MS]
  AckGlued,   // ackglued
  Split,      // split[:N[:MS]]
  LongLen,    // longlen[:EXTRA]
  Huge,       // huge
  Garbage,    // garbage[:N]
  Busy,       // busy
  Vanish,     // vanish
  Unplug,     // unplug[:MS]
  Stall,      // stall[:MS]
  Reply,      // reply:TEXT
  SaleReply,  // salereply:TEXT6:TAIL
};

enum class SaleTail { Text, Empty, Corrupt, Bomb };

struct FaultRule {
  FaultKind kind = FaultKind::NoReply;
  std::string body;     // the rule without its *COUNT, as written
  std::string command;  // only this command name; empty: any
  int count = 1;        // uses left; 0 = forever
  int ms = 0;           // delay, ackdata, split, unplug, stall
  int pieces = 0;       // split
  int bytes = 0;        // garbage count, longlen extra
  int type_byte = 0;    // badtype
  std::string text;     // reply text, or the six fields of salereply (unescaped)
  std::string tail;     // salereply tail text (unescaped)
  SaleTail tail_kind = SaleTail::Text;

  bool matches(std::string_view command_name) const;
  // The rule as it should be written back with `uses` left.
  std::string with_count(int uses) const;
};

std::optional<FaultRule> parse_fault(std::string_view rule, std::string &error);

// Resolves backslash escapes.
std::string unescape_text(std::string_view text);

// Replaces every "$S" with the session number.
std::string expand_session(std::string_view text, std::string_view session);

const char *fault_name(FaultKind kind);

// The faults of the command line plus those of the control file.
class FaultPlan {
 public:
  FaultPlan(std::vector<FaultRule> command_line, std::optional<std::filesystem::path> control_file);

  // The fault for a command about to be answered, with one use consumed:
  // the first matching line of the control file, else the first matching
  // command-line rule. Problems (unreadable lines, a failed rewrite) are
  // added to `warnings`.
  std::optional<FaultRule> take(std::string_view command_name, std::vector<std::string> &warnings);

 private:
  std::optional<FaultRule> take_from_file(std::string_view command_name,
                                          std::vector<std::string> &warnings);
  std::vector<FaultRule> command_line_;
  std::optional<std::filesystem::path> control_file_;
};

}  // namespace satemu
