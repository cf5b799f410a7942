// Texts the library makes: hex dumps, time stamps, session numbers, the
// reply scan and the bounded copies behind them.
#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <memory>
#include <string>

#include "command_catalogue.h"
#include "command_road.h"
#include "fakeclock.h"
#include "session.h"
#include "text.h"
#include "timestamp.h"
#include "tracelog.h"

using namespace torvex::sat;

namespace {
std::string Hex(std::initializer_list<int> bytes) {
  std::string in;
  for (int b : bytes) in.push_back(static_cast<char>(b));
  char out[4096];
  FormatHexDump(reinterpret_cast<const std::uint8_t *>(in.data()), in.size(), out, sizeof out);
  return out;
}
}  // namespace

TEST(HexDump, FirstLineHolds17BytesThen16) {
  std::string bytes(40, '\x0a');
  char out[4096];
  FormatHexDump(reinterpret_cast<const std::uint8_t *>(bytes.data()), bytes.size(), out,
                sizeof out);
  std::string expected;
  for (int i = 0; i < 17; ++i) expected += "a ";
  expected += "\n";
  for (int i = 0; i < 16; ++i) expected += "a ";
  expected += "\n";
  for (int i = 0; i < 7; ++i) expected += "a ";
  expected += "\n";
  EXPECT_EQ(out, expected);
}

TEST(HexDump, LowerCaseWithoutLeadingZero) {
  EXPECT_EQ(Hex({0x01, 0x0f, 0x10, 0xab, 0x00}), "1 f 10 ab 0 \n");
  EXPECT_EQ(Hex({}), "\n");
}

TEST(HexDump, CutToTheOutputBuffer) {
  std::string bytes(100, '\xff');
  char out[10];
  std::memset(out, 'Z', sizeof out);
  std::size_t n = FormatHexDump(reinterpret_cast<const std::uint8_t *>(bytes.data()), bytes.size(),
                                out, sizeof out);
  EXPECT_EQ(n, 9u);
  EXPECT_EQ(std::string(out), "ff ff ff ");
}

TEST(Timestamp, DayMonthYearTimeAndMilliseconds) {
  const std::int64_t ms = 1765173857042;  // a Monday morning in December 2025
  std::time_t t = static_cast<std::time_t>(ms / 1000);
  char expected[64];
  std::strftime(expected, sizeof expected, "%d/%m/%Y %H:%M:%S", std::localtime(&t));
  EXPECT_EQ(std::string(MakeTimestampAt(ms).text), std::string(expected) + ".042");
  EXPECT_EQ(std::string(MakeTimestampAt(ms - 42).text), std::string(expected) + ".000");
  EXPECT_EQ(std::string(MakeTimestampAt(ms + 957).text).substr(20), "999");
}

TEST(SessionNumbers, GeneratorIsTheClassicRuntimeSequence) {
  SessionRandom r;
  EXPECT_EQ(r.Next(), 41);
  EXPECT_EQ(r.Next(), 18467);
  EXPECT_EQ(r.Next(), 6334);
  EXPECT_EQ(r.Next(), 26500);
  EXPECT_EQ(r.Next(), 19169);
}

TEST(SessionNumbers, NeverEqualToAnyOfTheLast100AndWithinRange) {
  FakeClock clock(1765173857999);  // the millisecond part at its largest
  ScopedClock use(clock);
  SessionNumbers numbers;
  std::vector<std::int32_t> seen;
  for (int i = 0; i < 1000; ++i) {
    std::int32_t n = NextSessionNumber(numbers);
    ASSERT_GE(n, 0);
    ASSERT_LE(n, 33766);
    std::size_t from = seen.size() > 100 ? seen.size() - 100 : 0;
    for (std::size_t j = from; j < seen.size(); ++j) ASSERT_NE(seen[j], n) << "call " << i;
    seen.push_back(n);
    clock.Advance(1);
  }
}

TEST(SessionNumbers, ACandidateInTheRingIsDrawnAgain) {
  FakeClock clock(1765173857000);  // millisecond part 0: candidate = draw
  ScopedClock use(clock);
  // A new generator draws 41, then 18467; with 41 in the ring already, the
  // first number handed out is the second draw.
  SessionNumbers fresh;
  EXPECT_EQ(NextSessionNumber(fresh), 41);
  SessionNumbers numbers;
  numbers.SessionRing[99] = 41;
  EXPECT_EQ(NextSessionNumber(numbers), 18467);
  EXPECT_EQ(numbers.SessionRing[0], 18467);
}

struct ScanCase {
  const char *reply;
  ReplyPattern pattern;
  int fields;
  const char *code;
  const char *message;
};

TEST(ReplyScan, FieldsAsTheyCome) {
  const auto k3 = ReplyPattern::kThreeFields, k4 = ReplyPattern::kFourFields;
  const ScanCase cases[] = {
      {"123456|12345|texto|mais", k3, 2, "12345", "texto"},
      {"123456|12345|texto", k3, 2, "12345", "texto"},
      {"123456|12345", k3, 1, "12345", ""},
      {"123456|12345||", k3, 1, "12345", ""},
      {"123456||texto|", k3, 0, "", ""},
      {"|12345|texto|", k3, 0, "", ""},
      {"", k3, 0, "", ""},
      {"123456|12345|X|texto|", k4, 3, "12345", "texto"},
      {"123456|12345|1111|texto|", k4, 3, "12345", "texto"},
      {"123456|12345||texto|", k4, 1, "12345", ""},
      {"123456|12345|X", k4, 2, "12345", ""},
  };
  for (const auto &c : cases) {
    char code[64] = "", message[64] = "";
    EXPECT_EQ(ScanReply(c.reply, c.pattern, code, sizeof code, message, sizeof message), c.fields)
        << c.reply;
    EXPECT_STREQ(code, c.code) << c.reply;
    EXPECT_STREQ(message, c.message) << c.reply;
  }
}

TEST(ReplyScan, LongFieldsAreCutNotOverflowed) {
  std::string reply = "1|" + std::string(500, 'C') + "|" + std::string(500, 'M') + "|";
  char code[8], message[16];
  EXPECT_EQ(ScanReply(reply.c_str(), ReplyPattern::kThreeFields, code, sizeof code, message,
                      sizeof message),
            2);
  EXPECT_EQ(std::string(code), std::string(7, 'C'));
  EXPECT_EQ(std::string(message), std::string(15, 'M'));
}

// The reply, the message field and the status a finished command leaves.
struct Finished {
  TextBuffer reply;
  TextBuffer message;
  StatusRecordType status;
  const char *Finish(const std::string &text) {
    CopyText(reply, sizeof reply, text.c_str());
    return FinishReply(ReplyPattern::kThreeFields, reply, message, status);
  }
};

TEST(FinishReply, StatusTextIsCutTo99Characters) {
  auto f = std::make_unique<Finished>();
  std::string reply = "123456|" + std::string(300, '9') + "|" + std::string(300, 'm') + "|";
  EXPECT_EQ(f->Finish(reply), f->reply);
  EXPECT_EQ(std::strlen(f->status.StatusMessage), 99u);
  EXPECT_EQ(std::string(f->status.StatusMessage).substr(0, 9), "Codigo: 9");
  EXPECT_EQ(std::string(f->message), std::string(300, 'm'));
}

TEST(FinishReply, TooFewFieldsGiveTheNonConformingText) {
  auto f = std::make_unique<Finished>();
  const char *r = f->Finish("123456|12345||");
  EXPECT_STREQ(r, "Mensagem recebida do equipamento fora de conformidade. Erro desconhecido.");
  EXPECT_EQ(r, f->message);
  EXPECT_EQ(f->status.Code(), TORVEX_STATUS_OK);
  EXPECT_STREQ(f->status.StatusMessage, "");
}

TEST(BoundedText, CopyAppendAndFormatNeverPassTheBuffer) {
  char buf[8];
  EXPECT_EQ(CopyText(buf, sizeof buf, "0123456789"), 7u);
  EXPECT_STREQ(buf, "0123456");
  EXPECT_EQ(CopyText(buf, sizeof buf, nullptr), 0u);
  EXPECT_STREQ(buf, "");
  CopyText(buf, sizeof buf, "abc");
  EXPECT_EQ(AppendText(buf, sizeof buf, "defghij"), 7u);
  EXPECT_STREQ(buf, "abcdefg");
  EXPECT_GE(FormatText(buf, sizeof buf, "%06ld|%s", 42L, "ConsultarSAT"), 8);
  EXPECT_STREQ(buf, "000042|");
}

// Each row's type lists its fields: the compiler holds every export's
// arguments to its row. (These are checked when this file compiles.)
template <typename Row, typename... Args>
concept RunsWith = requires(CommandState &state, const Row &row, Args... args) {
  Run(state, row, 1, args...);
};
static_assert(RunsWith<decltype(kConsultarSAT)>);
static_assert(!RunsWith<decltype(kConsultarSAT), const char *>);
static_assert(RunsWith<decltype(kAtivarSAT), int, const char *, const char *, int>);
static_assert(!RunsWith<decltype(kAtivarSAT), const char *, const char *, const char *, int>);
static_assert(!RunsWith<decltype(kAtivarSAT), int, const char *, const char *>);
static_assert(RunsWith<decltype(kConsultarNumeroSessao), const char *, int>);
static_assert(!RunsWith<decltype(kConsultarNumeroSessao), const char *, const char *>);

TEST(CommandText, FieldsPrintedAsTheirKindsSay) {
  char out[128];
  TextWriter text(out, sizeof out, sizeof out - 1);
  PutCommandText(text, kAtivarSAT, 42, 1, "codigo", nullptr, 5);
  EXPECT_STREQ(out, "000042|AtivarSAT|1|codigo||05");
  TextWriter full(out, sizeof out, 20);
  PutCommandText(full, kTrocarCodigoDeAtivacao, 1234567, "a", 2, "b", "c");
  EXPECT_FALSE(full.Fits());  // 36 characters do not fit 20
  EXPECT_STREQ(out, "");
  TextWriter exact(out, sizeof out, 19);  // "000007|ConsultarSAT" just fits
  PutCommandText(exact, kConsultarSAT, 7);
  EXPECT_TRUE(exact.Fits());
  EXPECT_EQ(exact.Length(), 19u);
}
