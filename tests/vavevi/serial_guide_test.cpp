// The example of docs/serial.md, taken from the page when the build is
// configured and built against torvex.dll, run against a modem on the far
// end of the cable: it must print and return what the page says.
#define main GuideExample
#include "serial_guide_example.cpp"
#undef main

#include <gtest/gtest.h>

#include <thread>

#include "comm_support.h"

TEST(SerialGuide, TheExampleAsksTheModemAndClosesAgain) {
  struct Case {
    const char *answer;
    int result;
  } cases[] = {{"\r\nOK\r\n", 0}, {"\r\nERROR\r\n", 1}};
  for (const Case &c : cases) {
    Peer modem;
    ASSERT_TRUE(modem.Ok());
    std::string heard;
    std::thread answering([&] {
      heard = modem.Read(3);
      modem.Write(c.answer);
    });
    char name[] = "guide", port[] = "7";
    char *argv[] = {name, port};
    EXPECT_EQ(GuideExample(2, argv), c.result) << c.answer;
    answering.join();
    EXPECT_EQ(heard, "AT\r");
  }
  char name[] = "guide", port[] = "42";
  char *argv[] = {name, port};
  EXPECT_EQ(GuideExample(2, argv), 2) << "no such port: the open error";
}
