// The trace log: while it is switched on, every writer opens the file it
// names for appending ("a+"), writes its lines and closes it at once.
// Nothing keeps the file open between writers. If the open fails, nothing
// is written.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "satlimits.h"

namespace torvex::sat {

// The trace-log settings that ArquivoLog makes: on for the rest of the
// library's life once set, and the file's path.
struct TraceSettings {
  bool LogEnabled = false;
  char LogPath[kLogPathSize] = {};
};

class TraceFile {
 public:
  // Opens the trace log if logging is on; otherwise the object is closed and
  // every write does nothing.
  explicit TraceFile(const TraceSettings &settings);
  ~TraceFile();
  TraceFile(const TraceFile &) = delete;
  TraceFile &operator=(const TraceFile &) = delete;

  bool IsOpen() const { return file_ != nullptr; }
  void Printf(const char *fmt, ...) __attribute__((format(printf, 2, 3)));
  void Write(const char *text);
  // Every byte as "%x " (lower-case hex, no leading zero). A line break
  // follows the byte at index i when i > 0 and i is a multiple of 16 (so the
  // first line holds 17 bytes, the others 16), and one more after the last.
  void HexDump(const std::uint8_t *bytes, std::size_t count);
  void Close();

 private:
  std::FILE *file_ = nullptr;
};

// Renders the hex dump into out (for tests); returns the text's length.
std::size_t FormatHexDump(const std::uint8_t *bytes, std::size_t count, char *out, std::size_t cap);

// Writes one line "S@T:<time stamp> <name> <text>\n": the trace line of a
// command export.
void TraceCommand(const TraceSettings &settings, const char *logName, const char *commandText);

}  // namespace torvex::sat
