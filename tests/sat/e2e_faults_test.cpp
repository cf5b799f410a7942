// Every way the device can fail, against a short and a long command, in
// virtual time (the library's code linked in, with a test clock): each
// gives its documented code and text within its limit, burns no CPU while
// it waits, and the next command works. Also: a failure inside the library
// (no memory for the reader) never escapes an export.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <new>
#include <string>
#include <thread>

#include "emulator.h"
#include "fakeclock.h"
#include "testutil.h"
#include "torvex.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/resource.h>
#endif

using namespace testutil;

namespace {
const std::string kTimeout = "Timeout na comunica\xc3\xa7\xc3\xa3o com o equipamento.";
const std::string kChecksum = "Erro de checksum na comunica\xc3\xa7\xc3\xa3o com o equipamento.\n";
const std::string kUnknown = "Comando recebido do equipamento n\xc3\xa3o reconhecido.\n";

// CPU seconds this process has used.
double CpuSeconds() {
#ifdef _WIN32
  FILETIME created, ended, kernel, user;
  GetProcessTimes(GetCurrentProcess(), &created, &ended, &kernel, &user);
  auto seconds = [](const FILETIME &t) {
    return ((static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 1e7;
  };
  return seconds(kernel) + seconds(user);
#else
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_utime.tv_sec + u.ru_utime.tv_usec / 1e6 + u.ru_stime.tv_sec +
         u.ru_stime.tv_usec / 1e6;
#endif
}

enum class Wait { kNone, kFull };

struct FaultCase {
  const char *fault;
  int code;                    // -1: code 3 or a time-out (a frame too long to arrive whole)
  const std::string *message;  // returned text; nullptr: the device's reply
  Wait wait;                   // virtual time waited: none, or the whole limit
};

const FaultCase kFaults[] = {
    {"", TORVEX_STATUS_OK, nullptr, Wait::kNone},
    {"noreply", TORVEX_STATUS_TIMEOUT, &kTimeout, Wait::kFull},
    {"delay:200", TORVEX_STATUS_OK, nullptr, Wait::kNone},
    {"badsum", TORVEX_STATUS_CHECKSUM, &kChecksum, Wait::kFull},
    {"badtype", TORVEX_STATUS_UNKNOWN_FRAME, &kUnknown, Wait::kFull},
    {"ack", TORVEX_STATUS_TIMEOUT, &kTimeout, Wait::kFull},
    {"ackdata:20", TORVEX_STATUS_OK, nullptr, Wait::kNone},
    {"ackglued", TORVEX_STATUS_OK, nullptr, Wait::kNone},
    {"split:3:50", TORVEX_STATUS_OK, nullptr, Wait::kNone},
    {"longlen", TORVEX_STATUS_CHECKSUM, &kChecksum, Wait::kFull},
    {"huge", -1, nullptr, Wait::kFull},
    {"garbage", TORVEX_STATUS_UNKNOWN_FRAME, &kUnknown, Wait::kFull},
    {"busy", TORVEX_STATUS_OK, nullptr, Wait::kNone},
    {"unplug:200", TORVEX_STATUS_TIMEOUT, &kTimeout,
     Wait::kNone},  // the lost line ends the wait at once
    {"stall:200", TORVEX_STATUS_TIMEOUT, &kTimeout, Wait::kFull},
    {"reply:999999|08000|de outra sessao||", TORVEX_STATUS_TIMEOUT, &kTimeout, Wait::kFull},
    {"reply:$S|12345|texto|", TORVEX_STATUS_OK, nullptr, Wait::kNone},
};

struct Command {
  const char *name;
  std::function<const char *(int)> call;
  int limitSeconds;
};

const Command kCommands[] = {
    {"ConsultarSAT", [](int s) { return ConsultarSAT(s); }, 2},
    {"AtualizarSoftwareSAT", [](int s) { return AtualizarSoftwareSAT(s, "12345678"); }, 1800},
};

void Sleep(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

class Faults : public emulator::DeviceTest {
 protected:
  void SetUp() override {
    emulator::DeviceTest::SetUp();
    if (IsSkipped()) return;
    ASSERT_EQ(std::string(ConsultarSAT(1)).substr(0, 13), "000001|08000|");  // finds COM7
  }
  // The device answers the next command. It may take a few tries: an
  // unplugged line takes a moment to come back, and a device still sending
  // an over-long frame (slowly, through Wine) spoils the command it lands in.
  void ExpectTheNextCommandWorks(const std::string &after) {
    std::string got;
    for (int attempt = 0; attempt < 20; ++attempt) {
      got = ConsultarSAT(999);
      if (ReadStatus().code == TORVEX_STATUS_OK) break;
      Sleep(100);
    }
    EXPECT_EQ(got.substr(0, 13), "000999|08000|") << "after " << after;
    EXPECT_EQ(ReadStatus().code, TORVEX_STATUS_OK) << "after " << after;
  }
  FakeClock clock_{1765173857000, 1000};
  ScopedClock use_{clock_};
};
}  // namespace

TEST_F(Faults, EveryFaultOnAShortAndALongCommand) {
  int session = 100;
  for (const Command &command : kCommands) {
    for (const FaultCase &c : kFaults) {
      std::string what = std::string(command.name) + " with '" + c.fault + "'";
      ++session;
      if (*c.fault != '\0') emulator::Faults(c.fault);
      clock_.Advance(1000 - clock_.NowMs() % 1000);  // start on a whole second
      clock_.ResetWaited();
      double cpu = CpuSeconds();
      emulator::Stopwatch watch;
      std::string got = command.call(session);
      double wall = watch.Seconds();
      cpu = CpuSeconds() - cpu;
      Status s = ReadStatus();

      if (c.code == -1) {
        EXPECT_TRUE(s.code == TORVEX_STATUS_CHECKSUM || s.code == TORVEX_STATUS_TIMEOUT)
            << what << ": " << s.code;
      } else {
        EXPECT_EQ(s.code, c.code) << what;
      }
      if (c.message != nullptr) {
        EXPECT_EQ(got, *c.message) << what;
        EXPECT_EQ(s.message, *c.message) << what;
      } else if (c.code == TORVEX_STATUS_OK) {
        char head[16];
        std::snprintf(head, sizeof head, "%06d|", session);
        EXPECT_EQ(got.substr(0, 7), head) << what << ": " << got.substr(0, 60);
        EXPECT_EQ(s.message.substr(0, 8), "Codigo: ") << what;
      }
      std::int64_t limitMs = command.limitSeconds * 1000LL;
      if (c.wait == Wait::kFull)
        EXPECT_EQ(clock_.Waited(), limitMs) << what;
      else
        EXPECT_EQ(clock_.Waited(), 0) << what;
        // Waiting costs nothing: a spinning wait would use about as much CPU
        // as the wait took (or twice that, reader and caller).
        // (ThreadSanitizer makes the real work, such as a 2 MiB reply, cost
        // several times its CPU: its runs look for races, the others for spins.)
#if defined(__SANITIZE_THREAD__)
      constexpr double kWorkCpu = 2.0;
#else
      constexpr double kWorkCpu = 0.25;
#endif
      EXPECT_LE(cpu, kWorkCpu + 0.25 * wall) << what << ": " << cpu << " s CPU in " << wall << " s";

      emulator::NoFaults();
      ExpectTheNextCommandWorks(what);
    }
  }
}

// A reply belongs to the command whose session number it carries; two
// commands ask for another session's reply on purpose.
TEST_F(Faults, EachCommandTakesOnlyTheRepliesItAskedFor) {
  struct Case {
    const char *what;
    std::function<const char *()> call;
    const char *reply;  // what the device sends instead of its own answer
    bool accepted;
  } cases[] = {
      {"the consulted session", [] { return ConsultarNumeroSessao(302, "12345678", 301); },
       "reply:000301|11000|consultada||", true},
      {"no such session: the sent number",
       [] { return ConsultarNumeroSessao(303, "12345678", 301); },
       "reply:$S|11003|Sessao inexistente||", true},
      {"a third session", [] { return ConsultarNumeroSessao(304, "12345678", 301); },
       "reply:000555|11000|outra||", false},
      {"the last fiscal session, whatever its number",
       [] { return ConsultarUltimaSessaoFiscal(305, "12345678"); },
       "reply:000777|06000|0000|venda|||", true},
      {"a sale's reply to ConsultarSAT", [] { return ConsultarSAT(306); },
       "reply:000777|06000|0000|venda|||", false},
      {"a reply with no session number", [] { return ConsultarSAT(307); },
       "reply:08000|SAT em Operacao||", false},
  };
  for (const auto &c : cases) {
    emulator::Faults(c.reply);
    std::string got = c.call();
    std::string sent = std::string(c.reply).substr(6);
    if (sent.rfind("$S", 0) == 0) sent = "000303" + sent.substr(2);
    if (c.accepted) {
      EXPECT_EQ(got, sent) << c.what;
      EXPECT_EQ(ReadStatus().code, TORVEX_STATUS_OK) << c.what;
    } else {
      EXPECT_EQ(got, kTimeout) << c.what;
      EXPECT_EQ(ReadStatus().code, TORVEX_STATUS_TIMEOUT) << c.what;
    }
  }
}

// The trace log tells why a command got nothing: a discarded reply, a
// lost line.
TEST_F(Faults, TraceLogNamesDiscardedRepliesAndLostLines) {
  std::string path = emulator::Scratch("faults-trace.log");
  ArquivoLog(path.c_str());
  emulator::Faults("reply:999999|08000|de outra sessao||");
  ConsultarSAT(311);
  emulator::Faults("unplug:200");
  ConsultarSAT(312);
  std::string text = MaskStamps(ReadTextFile(path));
  EXPECT_NE(text.find("@@@@@S@T:<TS> RxThread RXDATA:\n999999|08000|de outra sessao||\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("S@T:<TS> RxThread Resposta de outra sessao descartada\n"), std::string::npos)
      << text;
  EXPECT_NE(text.find("S@T:<TS> RxThread Linha serial perdida\n"), std::string::npos) << text;
  emulator::NoFaults();
  ExpectTheNextCommandWorks("unplug");
}

// ---- A failure inside the library ------------------------------------------

// Allocations of 2 MiB or more (the reader's receive buffer) fail while
// armed. Everything else is allocated as usual.
namespace {
std::atomic<bool> g_failLargeAllocations{false};
}

void *operator new(std::size_t size) {
  if (size >= 2u * 1024 * 1024 && g_failLargeAllocations.load()) throw std::bad_alloc();
  if (void *p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void *p) noexcept { std::free(p); }
void operator delete(void *p, std::size_t) noexcept { std::free(p); }

TEST_F(Faults, NoMemoryForTheReaderIsReportedAndLeavesThePortFree) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizer's allocator takes the place of this test's operator new";
#endif
  g_failLargeAllocations = true;
  std::string got = ConsultarSAT(201);
  int rc = AbreSerialSAT(7, 115200, 8, 0, 1);
  g_failLargeAllocations = false;
  EXPECT_EQ(got, "Erro interno da biblioteca: memoria insuficiente");
  EXPECT_EQ(rc, 1);
  Status s = ReadStatus();
  EXPECT_EQ(s.code, TORVEX_STATUS_NOT_READY);
  EXPECT_EQ(s.message, "Erro interno da biblioteca: memoria insuficiente");
  // The port was not left held or marked open: the next command works.
  got = ConsultarSAT(202);
  EXPECT_EQ(got.substr(0, 13), "000202|08000|") << got;
}
