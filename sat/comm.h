// The command road that every SAT export runs: find the device's port, write
// the command text, trace it, open the port, send the frame, wait until the
// reader releases the command or the export's limit passes, close the port,
// scan the reply and hand back a text the library owns.
#pragma once
#include <cstddef>
#include <cstdint>

#include "platform.h"
#include "satlimits.h"
#include "satlink.h"
#include "satstate.h"
#include "text.h"

namespace torvex::sat {

// The reply patterns: skip the first field, then take the code and the
// message ("%*[^|]|%[^|]|%[^|]|"), or the code, one further field and the
// message ("%*[^|]|%[^|]|%[^|]|%[^|]|", sale and cancellation).
enum class ReplyPattern { kThreeFields, kFourFields };

// What varies from one export to the next, beside its command text: one
// row per export (catalogue.h).
struct CommandRow {
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

// What became of one exchange with the device.
enum class Exchanged {
  kPortNotReady,  // the known port would not open: nothing was sent
  kNoReply,       // no good reply within the limit (time-out, lost line,
                  // bad checksum, unknown frame): the status says which
  kReply,         // a reply came (code 0), in ReplyText
};

// Opens the known port, sends the payload (count bytes: the text in
// CommandText, or a binary command block), waits for the reply (from a
// session that accept allows) up to the limit and closes the port.
Exchanged Exchange(const std::uint8_t *payload, std::size_t count, bool binary, int limitSeconds,
                   ReplySession accept);

// The failures of a command, each setting the status (code and text) in one
// place and returning the text the caller gets:
//  - the port is not ready: text in ResultText, code 1, "Erro ao abrir <port>";
const char *NotReady(const char *text);
//  - a local refusal (the command or the sale is too large, compression
//    failed): code 1 with the message, which is returned;
const char *Refuse(const char *message);
//  - the command text does not fit a frame: a refusal saying so;
const char *RefuseTooLong();
//  - no good reply: the failure text in StatusMessage (time-out, checksum,
//    unknown frame), also recorded in LastRx when the row asks.
const char *NoReply(bool lastRxOnFailure);

// "Erro ao abrir <name>": the status text of a port that would not open.
void SetCannotOpen(const char *portName);

// The rest of the road once CommandText holds the command: trace, exchange,
// scan the reply. Returns the text for the caller.
const char *SendCommand(const CommandRow &row, std::size_t length);

// Runs the command road: probe, then compose writes the command text into
// CommandText (through the TextWriter it is given), then SendCommand.
template <typename Compose>
const char *CommandRoad(const CommandRow &row, Compose &&compose) {
  if (!ProbePort()) return NotReady(row.probeFailText ? row.probeFailText : kNotReadyText);
  TextWriter text(CommandText, sizeof CommandText, kMaxPayload);
  compose(text);
  if (!text.Fits()) return RefuseTooLong();
  return SendCommand(row, text.Length());
}

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
