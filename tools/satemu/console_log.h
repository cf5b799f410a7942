// The emulator's console log on stderr. Notices and warnings are always
// shown; with --verbose every frame received and sent is shown too: time,
// direction, sequence, length, checksum, the payload as text (bytes outside
// printable ASCII and UTF-8 escaped, long payloads abbreviated) and the
// fault applied.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace satemu {

// Payload bytes as one readable line: printable ASCII and valid UTF-8 as
// they are, everything else as \xNN (and \n, \r, \t, \\). Longer than
// `limit` bytes: the head and tail with the count of bytes left out.
std::string printable(std::string_view bytes, std::size_t limit = 240);

class ConsoleLog {
 public:
  explicit ConsoleLog(bool verbose, std::FILE *out = stderr) : verbose_(verbose), out_(out) {}

  bool verbose() const { return verbose_; }
  void notice(std::string_view text);
  void warning(std::string_view text);
  void detail(std::string_view text);  // only with --verbose

  // A frame from the library.
  void received(std::uint8_t sequence, std::string_view payload, bool checksum_ok,
                std::uint8_t expected = 0, std::uint8_t got = 0);
  // Bytes written to the library; `what` says what they are.
  void sent(std::string_view bytes, std::string_view what);

 private:
  void line(std::string_view tag, std::string_view text);
  bool verbose_;
  std::FILE *out_;
};

}  // namespace satemu
