// What the web console reads out of the device's reply texts: the
// operating status as named fields, the device's log lines, and the code
// and message of any reply. Pure code (no sockets, no library).
#pragma once
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

namespace hub {

// The reply's fields split at '|'.
std::vector<std::string> SplitReply(const std::string &retorno);

// The reply's code ("06000") and message. Replies with a CCCC field
// ("S|06010|1999|message|...") give the message after it. Empty code when
// the text has no five-digit second field.
struct ReplySummary {
  std::string code;
  std::string message;
  bool error = false;  // code missing or its outcome is not 000 (nor 04006)
};
ReplySummary Summarize(const std::string &retorno);

// ConsultarStatusOperacional's reply as named fields ("nserie",
// "estado_operacao", ...) with formatted dates ("dd/mm/aaaa hh:mm:ss"),
// the certificate's days left counted from the device's own clock, and
// warnings in pt-BR ("avisos"). {"ok": false, ...} when the reply is not a
// success with all 28 fields.
nlohmann::json StatusJson(const std::string &retorno);

// Days from one yyyymmdd date to another (negative when `to` is earlier);
// false when either is not a valid date.
bool DaysBetween(std::string_view from, std::string_view to, long &days);

// Standard base64 (padding optional, whitespace skipped); false on any
// other byte.
bool Base64Decode(std::string_view in, std::string &out);

// ExtrairLogs's reply: the log (base64 in the sixth field) as lines
// (CR/LF removed). False when the reply carries no decodable log.
bool DecodeLogs(const std::string &retorno, std::vector<std::string> &lines);

// Compares a secret in full whatever the first difference (the tills'
// tokens and the console's passwords).
bool SecretEquals(std::string_view given, std::string_view want);

}  // namespace hub
