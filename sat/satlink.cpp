#include "satlink.h"

#include <cstring>
#include <mutex>

#include "satcomm.h"
#include "satstate.h"
#include "text.h"
#include "timestamp.h"
#include "tracelog.h"

namespace torvex::sat {

FrameRecord OutgoingFrame;
FrameRecord ReceivedFrame;
std::uint8_t FrameBuffer[kBufSize];
std::size_t FrameLength = 0;

namespace {

const char kTimeoutText[] = "Timeout na comunica\xc3\xa7\xc3\xa3o com o equipamento.";
const char kChecksumText[] = "Erro de checksum na comunica\xc3\xa7\xc3\xa3o com o equipamento.\n";
const char kUnknownText[] = "Comando recebido do equipamento n\xc3\xa3o reconhecido.\n";

// What the command in flight accepts as its reply. Reset by each send;
// read and written under g_reception, which the reception handler holds for
// its whole run, so a send never overlaps the handling of a burst (a late
// reply of an earlier command may arrive at any time).
struct WantedReply {
  ReplySession accept = ReplySession::kSent;
  bool sentKnown = false;
  long long sent = 0;
  bool consultedKnown = false;
  long long consulted = 0;
  bool settled = false;  // a reply was accepted: the rest of the line is not for it
};
WantedReply g_wanted;
std::mutex g_reception;

// The number in the last "|"-separated field of a command text.
bool LastFieldSession(const std::uint8_t *text, std::size_t count, long long *session) {
  std::size_t start = count;
  while (start > 0 && text[start - 1] != '|') --start;
  return start > 0 && LeadingSession(text + start, count - start, session);
}

bool Accepts(const WantedReply &w, long long session) {
  switch (w.accept) {
    case ReplySession::kAny:
      return true;
    case ReplySession::kSentOrConsulted:
      if (w.consultedKnown && session == w.consulted) return true;
      break;
    case ReplySession::kSent:
      break;
  }
  return !w.sentKnown || session == w.sent;
}

// True when a payload is not a reply to this command: its first field names
// a session the command does not accept, or is no session number at all.
// The first field of an unfinished frame may still be on its way.
bool Foreign(const std::uint8_t *payload, std::size_t length, bool complete) {
  long long session = 0;
  bool firstFieldDone = complete || std::memchr(payload, '|', length) != nullptr || length > 19;
  if (!LeadingSession(payload, length, &session)) return firstFieldDone;
  return firstFieldDone && !Accepts(g_wanted, session);
}

SendOutcome Send(const std::uint8_t *bytes, std::size_t count, const char *logName,
                 const SendOptions &options) {
  if (count > kMaxPayload) return SendOutcome::kTooLong;

  std::unique_lock<std::mutex> lock(g_reception);
  g_wanted = WantedReply{};
  g_wanted.accept = options.accept;
  std::size_t textPart = strnlen(reinterpret_cast<const char *>(bytes), count);
  g_wanted.sentKnown = LeadingSession(bytes, textPart, &g_wanted.sent);
  g_wanted.consultedKnown = LastFieldSession(bytes, textPart, &g_wanted.consulted);

  ReplyText[0] = '\0';
  ReplyLength = 0;
  MessageField[0] = '\0';
  StatusRecord.StatusMessage[0] = '\0';
  // Nothing received yet: LastRx shows an empty reply, stamped with the
  // time of the send. A reply, or a failure, replaces it.
  RecordLastRx("");

  TraceFile trace;
  Timestamp ts = MakeTimestamp();
  // LastTx shows the command as text: a binary block up to its first NUL.
  std::size_t n = CopyText(LastTxText, sizeof LastTxText, ts.text);
  n += CopyText(LastTxText + n, sizeof LastTxText - n, "=");
  std::size_t shown = textPart;
  if (shown > sizeof LastTxText - 1 - n) shown = sizeof LastTxText - 1 - n;
  std::memcpy(LastTxText + n, bytes, shown);
  LastTxText[n + shown] = '\0';

  OutgoingFrame.Clear();
  OutgoingFrame.type = 0x01;
  OutgoingFrame.sequence = static_cast<std::uint8_t>(FrameSequence);
  OutgoingFrame.commandLength = static_cast<std::uint32_t>(count);
  if (OutgoingFrame.commandPayload != bytes)
    std::memmove(OutgoingFrame.commandPayload, bytes, count);
  ++FrameSequence;

  SetStatus(kStatusWaiting, kTimeoutText);
  FrameLength = BuildFrame(OutgoingFrame, FrameBuffer, sizeof FrameBuffer);

  if (trace.IsOpen()) {
    trace.Printf("S@T:%s %s TXDATA:\n", ts.text, logName);
    trace.HexDump(FrameBuffer, FrameLength);
    trace.Close();
  }
  lock.unlock();  // the reply may come while the frame is still being written

  if (PortWrite(FrameBuffer, FrameLength, options.writeLimitMs)) return SendOutcome::kSent;
  // The status stays the time-out: a frame that was not written gets no
  // reply.
  TraceFile failed;
  if (failed.IsOpen()) {
    Timestamp now = MakeTimestamp();
    failed.Printf("S@T:%s %s Comando nao foi escrito na porta\n", now.text, logName);
  }
  return SendOutcome::kNotWritten;
}

// Handles one frame of a burst (its first count bytes, of which extent
// belong to it; 0 when it is unfinished).
void HandleFrame(const std::uint8_t *bytes, std::size_t count, std::size_t extent) {
  TraceFile trace;
  if (trace.IsOpen()) {
    Timestamp ts = MakeTimestamp();
    trace.Printf("S@T:%s %s RXDATA:\n%20s", ts.text, "RxThread", "");
  }

  int result = ParseFrame(bytes, extent != 0 ? extent : count, ReceivedFrame);
  const std::uint8_t *payload = ReceivedFrame.replyPayload;
  std::size_t length = ReceivedFrame.replyLength;
  bool data = result == kFrameData || result == kFrameBadChecksum;

  if (data && Foreign(payload, length, extent != 0)) {
    if (trace.IsOpen()) {
      Timestamp ts = MakeTimestamp();
      trace.Printf("@@@@@S@T:%s %s RXDATA:\n%.*s\n", ts.text, "RxThread",
                   static_cast<int>(strnlen(reinterpret_cast<const char *>(payload), length)),
                   reinterpret_cast<const char *>(payload));
      trace.HexDump(payload, length);
      trace.Printf("S@T:%s %s Resposta de outra sessao descartada\n", ts.text, "RxThread");
    }
    return;
  }

  // The reply ends where this frame's payload ends, even when an earlier,
  // longer frame of the same command left bytes in the buffer.
  std::memcpy(ReplyText, payload, length);
  ReplyText[length] = '\0';
  ReplyLength = length;

  RecordLastRx(ReplyText);

  if (trace.IsOpen()) {
    Timestamp ts = MakeTimestamp();
    trace.Printf("@@@@@S@T:%s %s RXDATA:\n%s\n", ts.text, "RxThread", ReplyText);
    trace.HexDump(payload, length);
    trace.Close();
  }

  switch (result) {
    case kFrameData:
      g_wanted.settled = true;
      SetStatus(kStatusOk, "");
      break;
    case kFrameBadChecksum:
      SetStatus(kStatusChecksum, kChecksumText);
      break;
    case kFrameUnknown:
      SetStatus(kStatusUnknown, kUnknownText);
      break;
    default:
      return;  // ACK and the other control frames leave the command waiting
  }
  ReplyArrived.Notify();
}

}  // namespace

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

void RecordLastRx(const char *text) {
  Timestamp ts = MakeTimestamp();
  std::size_t n = CopyText(LastRxText, sizeof LastRxText, ts.text);
  n += CopyText(LastRxText + n, sizeof LastRxText - n, "=");
  CopyText(LastRxText + n, sizeof LastRxText - n, text);
}

bool OpenLine(const char *portName) {
  ReplyArrived.ResetLineLost();
  return PortOpen(portName, kBaudRate, RxThread, LineLost);
}

SendOutcome EnviaComando(const char *text, const SendOptions &options) {
  text = OrEmpty(text);
  std::size_t length = strnlen(text, kMaxPayload + 1);
  return Send(reinterpret_cast<const std::uint8_t *>(text), length, "EnviaComando", options);
}

SendOutcome EnviaComandoBinario(const std::uint8_t *bytes, std::size_t count,
                                const SendOptions &options) {
  if (bytes == nullptr) count = 0;
  static const std::uint8_t kNothing[1] = {0};
  return Send(bytes ? bytes : kNothing, count, "EnviaComandoBinario", options);
}

std::size_t RxThread(const std::uint8_t *bytes, std::size_t count) {
  std::lock_guard<std::mutex> lock(g_reception);
  std::size_t used = 0;
  while (used < count && !g_wanted.settled) {
    const std::uint8_t *frame = bytes + used;
    std::size_t left = count - used;
    std::size_t extent = FrameExtent(frame, left);
    HandleFrame(frame, left, extent);
    if (extent == 0) return used;  // the rest of this frame is still to come
    used += extent;
  }
  return count;  // once the command has its reply, what follows is not for it
}

void LineLost() {
  {
    std::lock_guard<std::mutex> lock(g_reception);
    TraceFile trace;
    if (trace.IsOpen()) {
      Timestamp ts = MakeTimestamp();
      trace.Printf("S@T:%s %s Linha serial perdida\n", ts.text, "RxThread");
    }
  }
  ReplyArrived.MarkLineLost();
}

}  // namespace torvex::sat
