// What satcli prints after a call: the returned text, the status record
// (from CodigoErro), and the last frames sent and received (LastTx, LastRx).
#pragma once

#include "command_table.h"

#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace satcli {

// Size of the status record that CodigoErro copies out: a 4-byte
// little-endian signed code, then a 100-byte NUL-terminated message.
inline constexpr std::size_t kStatusRecordSize = 104;
inline constexpr std::size_t kStatusMessageSize = 100;

struct Status {
  std::int32_t code = 0;
  std::string message;
};

// Decodes the record; the message ends at its first NUL or after 100 bytes,
// whichever comes first.
[[nodiscard]] Status decodeStatus(std::span<const unsigned char, kStatusRecordSize> record);

// The text with its bytes unchanged, except the control bytes that would
// upset a terminal (every byte below 0x20 other than line feed and tab, and
// 0x7F), which are written as \xNN. Bytes from 0x80 up are kept, since the
// library's texts are ISO-8859-1 or UTF-8.
[[nodiscard]] std::string showSafely(std::string_view text);

// At most limit bytes of the text, followed by a note of how many were left
// out.
[[nodiscard]] std::string abbreviate(std::string_view text, std::size_t limit);

// Bytes of each text shown with --short.
inline constexpr std::size_t kShortLimit = 300;

struct Report {
  const CommandRow *command = nullptr;
  std::optional<std::int32_t> session;  // the session number used, SAT commands
  Outcome outcome;
  Status status;
  std::string lastTx;
  std::string lastRx;
  bool shortTexts = false;
};

// The labelled report: one section per item, each headed by a line in
// square brackets.
void printReport(std::FILE *out, const Report &report);

// --quiet: the returned text (or number) alone, bytes unchanged.
void printQuiet(std::FILE *out, const Outcome &outcome);

// 0 when the status code is 0, 1 otherwise.
[[nodiscard]] int exitStatusFor(const Status &status);

}  // namespace satcli
