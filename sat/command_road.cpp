#include "command_road.h"

#include <cstdio>
#include <cstring>

#include "clock.h"
#include "platform.h"
#include "text.h"
#include "tracelog.h"

namespace torvex::sat {

bool EnsureZlib(void *&zlibModule) {
  if (zlibModule == nullptr) zlibModule = LoadZlibModule();
  return zlibModule != nullptr;
}

namespace {
constexpr int kProbePorts = 29;
}  // namespace

std::int64_t CalendarSeconds() {
  std::int64_t ms = GetClock().NowMs();
  return ms >= 0 ? ms / 1000 : (ms - 999) / 1000;
}

Exchanged Exchange(FrameExchange &line, const char *portName, const std::uint8_t *payload,
                   std::size_t count, bool binary, int limitSeconds, ReplySession accept) {
  if (!line.OpenLine(portName)) return Exchanged::kPortNotReady;
  // The limit counts whole seconds of the calendar clock from here; writing
  // the frame may take at most what is left of it.
  std::int64_t deadlineMs = (CalendarSeconds() + limitSeconds) * 1000;
  SendOptions options;
  options.accept = accept;
  options.writeLimitMs = deadlineMs - GetClock().NowMs();
  SendOutcome sent = binary ? line.EnviaComandoBinario(payload, count, options)
                            : line.EnviaComando(reinterpret_cast<const char *>(payload), options);
  // A frame that did not go out gets no reply: no point in waiting for one.
  if (sent == SendOutcome::kSent) WaitForReplyUntil(line.Signal(), deadlineMs);
  line.CloseLine();
  return line.Replied() ? Exchanged::kReply : Exchanged::kNoReply;
}

const char *NoReply(StatusRecordType &status, LastRxOnFailure lastRxOnFailure, TextBuffer &lastRx) {
  if (lastRxOnFailure == LastRxOnFailure::kFailureText) RecordLastRx(lastRx, status.StatusMessage);
  return status.StatusMessage;
}

void WaitForReplyUntil(ReplySignal &signal, std::int64_t deadlineMs) {
  Clock &clock = GetClock();
  while (!signal.Settled()) {
    std::int64_t now = clock.NowMs();
    if (now >= deadlineMs) break;  // the whole seconds elapsed reached the limit
    clock.WaitSettled(signal, deadlineMs - now);
  }
}

bool ProbePort(FrameExchange &line, KnownPort &port, SessionNumbers &sessions, void *&zlibModule,
               StatusRecordType &status) {
  char probe[32];
  FormatText(probe, sizeof probe, "%06ld|ConsultarSAT",
             static_cast<long>(NextSessionNumber(sessions)));
  if (!EnsureZlib(zlibModule)) SetStatus(status, kStatusNotReady, kZlibMissingText);
  if (port.PortFound) return true;
  for (int n = 1; n <= kProbePorts; ++n) {
    char name[16];
    FormatText(name, sizeof name, "COM%d", n);
    if (!line.OpenLine(name)) continue;
    // A port gets one second to answer. (Waiting only until the calendar
    // second turns would give a port probed late in a second a few
    // milliseconds, and a healthy device would be reported missing.)
    std::int64_t deadlineMs = GetClock().NowMs() + 1000;
    SendOptions options;
    options.writeLimitMs = 1000;
    if (line.EnviaComando(probe, options) == SendOutcome::kSent)
      WaitForReplyUntil(line.Signal(), deadlineMs);
    line.CloseLine();
    if (line.Replied()) {
      CopyText(port.PortName, sizeof port.PortName, name);
      port.PortFound = true;
      return true;
    }
  }
  return false;
}

void SetCannotOpen(StatusRecordType &status, const char *portName) {
  char message[kStatusMessageSize];
  FormatText(message, sizeof message, "Erro ao abrir %s", portName);
  SetStatus(status, kStatusNotReady, message);
}

const char *NotReady(const char *text, const char *portName, TextBuffer &resultText,
                     StatusRecordType &status) {
  CopyText(resultText, sizeof resultText, text);
  SetCannotOpen(status, portName);
  return resultText;
}

const char *Refuse(StatusRecordType &status, const char *message) {
  SetStatus(status, kStatusNotReady, message);
  return status.StatusMessage;
}

const char *RefuseTooLong(StatusRecordType &status) {
  char message[kStatusMessageSize];
  FormatText(message, sizeof message, "Comando excede o tamanho maximo de %lu bytes",
             static_cast<unsigned long>(kMaxPayload));
  return Refuse(status, message);
}

namespace {
// Takes one field (at least one character, up to '|' or the end) from *p.
// Copies it, cut to cap, into out (when out is not null) and moves *p past
// it. False when the field is empty.
bool TakeField(const char *&p, char *out, std::size_t cap) {
  const char *end = std::strchr(p, '|');
  std::size_t len = end ? static_cast<std::size_t>(end - p) : std::strlen(p);
  if (len == 0) return false;
  if (out != nullptr && cap > 0) {
    std::size_t take = len < cap - 1 ? len : cap - 1;
    std::memcpy(out, p, take);
    out[take] = '\0';
  }
  p += len;
  return true;
}

bool TakeBar(const char *&p) {
  if (*p != '|') return false;
  ++p;
  return true;
}
}  // namespace

int ScanReply(const char *text, ReplyPattern pattern, char *code, std::size_t codeCap,
              char *message, std::size_t messageCap) {
  const char *p = OrEmpty(text);
  int taken = 0;
  if (!TakeField(p, nullptr, 0) || !TakeBar(p)) return taken;
  if (!TakeField(p, code, codeCap)) return taken;
  ++taken;
  if (!TakeBar(p)) return taken;
  if (pattern == ReplyPattern::kFourFields) {
    if (!TakeField(p, nullptr, 0)) return taken;
    ++taken;
    if (!TakeBar(p)) return taken;
  }
  if (!TakeField(p, message, messageCap)) return taken;
  return taken + 1;
}

const char *FinishReply(ReplyPattern pattern, const TextBuffer &replyText, TextBuffer &messageField,
                        StatusRecordType &status) {
  char code[256];
  int needed = pattern == ReplyPattern::kFourFields ? 3 : 2;
  int taken = ScanReply(replyText, pattern, code, sizeof code, messageField, sizeof messageField);
  if (taken < needed) {
    CopyText(messageField, sizeof messageField, kNonConformingText);
    return messageField;
  }
  char text[kStatusMessageSize];
  FormatText(text, sizeof text, "Codigo: %s.\n%s", code, messageField);
  SetStatusMessage(status, text);
  return replyText;
}

const char *SendCommand(CommandState &state, const CommandRow &row, const Composed &payload) {
  // The trace shows the command as text: a sale's text part and whatever
  // bytes precede the first NUL of its block.
  TraceCommand(state.Trace, row.logName, state.CommandText);
  state.MessageField[0] = '\0';
  switch (Exchange(state.Line, state.Port.PortName,
                   reinterpret_cast<const std::uint8_t *>(state.CommandText), payload.length,
                   payload.binary, row.waitSeconds, row.accept)) {
    case Exchanged::kPortNotReady:
      return NotReady(kNotReadyText, state.Port.PortName, state.ResultText, state.StatusRecord);
    case Exchanged::kNoReply:
      return NoReply(state.StatusRecord, row.lastRx, state.LastRxText);
    case Exchanged::kReply:
      break;
  }
  if (row.afterReply != nullptr) row.afterReply(state);
  return FinishReply(row.pattern, state.ReplyText, state.MessageField, state.StatusRecord);
}

}  // namespace torvex::sat
