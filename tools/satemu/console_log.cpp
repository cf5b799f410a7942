#include "console_log.h"

#include <sys/time.h>

#include <ctime>

#include "frame_codec.h"

namespace satemu {

namespace {

// Length of the valid UTF-8 sequence starting at s[i] (2..4), or 0.
std::size_t utf8_length(std::string_view s, std::size_t i) {
  const auto c = static_cast<unsigned char>(s[i]);
  std::size_t n = 0;
  if (c >= 0xC2 && c <= 0xDF)
    n = 2;
  else if (c >= 0xE0 && c <= 0xEF)
    n = 3;
  else if (c >= 0xF0 && c <= 0xF4)
    n = 4;
  else
    return 0;
  if (i + n > s.size()) return 0;
  for (std::size_t k = 1; k < n; ++k) {
    if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return 0;
  }
  return n;
}

std::string escape(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c == '\\')
      out += "\\\\";
    else if (c == '\n')
      out += "\\n";
    else if (c == '\r')
      out += "\\r";
    else if (c == '\t')
      out += "\\t";
    else if (c >= 0x20 && c < 0x7F)
      out.push_back(static_cast<char>(c));
    else if (const std::size_t n = utf8_length(s, i)) {
      out.append(s.substr(i, n));
      i += n - 1;
    } else {
      static const char hex[] = "0123456789abcdef";
      out += "\\x";
      out.push_back(hex[c >> 4]);
      out.push_back(hex[c & 15]);
    }
  }
  return out;
}

}  // namespace

std::string printable(std::string_view bytes, std::size_t limit) {
  if (bytes.size() <= limit) return escape(bytes);
  const std::size_t head = limit * 2 / 3;
  const std::size_t tail = limit - head;
  return escape(bytes.substr(0, head)) + " ...(" + std::to_string(bytes.size() - head - tail) +
         " bytes)... " + escape(bytes.substr(bytes.size() - tail));
}

void ConsoleLog::line(std::string_view tag, std::string_view text) {
  timeval tv{};
  gettimeofday(&tv, nullptr);
  std::tm tm{};
  const std::time_t t = tv.tv_sec;
  localtime_r(&t, &tm);
  std::fprintf(out_, "%02d:%02d:%02d.%03d satemu %.*s%.*s\n", tm.tm_hour, tm.tm_min, tm.tm_sec,
               static_cast<int>(tv.tv_usec / 1000), static_cast<int>(tag.size()), tag.data(),
               static_cast<int>(text.size()), text.data());
  std::fflush(out_);
}

void ConsoleLog::notice(std::string_view text) { line("", text); }
void ConsoleLog::warning(std::string_view text) { line("warning: ", text); }
void ConsoleLog::detail(std::string_view text) {
  if (verbose_) line("", text);
}

void ConsoleLog::received(std::uint8_t sequence, std::string_view payload, bool checksum_ok,
                          std::uint8_t expected, std::uint8_t got) {
  if (!verbose_) return;
  std::string t =
      "<- rx seq=" + std::to_string(sequence) + " len=" + std::to_string(payload.size());
  if (checksum_ok) {
    t += " sum=ok";
  } else {
    char buf[64];
    std::snprintf(buf, sizeof buf, " sum=BAD (got 0x%02x, want 0x%02x)", got, expected);
    t += buf;
  }
  t += " \"" + printable(payload) + "\"";
  line("", t);
}

void ConsoleLog::sent(std::string_view bytes, std::string_view what) {
  if (!verbose_) return;
  std::string t = "-> tx " + std::string(what) + " (" + std::to_string(bytes.size()) + " bytes)";
  if (const auto f = parse_reply_frame(bytes);
      f && f->type == kFrameData && f->size == bytes.size()) {
    t += " seq=" + std::to_string(f->sequence) + " len=" + std::to_string(f->payload.size()) +
         (f->checksum_ok ? " sum=ok" : " sum=BAD") + " \"" + printable(f->payload) + "\"";
  } else if (bytes.size() == 1 && static_cast<std::uint8_t>(bytes[0]) == kFrameAck) {
    t += " ACK";
  } else {
    t += " \"" + printable(bytes, 96) + "\"";
  }
  line("", t);
}

}  // namespace satemu
