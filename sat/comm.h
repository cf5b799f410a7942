// The command road that every SAT export runs: find the device's port, write
// the command text, trace it, open the port, send the frame, wait until the
// reader releases the command or the export's limit passes, close the port,
// scan the reply and hand back a text the library owns.
#pragma once
#include <cstdarg>
#include <cstddef>
#include <cstdint>

#include "platform.h"
#include "satlink.h"

namespace torvex::sat {

// The reply patterns: skip the first field, then take the code and the
// message ("%*[^|]|%[^|]|%[^|]|"), or the code, one further field and the
// message ("%*[^|]|%[^|]|%[^|]|%[^|]|", sale and cancellation).
enum class ReplyPattern { kThreeFields, kFourFields };

// What varies from one export to the next: one row per export.
struct CommandRow {
  const char *format;   // command text, starting with "%06ld|"
  const char *logName;  // name in the trace line
  int waitSeconds;      // limit in whole seconds of the calendar clock
  ReplyPattern pattern;
  bool lastRxOnFailure;       // write LastRxText with the failure text
  const char *probeFailText;  // returned when the probe finds no port
  // The sessions whose reply it accepts: its own, except for the two
  // commands that ask for another session's reply.
  ReplySession accept = ReplySession::kSent;
};

// The compression library, loaded on first need by the probe.
extern void *ZlibModule;
// Loads it if it is not loaded yet; true when it is loaded.
bool EnsureZlib();

// True when a port is known to answer. Tries COM1..COM29 until one answers
// a ConsultarSAT frame within a second; afterwards only loads zlib.
bool ProbePort();

// Waits until StatusCode is 0, the line is lost or the calendar clock
// reaches deadlineMs; sleeps meanwhile.
void WaitForReplyUntil(std::int64_t deadlineMs);

// Whole seconds of the calendar clock.
std::int64_t CalendarSeconds();

// Opens the known port, sends the command in CommandText (or, when block is
// not null, the count bytes of a binary command block), waits for the reply
// (from a session that accept allows) up to the limit and closes the port.
// False when the port would not open.
bool Exchange(const std::uint8_t *block, std::size_t count, int limitSeconds, ReplySession accept);

// After an exchange: null when a reply came (code 0); otherwise the failure
// text in StatusMessage, also recorded in LastRx when asked.
const char *FailedExchange(bool lastRxOnFailure);

// Runs the command road for the text that the format of row and the
// arguments give. Returns the text for the caller.
const char *CommandRoad(const CommandRow &row, ...);
const char *CommandRoadV(const CommandRow &row, std::va_list args);

// The not-ready result: text in ResultText, code 1, "Erro ao abrir <port>".
const char *NotReady(const char *text);

// A local refusal (the command or the sale is too large): code 1 with the
// given message, which is returned.
const char *Refuse(const char *message);

// Scans ReplyText with the export's pattern and sets MessageField and the
// status message. Returns the text for the caller: ReplyText when enough
// fields came out, else MessageField with the "fora de conformidade" text.
const char *FinishReply(ReplyPattern pattern);

// Scans text with a pattern (for tests). code, extra and message receive the
// fields, each cut to its capacity. Returns the number of fields taken, as
// sscanf would: a field must hold at least one character to count.
int ScanReply(const char *text, ReplyPattern pattern, char *code, std::size_t codeCap,
              char *message, std::size_t messageCap);

inline constexpr char kZlibMissingText[] = "TORVEX.dll necessita zlib.dll";
inline constexpr char kNonConformingText[] =
    "Mensagem recebida do equipamento fora de conformidade. Erro desconhecido.";

}  // namespace torvex::sat
