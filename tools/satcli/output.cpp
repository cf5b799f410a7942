#include "output.h"

#include <cstring>

namespace satcli {

Status decodeStatus(std::span<const unsigned char, kStatusRecordSize> record) {
  Status status;
  const std::uint32_t raw =
      static_cast<std::uint32_t>(record[0]) | (static_cast<std::uint32_t>(record[1]) << 8) |
      (static_cast<std::uint32_t>(record[2]) << 16) | (static_cast<std::uint32_t>(record[3]) << 24);
  status.code = static_cast<std::int32_t>(raw);
  const auto *message = reinterpret_cast<const char *>(record.data() + 4);
  const void *nul = std::memchr(message, '\0', kStatusMessageSize);
  const std::size_t length =
      nul != nullptr ? static_cast<std::size_t>(static_cast<const char *>(nul) - message)
                     : kStatusMessageSize;
  status.message.assign(message, length);
  return status;
}

std::string showSafely(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string shown;
  shown.reserve(text.size());
  for (const char ch : text) {
    const auto byte = static_cast<unsigned char>(ch);
    if ((byte < 0x20 && byte != '\n' && byte != '\t') || byte == 0x7F) {
      shown += "\\x";
      shown += kHex[byte >> 4];
      shown += kHex[byte & 0x0F];
    } else {
      shown += ch;
    }
  }
  return shown;
}

std::string abbreviate(std::string_view text, std::size_t limit) {
  if (text.size() <= limit) return std::string(text);
  std::string cut(text.substr(0, limit));
  cut += " ... [" + std::to_string(text.size() - limit) + " more bytes]";
  return cut;
}

namespace {

void writeBytes(std::FILE *out, std::string_view bytes) {
  if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), out);
}

void section(std::FILE *out, std::string_view heading, std::string_view text, bool shortTexts) {
  writeBytes(out, "[" + std::string(heading) + "] " + std::to_string(text.size()) + " bytes\n");
  const std::string shown =
      showSafely(shortTexts ? abbreviate(text, kShortLimit) : std::string(text));
  writeBytes(out, shown);
  std::fputc('\n', out);
}

}  // namespace

void printReport(std::FILE *out, const Report &report) {
  if (report.command != nullptr) {
    std::string heading = "[" + std::string(report.command->name) + "]";
    if (report.session) heading += " session " + std::to_string(*report.session);
    writeBytes(out, heading + "\n");
  }
  switch (report.outcome.kind) {
    case Outcome::Kind::Text:
      section(out, "reply", report.outcome.text, report.shortTexts);
      break;
    case Outcome::Kind::Number:
      writeBytes(out, "[result] " + std::to_string(report.outcome.number) + "\n");
      break;
    case Outcome::Kind::None:
      break;
  }
  writeBytes(out, "[CodigoErro] code " + std::to_string(report.status.code) + "\n");
  writeBytes(out, showSafely(report.status.message));
  std::fputc('\n', out);
  section(out, "LastTx", report.lastTx, report.shortTexts);
  section(out, "LastRx", report.lastRx, report.shortTexts);
}

void printQuiet(std::FILE *out, const Outcome &outcome) {
  switch (outcome.kind) {
    case Outcome::Kind::Text:
      writeBytes(out, outcome.text);
      std::fputc('\n', out);
      break;
    case Outcome::Kind::Number:
      writeBytes(out, std::to_string(outcome.number) + "\n");
      break;
    case Outcome::Kind::None:
      break;
  }
}

int exitStatusFor(const Status &status) { return status.code == 0 ? 0 : 1; }

}  // namespace satcli
