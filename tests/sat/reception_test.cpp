// Sending frames and receiving replies without a device: the send operations
// with the port closed, the reception handler fed with bursts, the trace log
// lines they write, and the guards on callers' arguments.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "command_state.h"
#include "frame_exchange.h"
#include "serial_port.h"
#include "testutil.h"
#include "text.h"
#include "torvex.h"

using namespace torvex::sat;
using namespace testutil;

namespace {

// A command state of the test's own, with its line (its port stays closed:
// frames are built and not written).
class Line : public testing::Test {
 protected:
  std::size_t Feed(const std::vector<std::uint8_t> &burst) {
    return line().Received(burst.data(), burst.size());
  }
  FrameExchange &line() { return state_->Line; }
  Status ReadStatus() const {
    return {state_->StatusRecord.Code(), state_->StatusRecord.StatusMessage};
  }
  const char *ReplyText() const { return state_->ReplyText; }
  std::string LastRx() const { return AfterStamp(state_->LastRxText); }
  std::string LastTx() const { return AfterStamp(state_->LastTxText); }

  std::unique_ptr<CommandState> state_ = std::make_unique<CommandState>();
};

class Reception : public Line {
 protected:
  void SetUp() override {
    line().EnviaComando("123456|ConsultarSAT");  // presets the waiting state
  }
};
}  // namespace

TEST_F(Reception, GoodDataFrameReleasesTheCommand) {
  Feed(ReplyFrame("123456|12345|texto|"));
  EXPECT_STREQ(ReplyText(), "123456|12345|texto|");
  EXPECT_EQ(ReadStatus().code, TORVEX_STATUS_OK);
  EXPECT_EQ(ReadStatus().message, "");
  EXPECT_EQ(LastRx(), "123456|12345|texto|");
}

TEST_F(Reception, BadChecksumKeepsThePayloadAndSetsCode3) {
  Feed(ReplyFrame("123456|12345|texto|", 1));
  EXPECT_STREQ(ReplyText(), "123456|12345|texto|");
  EXPECT_EQ(LastRx(), "123456|12345|texto|");
  EXPECT_EQ(ReadStatus().code, TORVEX_STATUS_CHECKSUM);
  EXPECT_EQ(ReadStatus().message,
            "Erro de checksum na comunica\xc3\xa7\xc3\xa3o com o equipamento.\n");
}

TEST_F(Reception, UnknownTypeSetsCode4) {
  testing::internal::CaptureStdout();
  Feed({0x00, 0x41});
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(ReadStatus().code, TORVEX_STATUS_UNKNOWN_FRAME);
  EXPECT_EQ(ReadStatus().message, "Comando recebido do equipamento n\xc3\xa3o reconhecido.\n");
}

TEST_F(Reception, AckLeavesTheCommandWaiting) {
  Feed({0x06});
  EXPECT_EQ(ReadStatus().code, TORVEX_STATUS_TIMEOUT);
  EXPECT_EQ(ReadStatus().message, "Timeout na comunica\xc3\xa7\xc3\xa3o com o equipamento.");
  EXPECT_STREQ(ReplyText(), "");
  EXPECT_EQ(LastRx(), "");
}

// Bursts handed over as the reader hands them: bytes the handler leaves (a
// frame still arriving) come again, with what follows, in the next burst.
TEST_F(Reception, BurstsAsTheReaderHandsThemOver) {
  using Bytes = std::vector<std::uint8_t>;
  auto join = [](std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes &p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
  };
  const Bytes own = ReplyFrame("123456|08000|minha||");
  const Bytes foreign = ReplyFrame("999999|08000|outra||");
  Bytes cut = ReplyFrame("123456|08000|minha||", 0, 60);  // declares 40 bytes more
  cut.pop_back();                                         // than arrive
  struct Case {
    const char *what;
    std::vector<Bytes> bursts;
    std::int32_t code;
    const char *reply;
    std::size_t left;  // bytes the handler still holds at the end
  } cases[] = {
      {"a frame in three bursts",
       {Bytes(own.begin(), own.begin() + 5), Bytes(own.begin() + 5, own.begin() + 20),
        Bytes(own.begin() + 20, own.end())},
       TORVEX_STATUS_OK,
       "123456|08000|minha||",
       0},
      {"another session's reply, then ours",
       {foreign, own},
       TORVEX_STATUS_OK,
       "123456|08000|minha||",
       0},
      {"another session's reply only", {foreign}, TORVEX_STATUS_TIMEOUT, "", 0},
      {"a reply with no session number",
       {ReplyFrame("08000|sem sessao||")},
       TORVEX_STATUS_TIMEOUT,
       "",
       0},
      {"a frame whose rest never comes",
       {cut},
       TORVEX_STATUS_CHECKSUM,
       "123456|08000|minha||",
       cut.size()},
      {"ACK, DC1 and data in one burst",
       {join({{0x06}, {0x11, 1, 2, 3, 4, 5}, own})},
       TORVEX_STATUS_OK,
       "123456|08000|minha||",
       0},
      {"garbage after the reply",
       {join({own, {0x00, 0x41}})},
       TORVEX_STATUS_OK,
       "123456|08000|minha||",
       0},
  };
  for (const auto &c : cases) {
    line().EnviaComando("123456|ConsultarSAT");
    Bytes held;
    for (const Bytes &burst : c.bursts) {
      held.insert(held.end(), burst.begin(), burst.end());
      std::size_t used = line().Received(held.data(), held.size());
      ASSERT_LE(used, held.size()) << c.what;
      held.erase(held.begin(), held.begin() + static_cast<std::ptrdiff_t>(used));
    }
    EXPECT_EQ(ReadStatus().code, c.code) << c.what;
    EXPECT_STREQ(ReplyText(), c.reply) << c.what;
    EXPECT_EQ(held.size(), c.left) << c.what;
  }
}

TEST_F(Reception, EveryFrameOfABurstCounts) {
  auto burst = ReplyFrame("123456|12345|texto|");
  burst.insert(burst.begin(), 0x06);  // ACK glued to the data frame
  EXPECT_EQ(Feed(burst), burst.size());
  EXPECT_EQ(ReadStatus().code, TORVEX_STATUS_OK);
  EXPECT_STREQ(ReplyText(), "123456|12345|texto|");
}

TEST_F(Reception, ASecondShorterFrameLeavesNothingOfTheFirst) {
  Feed(ReplyFrame("123456|99999|uma resposta bem mais longa|", 1));
  Feed(ReplyFrame("123456|1|x|"));
  EXPECT_STREQ(ReplyText(), "123456|1|x|");
  EXPECT_EQ(LastRx(), "123456|1|x|");
}

TEST_F(Reception, TruncatedFrameIsAChecksumFailureWithoutOverread) {
  auto f = ReplyFrame("123456|12345|texto|");
  f[9] = 0xff;  // declares far more than arrives
  f.resize(20);
  Feed(f);
  EXPECT_EQ(ReadStatus().code, TORVEX_STATUS_CHECKSUM);
  EXPECT_STREQ(ReplyText(), "123456|");
}

TEST_F(Reception, LaterGoodFrameWinsOverAnEarlierBadOne) {
  Feed(ReplyFrame("123456|12345|texto|", 1));
  Feed(ReplyFrame("123456|12345|texto|"));
  EXPECT_EQ(ReadStatus().code, TORVEX_STATUS_OK);
}

TEST_F(Line, FrameBytesSequenceAndLastTx) {
  std::uint32_t seq = line().FrameSequence();
  ASSERT_NE(line().EnviaComando("000123|ConsultarSAT"), SendOutcome::kTooLong);
  EXPECT_EQ(line().FrameSequence(), seq + 1);
  ASSERT_EQ(line().FrameLength(), 28u);
  EXPECT_EQ(line().FrameBytes()[1], static_cast<std::uint8_t>(seq));
  EXPECT_EQ(LastTx(), "000123|ConsultarSAT");
  EXPECT_EQ(ReadStatus().code, TORVEX_STATUS_TIMEOUT);
}

TEST_F(Line, BinaryBlockGoesWholeButLastTxStopsAtTheFirstNul) {
  const std::uint8_t block[] = {'a', 'b', '|', 3, 0, 0, 0, 0x78, 0x5e, 0};
  ASSERT_NE(line().EnviaComandoBinario(block, sizeof block), SendOutcome::kTooLong);
  ASSERT_EQ(line().FrameLength(), sizeof block + 9);
  EXPECT_EQ(0, std::memcmp(line().FrameBytes() + 8, block, sizeof block));
  EXPECT_EQ(LastTx(), "ab|\x03");
}

TEST_F(Line, PayloadOverTheFrameLimitIsRefused) {
  static std::vector<std::uint8_t> big(kMaxPayload + 1, 'x');
  SetStatus(state_->StatusRecord, TORVEX_STATUS_OK, "before");
  std::uint32_t seq = line().FrameSequence();
  EXPECT_EQ(line().EnviaComandoBinario(big.data(), big.size()), SendOutcome::kTooLong);
  EXPECT_EQ(line().FrameSequence(), seq);
  EXPECT_EQ(ReadStatus().code, TORVEX_STATUS_OK);
  EXPECT_NE(line().EnviaComandoBinario(big.data(), kMaxPayload), SendOutcome::kTooLong);
  EXPECT_EQ(line().FrameLength(), kBufSize);
}

TEST_F(Line, SerialPortRefusesLongNamesAndClosesTwiceHarmlessly) {
  SerialPortType port;
  EXPECT_FALSE(port.PortOpen("COM1234567", kBaudRate, line()));
  EXPECT_FALSE(port.IsOpen());
  EXPECT_TRUE(port.PortClose());
  EXPECT_TRUE(port.PortClose());
  EXPECT_TRUE(port.PortWrite(nullptr, 0, 100));
  const std::uint8_t b = 1;
  EXPECT_FALSE(port.PortWrite(&b, 1, 100));
}

// The lines the frame exchange writes, on a state of the test's own.
TEST_F(Line, TraceLogSendAndReceiveLines) {
  std::string path = TempPath("torvex-trace-line.log");
  std::remove(path.c_str());
  state_->Trace.LogEnabled = true;
  CopyText(state_->Trace.LogPath, sizeof state_->Trace.LogPath, path.c_str());
  std::uint32_t seq = line().FrameSequence();
  line().EnviaComando("000042|ConsultarSAT");
  Feed(ReplyFrame("000042|08000|ok||"));
  char seqHex[8];
  std::snprintf(seqHex, sizeof seqHex, "%x", seq & 0xff);
  std::string expected = std::string("S@T:<TS> EnviaComando TXDATA:\n1 ") + seqHex +
                         " 0 0 13 0 0 0 30 30 30 30 34 32 7c 43 6f \n"
                         "6e 73 75 6c 74 61 72 53 41 54 ";
  std::string text = MaskStamps(ReadTextFile(path));
  std::remove(path.c_str());
  ASSERT_EQ(text.substr(0, expected.size()), expected);
  std::size_t rx = text.find("S@T:<TS> RxThread RXDATA:\n");
  ASSERT_NE(rx, std::string::npos);
  EXPECT_EQ(text.substr(rx), "S@T:<TS> RxThread RXDATA:\n" + std::string(20, ' ') +
                                 "@@@@@S@T:<TS> RxThread RXDATA:\n000042|08000|ok||\n"
                                 "30 30 30 30 34 32 7c 30 38 30 30 30 7c 6f 6b 7c 7c \n\n");
}

// The control functions' lines, through the exports. The trace log cannot
// be switched off once on; an empty path keeps every writer from writing.
class TraceLog : public testing::Test {
 protected:
  void SetUp() override {
    path_ = TempPath("torvex-trace-test.log");
    std::remove(path_.c_str());
    ArquivoLog(path_.c_str());
  }
  void TearDown() override {
    ArquivoLog("");
    std::remove(path_.c_str());
  }
  std::string Text() { return MaskStamps(ReadTextFile(path_)); }
  std::string path_;
};

TEST_F(TraceLog, ArquivoLogCreatesTheFile) {
  std::FILE *f = std::fopen(path_.c_str(), "rb");
  ASSERT_NE(f, nullptr);
  std::fclose(f);
  EXPECT_EQ(ReadFile(path_), "");
}

TEST_F(TraceLog, ControlFunctionLines) {
  ConfiguraTimeout(1234);
  EXPECT_EQ(AbreSerialSAT(29, 9600, 7, 2, 1), 1);  // no such port here
  EXPECT_EQ(Text(),
            "S@T:<TS> ConfiguraTimeout 1234\n"
            "S@T:COM29 <TS> AbreSerialSAT Baud:9600 Bits:7 Paridade:2 StopBits:1\n");
}

TEST_F(TraceLog, PathThatDoesNotFitIsRefused) {
  std::string longPath(300, 'a');
  ArquivoLog(longPath.c_str());  // refused: the log stays where it was
  ConfiguraTimeout(7);
  EXPECT_EQ(Text(), "S@T:<TS> ConfiguraTimeout 7\n");
}

TEST(ControlFunctions, CodigoErroCopiesTheWholeRecord) {
  SetStatus(TheCommandState().StatusRecord, TORVEX_STATUS_TIMEOUT, "abc");
  char buf[TORVEX_STATUS_SIZE];
  std::memset(buf, 0x55, sizeof buf);
  EXPECT_EQ(CodigoErro(buf), buf);
  EXPECT_EQ(std::string(buf, 4), std::string("\x00\x80\x00\x00", 4));
  EXPECT_STREQ(buf + 4, "abc");
  EXPECT_EQ(buf[103], 0);  // the whole 100-byte message is copied
  EXPECT_EQ(CodigoErro(nullptr), nullptr);
}

TEST(ControlFunctions, AbreSerialSATRefusesNumbersWhoseNameDoesNotFit) {
  EXPECT_EQ(AbreSerialSAT(29, 115200, 8, 0, 1), 1);  // names COM29
  EXPECT_EQ(AbreSerialSAT(-2147483647 - 1, 115200, 8, 0, 1), 1);
  EXPECT_STREQ(TheCommandState().Port.PortName, "COM29");  // unchanged
  EXPECT_EQ(ReadStatus().code, TORVEX_STATUS_NOT_READY);
  EXPECT_EQ(ReadStatus().message, "Erro ao abrir COM-2147483648");
}

TEST(ControlFunctions, SessionNumbersThroughTheExport) {
  std::vector<int> got;
  for (int i = 0; i < 100; ++i) got.push_back(GeraNumeroSessao());
  for (std::size_t i = 0; i < got.size(); ++i) {
    EXPECT_GE(got[i], 0);
    EXPECT_LE(got[i], 33766);
    for (std::size_t j = 0; j < i; ++j) EXPECT_NE(got[i], got[j]);
  }
}
