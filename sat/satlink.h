// Sending a command frame and receiving the device's reply.
//
// The device answers a command with a data frame whose payload starts with
// the session number the command was sent with. A reply that carries
// another session number is not this command's reply (typically the late
// reply of an earlier command that timed out): the reception handler
// discards it, notes it in the trace log, and the command keeps waiting for
// its own reply until its limit.
#pragma once
#include <cstddef>
#include <cstdint>

#include "frame.h"

namespace torvex::sat {

// Which session numbers a command accepts in its reply's first field.
enum class ReplySession {
  kSent,             // only the one it was sent with
  kSentOrConsulted,  // also the number in the command's last field (the
                     // session it asks about)
  kAny,              // any: the command asks for another session's reply
};

// How a command goes out.
struct SendOptions {
  ReplySession accept = ReplySession::kSent;
  // Writing the frame gives up after this long: a device that stopped
  // reading must not hold the caller past the command's limit.
  std::int64_t writeLimitMs = 1000;
};

enum class SendOutcome {
  kTooLong,     // longer than a frame can carry: nothing sent, status unchanged
  kSent,        // written whole
  kNotWritten,  // built but not (wholly) written: the command cannot get a reply
};

// Opens the port for one command, with RxThread as its reception handler
// and the line taken to be alive. False when the port would not open.
// Throws when the reader cannot be created (see PortOpen).
bool OpenLine(const char *portName);

// Sends a NUL-terminated command text (the payload is the text without its
// NUL). Presets the waiting state (StatusCode 32768 with the time-out text)
// before the frame is written, records LastTxText and the trace lines.
SendOutcome EnviaComando(const char *text, const SendOptions &options = {});
// The same for a command block of count bytes that may hold NUL bytes.
SendOutcome EnviaComandoBinario(const std::uint8_t *bytes, std::size_t count,
                                const SendOptions &options = {});

// The reception handler: runs on the reader thread for the bytes collected.
// Handles every frame in them in turn: a data frame of this command stores
// its payload in ReplyText (NUL-terminated right after the payload),
// records LastRxText and stores StatusCode 0, which completes the command
// (whatever follows is ignored); a bad checksum stores 3 and an unknown
// frame 4 (the command keeps waiting); control frames leave the status as
// it is; a data frame of another session is discarded. A frame whose rest
// has not arrived is left for the next burst (returned count smaller than
// count); meanwhile its payload so far counts as a damaged reply (code 3).
// Returns the number of bytes dealt with.
std::size_t RxThread(const std::uint8_t *bytes, std::size_t count);

// Runs on the reader thread when the line is gone: notes it in the trace
// log and releases the waiting command, whose status stays the time-out.
void LineLost();

// Writes LastRxText as "<time stamp>=<text>" (text cut to fit).
void RecordLastRx(const char *text);

// The session number at the start of a text ("000042|..." gives 42): an
// optional minus sign and 1 to 18 digits, ended by "|" or the end. False
// when the text does not start so.
bool LeadingSession(const std::uint8_t *text, std::size_t count, long long *session);

// The two frame records and the frame buffer (for tests).
extern FrameRecord OutgoingFrame;
extern FrameRecord ReceivedFrame;
extern std::uint8_t FrameBuffer[kBufSize];
extern std::size_t FrameLength;  // bytes of the last frame built

}  // namespace torvex::sat
