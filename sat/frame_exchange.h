// The frame exchange: sending a command frame to the device and receiving
// the device's reply, over the serial port.
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

#include "clock.h"
#include "frame_format.h"
#include "satlimits.h"
#include "serial_port.h"
#include "status.h"
#include "tracelog.h"

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

// The parts of the command state that the exchange writes, for the command
// to read once the port is closed, and the trace settings it reads.
struct ExchangeParts {
  StatusRecordType &status;  // preset by a send, set by the reception handler
  ReplySignal &signal;       // wakes the waiting command
  TextBuffer &replyText;     // the payload of the reply, NUL-terminated
  std::size_t &replyLength;  // its length (it may hold NUL bytes)
  TextBuffer &lastTx;        // "<time stamp>=<command>" of the last frame sent
  TextBuffer &lastRx;        // "<time stamp>=<reply>" of the last reply
  const TraceSettings &trace;
};

// One device line: the serial port, the frames sent on it and the reception
// of what comes back. Holds the two frame records, the frame buffer and the
// sequence counter; writes the parts it was given. Sends run on the
// caller's thread; Received and LineLost on the port's reader thread, which
// may deliver a late reply at any time: the two sides share what the
// command in flight accepts under a lock of their own.
class FrameExchange final : public ReceptionSink {
 public:
  FrameExchange(SerialPortType &port, const ExchangeParts &parts);

  // Opens the port for one command, with this exchange as the reception
  // side and the line taken to be alive. False when the port would not
  // open. Throws when the reader cannot be created (see PortOpen).
  bool OpenLine(const char *portName);
  // Closes the port (joining its reader).
  void CloseLine();
  // The signal the waiting command sleeps on.
  ReplySignal &Signal() { return parts_.signal; }
  // True when a good reply has come (status 0).
  bool Replied() const { return parts_.status.Code() == kStatusOk; }

  // Sends a NUL-terminated command text (the payload is the text without
  // its NUL). Presets the waiting state (status 32768 with the time-out
  // text) before the frame is written, empties the reply, records LastTx
  // and the trace lines.
  SendOutcome EnviaComando(const char *text, const SendOptions &options = {});
  // The same for a command block of count bytes that may hold NUL bytes.
  SendOutcome EnviaComandoBinario(const std::uint8_t *bytes, std::size_t count,
                                  const SendOptions &options = {});

  // The reception handler (named "RxThread" in the trace log): handles
  // every frame in the bytes in turn. A data frame of this command stores
  // its payload in the reply (NUL-terminated right after the payload),
  // records LastRx and stores status 0, which completes the command
  // (whatever follows is ignored); a bad checksum stores 3 and an unknown
  // frame 4 (the command keeps waiting); control frames leave the status as
  // it is; a data frame of another session is discarded. A frame whose rest
  // has not arrived is left for the next burst (returned count smaller than
  // count); meanwhile its payload so far counts as a damaged reply (code 3).
  // Returns the number of bytes dealt with.
  std::size_t Received(const std::uint8_t *bytes, std::size_t count) override;
  // The line is gone: notes it in the trace log and releases the waiting
  // command, whose status stays the time-out.
  void LineLost() override;

  // The last frame built, and the count of frames built so far, whose low
  // byte is the next frame's sequence byte.
  const std::uint8_t *FrameBytes() const { return frame_; }
  std::size_t FrameLength() const { return frameLength_; }
  std::uint32_t FrameSequence() const { return sequence_; }

 private:
  // What the command in flight accepts as its reply.
  struct WantedReply {
    ReplySession accept = ReplySession::kSent;
    bool sentKnown = false;
    long long sent = 0;
    bool consultedKnown = false;
    long long consulted = 0;
    bool settled = false;  // a reply was accepted: the rest of the line is not for it
  };

  SendOutcome Send(const std::uint8_t *bytes, std::size_t count, const char *logName,
                   const SendOptions &options);
  void HandleFrame(const std::uint8_t *bytes, std::size_t count, std::size_t extent);
  bool Foreign(const std::uint8_t *payload, std::size_t length, bool complete) const;

  SerialPortType &port_;
  ExchangeParts parts_;
  Lock reception_;  // held by a send while it resets wanted_, and by the handler
  WantedReply wanted_;
  std::uint32_t sequence_ = 0;
  std::size_t frameLength_ = 0;
  // A little over 4 MiB each (a command's payload and a reply's); left as
  // static storage gives them (zeros), never cleared whole: the lengths say
  // which bytes mean something.
  FrameRecord outgoing_;
  FrameRecord received_;
  std::uint8_t frame_[kBufSize];
};

// Writes "<time stamp>=<text>" into lastRx (text cut to fit).
void RecordLastRx(TextBuffer &lastRx, const char *text);

// The status text of a command that got no reply in time (UTF-8 in both builds).
extern const char kTimeoutText[];

// The session number at the start of a text ("000042|..." gives 42): an
// optional minus sign and 1 to 18 digits, ended by "|" or the end. False
// when the text does not start so.
bool LeadingSession(const std::uint8_t *text, std::size_t count, long long *session);

}  // namespace torvex::sat
