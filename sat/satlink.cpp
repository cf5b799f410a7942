#include "satlink.h"

#include <cstring>

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

bool Send(const std::uint8_t *bytes, std::size_t count, const char *logName) {
  if (count > kMaxPayload) return false;

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
  std::size_t shown = strnlen(reinterpret_cast<const char *>(bytes), count);
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
  // A frame that cannot be written shows as a time-out to the waiting
  // command.
  PortWrite(FrameBuffer, FrameLength);
  return true;
}

}  // namespace

void RecordLastRx(const char *text) {
  Timestamp ts = MakeTimestamp();
  std::size_t n = CopyText(LastRxText, sizeof LastRxText, ts.text);
  n += CopyText(LastRxText + n, sizeof LastRxText - n, "=");
  CopyText(LastRxText + n, sizeof LastRxText - n, text);
}

bool EnviaComando(const char *text) {
  text = OrEmpty(text);
  std::size_t length = strnlen(text, kMaxPayload + 1);
  return Send(reinterpret_cast<const std::uint8_t *>(text), length, "EnviaComando");
}

bool EnviaComandoBinario(const std::uint8_t *bytes, std::size_t count) {
  if (bytes == nullptr) count = 0;
  static const std::uint8_t kNothing[1] = {0};
  return Send(bytes ? bytes : kNothing, count, "EnviaComandoBinario");
}

void RxThread(const std::uint8_t *bytes, std::size_t count) {
  TraceFile trace;
  if (trace.IsOpen()) {
    Timestamp ts = MakeTimestamp();
    trace.Printf("S@T:%s %s RXDATA:\n%20s", ts.text, "RxThread", "");
  }

  int result = ParseFrame(bytes, count, ReceivedFrame);

  // The reply ends where this frame's payload ends, even when an earlier,
  // longer frame of the same command left bytes in the buffer.
  std::size_t length = ReceivedFrame.replyLength;
  std::memcpy(ReplyText, ReceivedFrame.replyPayload, length);
  ReplyText[length] = '\0';
  ReplyLength = length;

  RecordLastRx(ReplyText);

  if (trace.IsOpen()) {
    Timestamp ts = MakeTimestamp();
    trace.Printf("@@@@@S@T:%s %s RXDATA:\n%s\n", ts.text, "RxThread", ReplyText);
    trace.HexDump(ReceivedFrame.replyPayload, length);
    trace.Close();
  }

  switch (result) {
    case kFrameData:
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

}  // namespace torvex::sat
