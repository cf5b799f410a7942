// A real serial port under Wine: COM7 is a pseudo-terminal that sends back
// what it receives (run through pty-com).
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "nrsysutils.h"
#include "nrwin32.h"

namespace {
constexpr unsigned kPort = 7;
}

TEST(SerialPort, OpenWriteReadAndCancelOnAPseudoTerminal) {
  HANDLE port = OpenPort(kPort);
  ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastSysErrorString();

  // (Wine does not refuse a second opener of a serial device, so the port
  // in use is not tested here.)
  EXPECT_TRUE(WriteSync(port, "hello", 5));
  char back[5] = {};
  EXPECT_TRUE(ReadSync(port, back, 5));
  EXPECT_EQ(std::string(back, 5), "hello");

  EXPECT_TRUE(WriteAsync(port, "xyz", 3));  // started; the echo tells it went out
  char async[3] = {};
  EXPECT_TRUE(ReadSync(port, async, 3));
  EXPECT_EQ(std::string(async, 3), "xyz");

  EXPECT_TRUE(nrCancelIO(port));
  CloseHandle(port);

  // Closed and opened again: the pair is still there.
  port = OpenPort(kPort);
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  CloseHandle(port);
}
