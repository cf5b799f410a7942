// What satcli prints: the status record, safe display of texts, the report.
#include "output.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <memory>

namespace satcli {
namespace {

std::array<unsigned char, kStatusRecordSize> record(std::int32_t code, const std::string &message) {
  std::array<unsigned char, kStatusRecordSize> r{};
  const auto raw = static_cast<std::uint32_t>(code);
  for (int i = 0; i < 4; ++i)
    r[static_cast<std::size_t>(i)] = static_cast<unsigned char>(raw >> (8 * i));
  std::memcpy(r.data() + 4, message.data(), std::min(message.size(), kStatusMessageSize));
  return r;
}

TEST(Status, CodeIsLittleEndianSigned) {
  EXPECT_EQ(decodeStatus(record(0, "")).code, 0);
  EXPECT_EQ(decodeStatus(record(32768, "Timeout")).code, 32768);
  EXPECT_EQ(decodeStatus(record(-2, "x")).code, -2);
  EXPECT_EQ(decodeStatus(record(1, "Erro ao abrir COM3")).message, "Erro ao abrir COM3");
}

TEST(Status, MessageWithoutNulEndsAtTheRecordsEnd) {
  const auto r = record(3, std::string(100, 'm'));  // fills all 100 bytes, no NUL
  const Status status = decodeStatus(r);
  EXPECT_EQ(status.message, std::string(100, 'm'));
}

TEST(Display, EscapesOnlyControlBytes) {
  EXPECT_EQ(showSafely("000042|08000|SAT em Opera\xc3\xa7\xc3\xa3o||"),
            "000042|08000|SAT em Opera\xc3\xa7\xc3\xa3o||")
      << "UTF-8 passes unchanged";
  EXPECT_EQ(showSafely("n\xe3o est\xe1"), "n\xe3o est\xe1") << "ISO-8859-1 passes unchanged";
  EXPECT_EQ(showSafely("a\nb\tc"), "a\nb\tc");
  EXPECT_EQ(showSafely(std::string("|\x1b[2J\r\x7f\x01", 8)), "|\\x1b[2J\\x0d\\x7f\\x01");
}

TEST(Display, AbbreviatesWithACountOfWhatWasLeftOut) {
  EXPECT_EQ(abbreviate("abcdef", 6), "abcdef");
  EXPECT_EQ(abbreviate("abcdefgh", 3), "abc ... [5 more bytes]");
}

std::string printed(const Report &report) {
  std::unique_ptr<std::FILE, int (*)(std::FILE *)> file(std::tmpfile(), &std::fclose);
  if (!file) return "<no tmpfile>";
  printReport(file.get(), report);
  std::rewind(file.get());
  std::string text;
  char chunk[4096];
  std::size_t got = 0;
  while ((got = std::fread(chunk, 1, sizeof chunk, file.get())) > 0) text.append(chunk, got);
  return text;
}

TEST(Report, LabelsEverySection) {
  CommandRow row{"ConsultarSAT", Group::Sat, "", 2, {}, nullptr};
  Report report;
  report.command = &row;
  report.session = 42;
  report.outcome.kind = Outcome::Kind::Text;
  report.outcome.text = "000042|08000|SAT em Opera\xc3\xa7\xc3\xa3o||";
  report.status = {0, "Codigo: 08000.\nSAT em Opera\xc3\xa7\xc3\xa3o"};
  report.lastTx = "09/12/2026 10:00:00.001=000042|ConsultarSAT";
  report.lastRx = "09/12/2026 10:00:00.020=000042|08000|SAT em Opera\xc3\xa7\xc3\xa3o||";
  EXPECT_EQ(
      printed(report),
      "[ConsultarSAT] session 42\n"
      "[reply] 32 bytes\n000042|08000|SAT em Opera\xc3\xa7\xc3\xa3o||\n"
      "[CodigoErro] code 0\nCodigo: 08000.\nSAT em Opera\xc3\xa7\xc3\xa3o\n"
      "[LastTx] 43 bytes\n09/12/2026 10:00:00.001=000042|ConsultarSAT\n"
      "[LastRx] 56 bytes\n09/12/2026 10:00:00.020=000042|08000|SAT em Opera\xc3\xa7\xc3\xa3o||\n");
}

TEST(Report, ShortenedAndBinarySafe) {
  Report report;
  report.outcome.kind = Outcome::Kind::Number;
  report.outcome.number = 1;
  report.status = {1, "Erro ao abrir COM3"};
  report.lastTx =
      "ts=000042|EnviarDadosVenda|x|" + std::string("\x1f\x02\x01", 3) + std::string(400, 'z');
  report.shortTexts = true;
  const std::string text = printed(report);
  EXPECT_NE(text.find("[result] 1\n[CodigoErro] code 1\nErro ao abrir COM3\n"), std::string::npos)
      << text;
  EXPECT_NE(text.find("[LastTx] 432 bytes\nts=000042|EnviarDadosVenda|x|\\x1f\\x02\\x01zz"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find(" ... [132 more bytes]\n"), std::string::npos) << text;
  EXPECT_EQ(exitStatusFor(report.status), 1);
  EXPECT_EQ(exitStatusFor(Status{0, ""}), 0);
}

}  // namespace
}  // namespace satcli
