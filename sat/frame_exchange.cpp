#include "frame_exchange.h"

#include <cstring>

#include "text.h"
#include "timestamp.h"

namespace torvex::sat {

const char kTimeoutText[] = "Timeout na comunica\xc3\xa7\xc3\xa3o com o equipamento.";

namespace {

const char kChecksumText[] = "Erro de checksum na comunica\xc3\xa7\xc3\xa3o com o equipamento.\n";
const char kUnknownText[] = "Comando recebido do equipamento n\xc3\xa3o reconhecido.\n";

// The name of the reception handler in the trace log.
const char kReceptionLogName[] = "RxThread";

// The number in the last "|"-separated field of a command text.
bool LastFieldSession(const std::uint8_t *text, std::size_t count, long long *session) {
  std::size_t start = count;
  while (start > 0 && text[start - 1] != '|') --start;
  return start > 0 && LeadingSession(text + start, count - start, session);
}

}  // namespace

FrameExchange::FrameExchange(SerialPortType &port, const ExchangeParts &parts)
    : port_(port), parts_(parts) {}

bool FrameExchange::OpenLine(const char *portName) {
  parts_.signal.Rearm();
  return port_.PortOpen(portName, kBaudRate, *this);
}

void FrameExchange::CloseLine() { port_.PortClose(); }

// True when a payload is not a reply to this command: its first field names
// a session the command does not accept, or is no session number at all.
// The first field of an unfinished frame may still be on its way.
bool FrameExchange::Foreign(const std::uint8_t *payload, std::size_t length, bool complete) const {
  long long session = 0;
  bool firstFieldDone = complete || std::memchr(payload, '|', length) != nullptr || length > 19;
  if (!LeadingSession(payload, length, &session)) return firstFieldDone;
  if (!firstFieldDone) return false;
  switch (wanted_.accept) {
    case ReplySession::kAny:
      return false;
    case ReplySession::kSentOrConsulted:
      if (wanted_.consultedKnown && session == wanted_.consulted) return false;
      break;
    case ReplySession::kSent:
      break;
  }
  return wanted_.sentKnown && session != wanted_.sent;
}

SendOutcome FrameExchange::Send(const std::uint8_t *bytes, std::size_t count, const char *logName,
                                const SendOptions &options) {
  if (count > kMaxPayload) return SendOutcome::kTooLong;
  StatusRecordType &status = parts_.status;
  TextBuffer &lastTx = parts_.lastTx;
  {
    Locked lock(reception_);  // a late reply may be being handled right now
    wanted_ = WantedReply{};
    wanted_.accept = options.accept;
    std::size_t textPart = strnlen(reinterpret_cast<const char *>(bytes), count);
    wanted_.sentKnown = LeadingSession(bytes, textPart, &wanted_.sent);
    wanted_.consultedKnown = LastFieldSession(bytes, textPart, &wanted_.consulted);

    parts_.replyText[0] = '\0';
    parts_.replyLength = 0;
    SetStatusMessage(status, "");
    // Nothing received yet: LastRx shows an empty reply, stamped with the
    // time of the send. A reply, or a failure, replaces it.
    RecordLastRx(parts_.lastRx, "");

    TraceFile trace(parts_.trace);
    Timestamp ts = MakeTimestamp();
    // LastTx shows the command as text: a binary block up to its first NUL.
    std::size_t n = CopyText(lastTx, sizeof lastTx, ts.text);
    n += CopyText(lastTx + n, sizeof lastTx - n, "=");
    std::size_t shown = textPart;
    if (shown > sizeof lastTx - 1 - n) shown = sizeof lastTx - 1 - n;
    std::memcpy(lastTx + n, bytes, shown);
    lastTx[n + shown] = '\0';

    outgoing_.Clear();
    outgoing_.type = 0x01;
    outgoing_.sequence = static_cast<std::uint8_t>(sequence_);
    outgoing_.commandLength = static_cast<std::uint32_t>(count);
    if (outgoing_.commandPayload != bytes) std::memmove(outgoing_.commandPayload, bytes, count);
    ++sequence_;

    SetStatus(status, kStatusWaiting, kTimeoutText);
    frameLength_ = BuildFrame(outgoing_, frame_, sizeof frame_);

    if (trace.IsOpen()) {
      trace.Printf("S@T:%s %s TXDATA:\n", ts.text, logName);
      trace.HexDump(frame_, frameLength_);
    }
  }  // the reply may come while the frame is still being written

  if (port_.PortWrite(frame_, frameLength_, options.writeLimitMs)) return SendOutcome::kSent;
  // The status stays the time-out: a frame that was not written gets no
  // reply.
  TraceFile failed(parts_.trace);
  if (failed.IsOpen()) {
    Timestamp now = MakeTimestamp();
    failed.Printf("S@T:%s %s Comando nao foi escrito na porta\n", now.text, logName);
  }
  return SendOutcome::kNotWritten;
}

// Handles one frame of a burst (its first count bytes, of which extent
// belong to it; 0 when it is unfinished).
void FrameExchange::HandleFrame(const std::uint8_t *bytes, std::size_t count, std::size_t extent) {
  TraceFile trace(parts_.trace);
  if (trace.IsOpen()) {
    Timestamp ts = MakeTimestamp();
    trace.Printf("S@T:%s %s RXDATA:\n%20s", ts.text, kReceptionLogName, "");
  }

  int result = ParseFrame(bytes, extent != 0 ? extent : count, received_);
  const std::uint8_t *payload = received_.replyPayload;
  std::size_t length = received_.replyLength;
  bool data = result == kFrameData || result == kFrameBadChecksum;

  if (data && Foreign(payload, length, extent != 0)) {
    if (trace.IsOpen()) {
      Timestamp ts = MakeTimestamp();
      trace.Printf("@@@@@S@T:%s %s RXDATA:\n%.*s\n", ts.text, kReceptionLogName,
                   static_cast<int>(strnlen(reinterpret_cast<const char *>(payload), length)),
                   reinterpret_cast<const char *>(payload));
      trace.HexDump(payload, length);
      trace.Printf("S@T:%s %s Resposta de outra sessao descartada\n", ts.text, kReceptionLogName);
    }
    return;
  }

  // The reply ends where this frame's payload ends, even when an earlier,
  // longer frame of the same command left bytes in the buffer.
  TextBuffer &reply = parts_.replyText;
  std::memcpy(reply, payload, length);
  reply[length] = '\0';
  parts_.replyLength = length;

  RecordLastRx(parts_.lastRx, reply);

  if (trace.IsOpen()) {
    Timestamp ts = MakeTimestamp();
    trace.Printf("@@@@@S@T:%s %s RXDATA:\n%s\n", ts.text, kReceptionLogName, reply);
    trace.HexDump(payload, length);
    trace.Close();
  }

  switch (result) {
    case kFrameData:
      wanted_.settled = true;
      SetStatus(parts_.status, kStatusOk, "");
      break;
    case kFrameBadChecksum:
      SetStatus(parts_.status, kStatusChecksum, kChecksumText);
      break;
    case kFrameUnknown:
      SetStatus(parts_.status, kStatusUnknown, kUnknownText);
      break;
    default:
      return;  // ACK and the other control frames leave the command waiting
  }
  parts_.signal.Notify();
}

bool LeadingSession(const std::uint8_t *text, std::size_t count, long long *session) {
  std::size_t i = 0;
  bool negative = count > 0 && text[0] == '-';
  if (negative) ++i;
  long long value = 0;
  std::size_t digits = 0;
  for (; i < count && text[i] >= '0' && text[i] <= '9'; ++i) {
    if (++digits > 18) return false;
    value = value * 10 + (text[i] - '0');
  }
  if (digits == 0 || (i < count && text[i] != '|')) return false;
  *session = negative ? -value : value;
  return true;
}

void RecordLastRx(TextBuffer &lastRx, const char *text) {
  Timestamp ts = MakeTimestamp();
  std::size_t n = CopyText(lastRx, sizeof lastRx, ts.text);
  n += CopyText(lastRx + n, sizeof lastRx - n, "=");
  CopyText(lastRx + n, sizeof lastRx - n, text);
}

SendOutcome FrameExchange::EnviaComando(const char *text, const SendOptions &options) {
  text = OrEmpty(text);
  std::size_t length = strnlen(text, kMaxPayload + 1);
  return Send(reinterpret_cast<const std::uint8_t *>(text), length, "EnviaComando", options);
}

SendOutcome FrameExchange::EnviaComandoBinario(const std::uint8_t *bytes, std::size_t count,
                                               const SendOptions &options) {
  if (bytes == nullptr) count = 0;
  static const std::uint8_t kNothing[1] = {0};
  return Send(bytes ? bytes : kNothing, count, "EnviaComandoBinario", options);
}

std::size_t FrameExchange::Received(const std::uint8_t *bytes, std::size_t count) {
  Locked lock(reception_);
  std::size_t used = 0;
  while (used < count && !wanted_.settled) {
    const std::uint8_t *frame = bytes + used;
    std::size_t left = count - used;
    std::size_t extent = FrameExtent(frame, left);
    HandleFrame(frame, left, extent);
    if (extent == 0) return used;  // the rest of this frame is still to come
    used += extent;
  }
  return count;  // once the command has its reply, what follows is not for it
}

void FrameExchange::LineLost() {
  {
    Locked lock(reception_);
    TraceFile trace(parts_.trace);
    if (trace.IsOpen()) {
      Timestamp ts = MakeTimestamp();
      trace.Printf("S@T:%s %s Linha serial perdida\n", ts.text, kReceptionLogName);
    }
  }
  parts_.signal.MarkLineLost();
}

}  // namespace torvex::sat
