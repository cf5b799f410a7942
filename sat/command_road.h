// The command road that every SAT export runs, the sale included: find the
// device's port, compose the command, trace it, open the port, send the
// frame, wait until the reader releases the command or the export's limit
// passes, close the port, take the row's step after a reply (the sale's
// expansion), scan the reply and hand back a text the library owns.
//
// CommandRoad works on the whole command state; each of its steps takes
// the parts it reads and writes.
#pragma once
#include <cstddef>
#include <cstdint>

#include "command_state.h"
#include "frame_exchange.h"
#include "platform.h"
#include "remote_call.h"
#include "satlimits.h"
#include "session.h"
#include "status.h"
#include "text.h"

namespace torvex::sat {

// The reply patterns: skip the first field, then take the code and the
// message ("%*[^|]|%[^|]|%[^|]|"), or the code, one further field and the
// message ("%*[^|]|%[^|]|%[^|]|%[^|]|", sale and cancellation).
enum class ReplyPattern { kThreeFields, kFourFields };

// What LastRx shows when no good reply came.
enum class LastRxOnFailure {
  kFailureText,  // the time stamp, "=" and the failure text
  kUnchanged,    // as the send left it: the time stamp and "="
};

// What varies from one export to the next, beside its command text: one
// row per export (command_catalogue.h).
struct CommandRow {
  const char *logName;  // name in the trace line
  int waitSeconds;      // limit in whole seconds of the calendar clock
  ReplyPattern pattern;
  LastRxOnFailure lastRx;
  const char *probeFailText;  // returned when the probe finds no port
  // The sessions whose reply it accepts: its own, except for the two
  // commands that ask for another session's reply.
  ReplySession accept = ReplySession::kSent;
  // A step between the reply's arrival and its scan (the sale expands the
  // reply's compressed tail); none for the other commands.
  void (*afterReply)(CommandState &state) = nullptr;
};

// Where a composed command goes: to the device (the frame's payload), or,
// in remote mode, only to LastTx and the trace log (the hub takes the
// export's fields and composes the command itself).
enum class Destination { kDevice, kHub };

// What a compose step leaves in state.CommandText for the road.
struct Composed {
  // Set when the command is refused before anything is sent: the text the
  // caller gets (the status already says why).
  const char *refusal = nullptr;
  std::size_t length = 0;  // bytes of the payload
  bool binary = false;     // the payload holds NUL bytes (the sale's block)
};

// Loads the compression library into zlibModule if it is not loaded yet;
// true when it is loaded.
bool EnsureZlib(void *&zlibModule);

// True when a port is known to answer. Loads zlib if needed (code 1 and
// "TORVEX.dll necessita zlib.dll" in status when it cannot). Until a port
// has answered once, tries COM1..COM29 on line, each with a ConsultarSAT
// frame of a new session number and a second to answer; the first that
// answers becomes port.PortName, and port.PortFound is set.
bool ProbePort(FrameExchange &line, KnownPort &port, SessionNumbers &sessions, void *&zlibModule,
               StatusRecordType &status);

// Waits until the command is settled (signal) or the calendar clock reaches
// deadlineMs; sleeps meanwhile.
void WaitForReplyUntil(ReplySignal &signal, std::int64_t deadlineMs);

// Whole seconds of the calendar clock.
std::int64_t CalendarSeconds();

// What became of one exchange with the device.
enum class Exchanged {
  kPortNotReady,  // the port would not open: nothing was sent
  kNoReply,       // no good reply within the limit (time-out, lost line,
                  // bad checksum, unknown frame): the status says which
  kReply,         // a reply came (code 0), in the reply buffer
};

// One command's exchange on line: opens portName, sends the payload (count
// bytes: a command text, or with binary a command block that may hold NUL
// bytes), waits for the reply (from a session that accept allows) up to the
// limit, closes the port. The reply, LastTx, LastRx and the status are
// written by the line (frame_exchange.h).
Exchanged Exchange(FrameExchange &line, const char *portName, const std::uint8_t *payload,
                   std::size_t count, bool binary, int limitSeconds, ReplySession accept);

// The failures of a command, each setting the status (code and text) in one
// place and returning the text the caller gets:
//  - the port is not ready: text in resultText, code 1, "Erro ao abrir <port>";
const char *NotReady(const char *text, const char *portName, TextBuffer &resultText,
                     StatusRecordType &status);
//  - a local refusal (the command or the sale is too large, compression
//    failed): code 1 with the message, which is returned;
const char *Refuse(StatusRecordType &status, const char *message);
//  - the command text does not fit a frame: a refusal saying so;
const char *RefuseTooLong(StatusRecordType &status);
//  - no good reply: the failure text in the status (time-out, checksum,
//    unknown frame), also recorded in lastRx when the row asks.
const char *NoReply(StatusRecordType &status, LastRxOnFailure lastRxOnFailure, TextBuffer &lastRx);

// "Erro ao abrir <name>" with code 1: the status of a port that would not open.
void SetCannotOpen(StatusRecordType &status, const char *portName);

// The rest of the road once state.CommandText holds the composed payload:
// trace, exchange, the row's step after a reply, scan the reply. Returns the
// text for the caller.
const char *SendCommand(CommandState &state, const CommandRow &row, const Composed &payload);

// Runs the command road. compose(destination) writes the command into
// state.CommandText and says what it wrote or why it refused (Composed). In
// remote mode the command is composed for LastTx and the trace only,
// formFields writes the export's fields into a RemoteForm and the hub takes
// the call (RemoteCall); otherwise the port is probed (before the command is
// composed) and SendCommand runs the exchange.
template <typename Compose, typename FormFields>
const char *CommandRoad(CommandState &state, const CommandRow &row, int session, Compose &&compose,
                        FormFields &&formFields) {
  if (RemoteEnabled(state)) {
    Composed shown = compose(Destination::kHub);
    if (shown.refusal != nullptr) return shown.refusal;
    RemoteForm form;
    formFields(form);
    return RemoteCall(state, row, session, form);
  }
  if (!ProbePort(state.Line, state.Port, state.Sessions, state.ZlibModule, state.StatusRecord))
    return NotReady(row.probeFailText ? row.probeFailText : kNotReadyText, state.Port.PortName,
                    state.ResultText, state.StatusRecord);
  Composed payload = compose(Destination::kDevice);
  if (payload.refusal != nullptr) return payload.refusal;
  return SendCommand(state, row, payload);
}

// Writes a command's text into state.CommandText through put (a TextWriter
// bounded to one frame's payload): the command as the road sends it, or the
// refusal when it does not fit.
template <typename Put>
Composed ComposeText(CommandState &state, Put &&put) {
  TextWriter text(state.CommandText, sizeof state.CommandText, kMaxPayload);
  put(text);
  if (!text.Fits()) return {.refusal = RefuseTooLong(state.StatusRecord)};
  return {.length = text.Length()};
}

// Scans replyText with the pattern; writes its message field into
// messageField and "Codigo: <code>.\n<message>" into the status message.
// Returns the text for the caller: replyText when enough fields came out,
// else messageField with the "fora de conformidade" text (status untouched).
const char *FinishReply(ReplyPattern pattern, const TextBuffer &replyText, TextBuffer &messageField,
                        StatusRecordType &status);

// Scans text with a pattern. code and message receive their fields, each cut
// to its capacity (the four-field pattern's third field is skipped). Returns
// the number of fields taken, the skipped one included, as sscanf would: a
// field must hold at least one character to count.
int ScanReply(const char *text, ReplyPattern pattern, char *code, std::size_t codeCap,
              char *message, std::size_t messageCap);

inline constexpr char kZlibMissingText[] = "TORVEX.dll necessita zlib.dll";
inline constexpr char kNonConformingText[] =
    "Mensagem recebida do equipamento fora de conformidade. Erro desconhecido.";

}  // namespace torvex::sat
