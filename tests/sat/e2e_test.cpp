// End to end: the real library (libtorvex.so, or torvex.dll under Wine)
// against the device emulator on a virtual COM port (COM7), with the
// emulator's faults switched per test.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "emulator.h"
#include "testutil.h"
#include "torvex.h"

using namespace testutil;
using emulator::Faults;
using emulator::Stopwatch;

namespace {
const std::string kTimeout = "Timeout na comunica\xc3\xa7\xc3\xa3o com o equipamento.";
const std::string kChecksum = "Erro de checksum na comunica\xc3\xa7\xc3\xa3o com o equipamento.\n";
const std::string kUnknown = "Comando recebido do equipamento n\xc3\xa3o reconhecido.\n";
const std::string kNonConforming =
    "Mensagem recebida do equipamento fora de conformidade. Erro desconhecido.";

using EndToEnd = emulator::DeviceTest;
}  // namespace

TEST_F(EndToEnd, ConsultarSATReturnsTheDevicesReply) {
  std::string reply = ConsultarSAT(42);
  EXPECT_EQ(reply.substr(0, 13), "000042|08000|") << reply;
  EXPECT_NE(reply.find("SAT em Opera\xc3\xa7\xc3\xa3o"), std::string::npos) << reply;
  Status s = ReadStatus();
  EXPECT_EQ(s.code, TORVEX_STATUS_OK);
  EXPECT_EQ(s.message, "Codigo: 08000.\nSAT em Opera\xc3\xa7\xc3\xa3o");
  EXPECT_EQ(AfterStamp(LastTx()), "000042|ConsultarSAT");
  EXPECT_EQ(AfterStamp(LastRx()), reply);
}

TEST_F(EndToEnd, SessionNumberIsPrintedWithAtLeastSixDigits) {
  ConsultarSAT(1234567);
  EXPECT_EQ(AfterStamp(LastTx()), "1234567|ConsultarSAT");
  ConsultarSAT(0);
  EXPECT_EQ(AfterStamp(LastTx()), "000000|ConsultarSAT");
}

TEST_F(EndToEnd, ReplyFieldsAsTheDeviceSendsThem) {
  struct Case {
    const char *reply;
    const char *code;  // nullptr: too few fields
    const char *message;
  } cases[] = {
      {"123456|12345|texto|mais", "12345", "texto"},
      {"123456|12345", nullptr, nullptr},
      {"123456|12345||", nullptr, nullptr},
  };
  for (const auto &c : cases) {
    Faults(std::string("reply:") + c.reply);
    std::string got = ConsultarSAT(123456);
    Status s = ReadStatus();
    EXPECT_EQ(s.code, TORVEX_STATUS_OK) << c.reply;
    if (c.code) {
      EXPECT_EQ(got, c.reply);
      EXPECT_EQ(s.message, std::string("Codigo: ") + c.code + ".\n" + c.message);
    } else {
      EXPECT_EQ(got, kNonConforming) << c.reply;
      EXPECT_EQ(s.message, "") << c.reply;
    }
    EXPECT_EQ(AfterStamp(LastRx()), c.reply);
  }
}

TEST_F(EndToEnd, NoReplyTimesOutAfterTheLimitInCalendarSeconds) {
  Faults("noreply");
  Stopwatch watch;
  std::string got = ConsultarSAT(1);
  double elapsed = watch.Seconds();
  EXPECT_EQ(got, kTimeout);
  EXPECT_EQ(ReadStatus().code, TORVEX_STATUS_TIMEOUT);
  EXPECT_EQ(ReadStatus().message, kTimeout);
  EXPECT_EQ(AfterStamp(LastRx()), kTimeout);
  EXPECT_GE(elapsed, 0.9);
  EXPECT_LE(elapsed, 3.0);
}

TEST_F(EndToEnd, DamagedRepliesEndWithTheirCodesAfterTheWholeWait) {
  struct Case {
    const char *fault;
    int code;
    const std::string &message;
  } cases[] = {
      {"badsum", TORVEX_STATUS_CHECKSUM, kChecksum},
      {"longlen", TORVEX_STATUS_CHECKSUM, kChecksum},
      {"badtype", TORVEX_STATUS_UNKNOWN_FRAME, kUnknown},
      {"ack", TORVEX_STATUS_TIMEOUT, kTimeout},
  };
  for (const auto &c : cases) {
    Faults(c.fault);
    Stopwatch watch;
    std::string got = ConsultarSAT(2);
    EXPECT_EQ(got, c.message) << c.fault;
    EXPECT_EQ(ReadStatus().code, c.code) << c.fault;
    EXPECT_GE(watch.Seconds(), 0.9) << c.fault;  // codes 3 and 4 do not end the wait
    EXPECT_EQ(AfterStamp(LastRx()), c.message) << c.fault;
  }
}

TEST_F(EndToEnd, SlowOrPiecewiseRepliesStillArrive) {
  // ACK and data in one burst, or a frame whose pieces come further apart
  // than the 35 ms gap: every frame of a burst counts, and an unfinished
  // frame waits for its rest.
  for (const char *fault :
       {"ackdata:60", "ackdata:20", "ackglued", "split:3:10", "split:3:50", "delay:300"}) {
    Faults(fault);
    Stopwatch watch;
    std::string got = ConsultarSAT(3);
    EXPECT_EQ(got.substr(0, 13), "000003|08000|") << fault << ": " << got;
    EXPECT_EQ(ReadStatus().code, TORVEX_STATUS_OK) << fault;
    EXPECT_LT(watch.Seconds(), 1.5) << fault;  // released at once, not at the limit
  }
}

TEST_F(EndToEnd, ACorrectReplyAfterAFaultyCommandIsNotDisturbed) {
  Faults("garbage:64");
  ConsultarSAT(4);
  EXPECT_NE(ReadStatus().code, TORVEX_STATUS_OK);
  std::string got = ConsultarSAT(5);
  EXPECT_EQ(got.substr(0, 13), "000005|08000|") << got;
}

TEST_F(EndToEnd, OversizedReplyIsCutNotOverflowed) {
  Faults("huge");
  std::string got = ConsultarSAT(6);
  Status s = ReadStatus();
  // Cut to 2 MiB, the frame cannot check out (3), or it was still on its way
  // when the limit passed (32768). Its tail is dropped, never stored.
  EXPECT_TRUE(s.code == TORVEX_STATUS_CHECKSUM || s.code == TORVEX_STATUS_TIMEOUT) << s.code;
  EXPECT_LE(std::string(LastRx()).size(), 2u * 1024 * 1024 + 24);
  // The library recovers once the device has finished sending.
  int code = -1;
  for (int attempt = 0; attempt < 4 && code != TORVEX_STATUS_OK; ++attempt) {
    got = ConsultarSAT(7);
    code = ReadStatus().code;
  }
  EXPECT_EQ(code, TORVEX_STATUS_OK) << got.substr(0, 40);
}

TEST_F(EndToEnd, TraceLogOfOneCommandInOrder) {
  std::string path = emulator::Scratch("trace.log");
  ArquivoLog(path.c_str());
  ConsultarSAT(77);
  std::string text = MaskStamps(ReadTextFile(path));
  std::vector<std::string> lines = Lines(text);
  ASSERT_GE(lines.size(), 7u) << text;
  EXPECT_EQ(lines[0], "S@T:<TS> ConsultarSAT 000077|ConsultarSAT");
  EXPECT_EQ(lines[1], "S@T:<TS> EnviaComando TXDATA:");
  EXPECT_EQ(lines[2].substr(0, 2), "1 ");
  std::size_t rx = text.find("S@T:<TS> RxThread RXDATA:\n" + std::string(20, ' ') +
                             "@@@@@S@T:<TS> RxThread RXDATA:\n000077|08000|");
  EXPECT_NE(rx, std::string::npos) << text;
}

TEST_F(EndToEnd, SequenceByteRisesByOneFrameAfterFrame) {
  std::string path = emulator::Scratch("sequence.log");
  ArquivoLog(path.c_str());
  ConsultarSAT(8);
  ConsultarSAT(9);
  std::vector<std::string> lines = Lines(ReadTextFile(path));
  std::vector<unsigned> seqs;
  for (std::size_t i = 0; i + 1 < lines.size(); ++i)
    if (lines[i].find("TXDATA:") != std::string::npos)
      seqs.push_back(static_cast<unsigned>(std::stoul(lines[i + 1].substr(2), nullptr, 16)));
  ASSERT_EQ(seqs.size(), 2u);
  EXPECT_EQ(seqs[1], (seqs[0] + 1) & 0xff);
}

// AbreSerialSAT names the port that later commands use.
TEST_F(EndToEnd, AbreSerialSATTestsAndNamesThePort) {
  ConsultarSAT(10);  // the probe has found COM7
  EXPECT_EQ(AbreSerialSAT(28, 115200, 8, 0, 1), 1);
  EXPECT_EQ(ReadStatus().code, TORVEX_STATUS_NOT_READY);
  EXPECT_EQ(ReadStatus().message, "Erro ao abrir COM28");
  EXPECT_EQ(std::string(ConsultarSAT(11)), kNotReady);
  EXPECT_EQ(ReadStatus().message, "Erro ao abrir COM28");
  EXPECT_EQ(AbreSerialSAT(7, 9600, 7, 2, 1), 0);
  EXPECT_EQ(ReadStatus().code, TORVEX_STATUS_OK);
  EXPECT_EQ(ReadStatus().message, "Porta COM7 aberta com sucesso");
  std::string got = ConsultarSAT(12);
  EXPECT_EQ(got.substr(0, 13), "000012|08000|") << got;
}

// Several threads calling at once: each waits its turn, gets its own reply,
// and its text stays as it was while the others call.
TEST_F(EndToEnd, ConcurrentCallersEachGetTheirOwnReply) {
  constexpr int kThreads = 8;
  constexpr int kRounds = 4;
  std::vector<std::thread> threads;
  std::vector<std::string> problems(kThreads);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &problems] {
      for (int round = 0; round < kRounds; ++round) {
        int session = 500000 + t * 100 + round;
        char head[16];
        std::snprintf(head, sizeof head, "%06d|", session);
        const char *reply = round % 2 == 0 ? ConsultarSAT(session)
                                           : ConsultarStatusOperacional(session, "12345678");
        std::string copy = reply;
        if (copy.compare(0, 7, head) != 0) problems[t] += "got '" + copy.substr(0, 20) + "'; ";
        std::this_thread::sleep_for(std::chrono::milliseconds(20));  // others call meanwhile
        if (copy != reply) problems[t] += "text changed under its caller; ";
      }
    });
  }
  for (auto &th : threads) th.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(problems[t], "") << "thread " << t;
}

// A reply that comes after its command gave up is not the next command's:
// the next command discards it and takes its own.
TEST_F(EndToEnd, ALateReplyIsNotTakenByTheNextCommand) {
  Faults("delay:2300@ConsultarSAT");  // later than ConsultarSAT's limit of 2 s
  EXPECT_EQ(std::string(ConsultarSAT(601)), kTimeout);
  std::string got = ConsultarStatusOperacional(602, "12345678");  // 3 s
  EXPECT_EQ(got.substr(0, 9), "000602|10") << got;
  EXPECT_EQ(ReadStatus().code, TORVEX_STATUS_OK);
  EXPECT_EQ(AfterStamp(LastRx()).substr(0, 7), "000602|");
}

// A device that stops reading: a command larger than the line's buffers
// cannot be written whole, and the write gives up within the command's limit
// (3 s here) instead of blocking until the device reads again.
TEST_F(EndToEnd, AStalledDeviceDoesNotHoldTheCallerPastTheLimit) {
  Faults("stall:8000@ConsultarSAT");
  EXPECT_EQ(std::string(ConsultarSAT(701)), kTimeout);
  std::string big(100000, 'x');
  Stopwatch watch;
  std::string got = ConsultarStatusOperacional(702, big.c_str());
  EXPECT_EQ(got, kTimeout);
  EXPECT_EQ(ReadStatus().code, TORVEX_STATUS_TIMEOUT);
  EXPECT_LT(watch.Seconds(), 10.0);  // a limit of 3 s; blocked writes took minutes
  // Once the device reads again (and has dropped the half frame), it
  // answers.
  int code = -1;
  for (int attempt = 0; attempt < 10 && code != TORVEX_STATUS_OK; ++attempt) {
    ConsultarSAT(703);
    code = ReadStatus().code;
  }
  EXPECT_EQ(code, TORVEX_STATUS_OK);
}
