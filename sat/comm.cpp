#include "comm.h"

#include <cstdio>
#include <cstring>

#include "clock.h"
#include "platform.h"
#include "satcomm.h"
#include "satlink.h"
#include "satstate.h"
#include "session.h"
#include "text.h"
#include "tracelog.h"

namespace torvex::sat {

void *ZlibModule = nullptr;

bool EnsureZlib() {
  if (ZlibModule == nullptr) ZlibModule = LoadZlibModule();
  return ZlibModule != nullptr;
}

namespace {
constexpr int kProbePorts = 29;
}  // namespace

std::int64_t CalendarSeconds() {
  std::int64_t ms = GetClock().NowMs();
  return ms >= 0 ? ms / 1000 : (ms - 999) / 1000;
}

Exchanged Exchange(const std::uint8_t *payload, std::size_t count, bool binary, int limitSeconds,
                   ReplySession accept) {
  if (!OpenLine(PortName)) return Exchanged::kPortNotReady;
  // The limit counts whole seconds of the calendar clock from here; writing
  // the frame may take at most what is left of it.
  std::int64_t deadlineMs = (CalendarSeconds() + limitSeconds) * 1000;
  SendOptions options;
  options.accept = accept;
  options.writeLimitMs = deadlineMs - GetClock().NowMs();
  SendOutcome sent = binary ? EnviaComandoBinario(payload, count, options)
                            : EnviaComando(reinterpret_cast<const char *>(payload), options);
  // A frame that did not go out gets no reply: no point in waiting for one.
  if (sent == SendOutcome::kSent) WaitForReplyUntil(deadlineMs);
  PortClose();
  return StatusRecord.StatusCode.load(std::memory_order_acquire) == kStatusOk ? Exchanged::kReply
                                                                              : Exchanged::kNoReply;
}

const char *NoReply(bool lastRxOnFailure) {
  if (lastRxOnFailure) RecordLastRx(StatusRecord.StatusMessage);
  return StatusRecord.StatusMessage;
}

void WaitForReplyUntil(std::int64_t deadlineMs) {
  Clock &clock = GetClock();
  while (!ReplyArrived.Settled()) {
    std::int64_t now = clock.NowMs();
    if (now >= deadlineMs) break;  // the whole seconds elapsed reached the limit
    clock.WaitSettled(ReplyArrived, deadlineMs - now);
  }
}

bool ProbePort() {
  FormatText(CommandText, sizeof CommandText, "%06ld|ConsultarSAT",
             static_cast<long>(NextSessionNumber()));
  if (!EnsureZlib()) SetStatus(kStatusNotReady, kZlibMissingText);
  if (PortFound) return true;
  for (int n = 1; n <= kProbePorts; ++n) {
    char name[16];
    FormatText(name, sizeof name, "COM%d", n);
    if (!OpenLine(name)) continue;
    // A port gets one second to answer. (Waiting only until the calendar
    // second turns would give a port probed late in a second a few
    // milliseconds, and a healthy device would be reported missing.)
    std::int64_t deadlineMs = GetClock().NowMs() + 1000;
    SendOptions options;
    options.writeLimitMs = 1000;
    if (EnviaComando(CommandText, options) == SendOutcome::kSent) WaitForReplyUntil(deadlineMs);
    PortClose();
    if (StatusRecord.StatusCode.load(std::memory_order_acquire) == 0) {
      CopyText(PortName, sizeof PortName, name);
      PortFound = true;
      return true;
    }
  }
  return false;
}

void SetCannotOpen(const char *portName) {
  char message[kStatusMessageSize];
  FormatText(message, sizeof message, "Erro ao abrir %s", portName);
  SetStatus(kStatusNotReady, message);
}

const char *NotReady(const char *text) {
  CopyText(ResultText, sizeof ResultText, text);
  SetCannotOpen(PortName);
  return ResultText;
}

const char *Refuse(const char *message) {
  SetStatus(kStatusNotReady, message);
  return StatusRecord.StatusMessage;
}

const char *RefuseTooLong() {
  char message[kStatusMessageSize];
  FormatText(message, sizeof message, "Comando excede o tamanho maximo de %lu bytes",
             static_cast<unsigned long>(kMaxPayload));
  return Refuse(message);
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

const char *FinishReply(ReplyPattern pattern) {
  static char code[256];
  int needed = pattern == ReplyPattern::kFourFields ? 3 : 2;
  int taken = ScanReply(ReplyText, pattern, code, sizeof code, MessageField, sizeof MessageField);
  if (taken < needed) {
    CopyText(MessageField, sizeof MessageField, kNonConformingText);
    return MessageField;
  }
  char status[kStatusMessageSize];
  FormatText(status, sizeof status, "Codigo: %s.\n%s", code, MessageField);
  CopyText(StatusRecord.StatusMessage, sizeof StatusRecord.StatusMessage, status);
  return ReplyText;
}

const char *SendCommand(const CommandRow &row, std::size_t length) {
  TraceCommand(row.logName, CommandText);
  switch (Exchange(reinterpret_cast<const std::uint8_t *>(CommandText), length, false,
                   row.waitSeconds, row.accept)) {
    case Exchanged::kPortNotReady:
      return NotReady(kNotReadyText);
    case Exchanged::kNoReply:
      return NoReply(row.lastRxOnFailure);
    case Exchanged::kReply:
      break;
  }
  return FinishReply(row.pattern);
}

}  // namespace torvex::sat
