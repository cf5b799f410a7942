// Finding the device: each case runs in a process of its own, with the
// ports its ctest entry sets up (see CMakeLists.txt), since the library
// remembers the port it found for the rest of its life.
#include <gtest/gtest.h>

#include <string>

#include "emulator.h"
#include "testutil.h"
#include "torvex.h"

using namespace testutil;
using emulator::Stopwatch;

// No port at all.
TEST(Probe, NoDeviceMeansNotReadyEverywhere) {
  Status s = ReadStatus();
  EXPECT_EQ(s.code, TORVEX_STATUS_OK);  // right after load
  EXPECT_EQ(s.message, "");
  EXPECT_EQ(std::string(LastTx()), "");
  EXPECT_EQ(std::string(LastRx()), "");

  EXPECT_EQ(std::string(ConsultarSAT(1)), kNotReady);
  s = ReadStatus();
  EXPECT_EQ(s.code, TORVEX_STATUS_NOT_READY);
  EXPECT_EQ(s.message, "Erro ao abrir ");  // no port was ever named
  EXPECT_EQ(std::string(AssociarAssinatura(2, "x", "y", "z")), kNotReady + "!");
  EXPECT_EQ(AbreSerialSAT(5, 115200, 8, 0, 1), 1);
  EXPECT_EQ(ReadStatus().message, "Erro ao abrir COM5");
  EXPECT_EQ(std::string(ExtrairLogs(3, "x")), kNotReady);
  EXPECT_EQ(ReadStatus().message, "Erro ao abrir COM5");
  EXPECT_EQ(std::string(LastTx()), "");  // nothing was ever sent
}

// The device on COM7, a port on COM3 that never answers.
TEST(Probe, SkipsASilentPortAndRemembersTheDevice) {
  REQUIRE_EMULATOR();
  Stopwatch first;
  std::string got = ConsultarSAT(21);
  double firstSeconds = first.Seconds();
  EXPECT_EQ(got.substr(0, 13), "000021|08000|") << got;
  EXPECT_LE(firstSeconds, 3.5);
  Stopwatch second;
  got = ConsultarSAT(22);
  EXPECT_EQ(got.substr(0, 13), "000022|08000|") << got;
  EXPECT_LT(second.Seconds(), 0.5);  // straight to COM7
}

// The device goes away in the middle of a command.
TEST(Probe, DeviceThatGoesAwayTimesOutThenIsNotReady) {
  REQUIRE_EMULATOR();
  std::string got = ConsultarSAT(31);
  ASSERT_EQ(got.substr(0, 13), "000031|08000|") << got;
  emulator::Faults("vanish");
  Stopwatch watch;
  got = ConsultarSAT(32);
  EXPECT_NE(ReadStatus().code, TORVEX_STATUS_OK);
  EXPECT_LE(watch.Seconds(), 3.0);
  got = ConsultarSAT(33);
  Status s = ReadStatus();
  if (s.code == TORVEX_STATUS_NOT_READY) {
    EXPECT_EQ(got, kNotReady);
    EXPECT_EQ(s.message, "Erro ao abrir COM7");
  } else {
    EXPECT_EQ(s.code, TORVEX_STATUS_TIMEOUT);  // the port still opens, but nobody answers
  }
}
