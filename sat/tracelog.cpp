#include "tracelog.h"

#include <cstdarg>
#include <cstring>

#include "timestamp.h"

namespace torvex::sat {

TraceFile::TraceFile(const TraceSettings &settings) {
  if (settings.LogEnabled && settings.LogPath[0] != '\0')
    file_ = std::fopen(settings.LogPath, "a+");
}

TraceFile::~TraceFile() { Close(); }

void TraceFile::Close() {
  if (file_) std::fclose(file_);
  file_ = nullptr;
}

void TraceFile::Printf(const char *fmt, ...) {
  if (!file_) return;
  std::va_list ap;
  va_start(ap, fmt);
  std::vfprintf(file_, fmt, ap);
  va_end(ap);
}

void TraceFile::Write(const char *text) {
  if (file_) std::fputs(text, file_);
}

namespace {
// Renders bytes [0, count) into chunks and hands each chunk to sink.
template <typename Sink>
void RenderHex(const std::uint8_t *bytes, std::size_t count, Sink &&sink) {
  static const char kDigits[] = "0123456789abcdef";
  char chunk[4096];
  std::size_t used = 0;
  for (std::size_t i = 0; i < count; ++i) {
    if (used > sizeof chunk - 8) {
      sink(chunk, used);
      used = 0;
    }
    std::uint8_t b = bytes[i];
    if (b >= 16) chunk[used++] = kDigits[b >> 4];
    chunk[used++] = kDigits[b & 15];
    chunk[used++] = ' ';
    if (i > 0 && i % 16 == 0) chunk[used++] = '\n';
  }
  chunk[used++] = '\n';
  sink(chunk, used);
}
}  // namespace

void TraceFile::HexDump(const std::uint8_t *bytes, std::size_t count) {
  if (!file_) return;
  RenderHex(bytes, count, [&](const char *p, std::size_t n) { std::fwrite(p, 1, n, file_); });
}

std::size_t FormatHexDump(const std::uint8_t *bytes, std::size_t count, char *out,
                          std::size_t cap) {
  std::size_t len = 0;
  if (cap == 0) return 0;
  RenderHex(bytes, count, [&](const char *p, std::size_t n) {
    std::size_t take = n < cap - 1 - len ? n : cap - 1 - len;
    std::memcpy(out + len, p, take);
    len += take;
  });
  out[len] = '\0';
  return len;
}

void TraceCommand(const TraceSettings &settings, const char *logName, const char *commandText) {
  if (!settings.LogEnabled) return;
  TraceFile trace(settings);
  if (!trace.IsOpen()) return;
  Timestamp ts = MakeTimestamp();
  trace.Printf("S@T:%s %s %s\n", ts.text, logName, commandText);
}

}  // namespace torvex::sat
