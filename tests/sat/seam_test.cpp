// The SAT path's seam (sat_seam.h), as the device form takes it: each step
// waits for a call that holds the line, then acts on the library's status
// record. (The form's own use of it is tested under Wine, tests/form.)
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include "command_state.h"
#include "sat_seam.h"

using namespace torvex::sat;

namespace {

struct SeamStep {
  const char *name;
  std::function<void()> take;
  std::int32_t code;    // the status the step leaves
  const char *message;  // and its message
};

TEST(SatSeam, EachStepWaitsForTheCallThatHoldsTheLineThenSetsTheStatus) {
  const SeamStep steps[] = {
      {"fatal error", [] { RecordComponentFatalError("TTest::FatalError", "Open Error !!!"); },
       kStatusNotReady, "Open Error !!!"},
      {"clear and load zlib", [] { EXPECT_TRUE(ClearStatusAndLoadZlib()); }, kStatusOk, ""},
  };
  CommandState &state = TheCommandState();
  for (const SeamStep &step : steps) {
    SCOPED_TRACE(step.name);
    const std::string waiting(99, 'w');  // fills the record's message
    state.OneCallAtATime.Acquire();      // as a SAT call running now
    SetStatus(state.StatusRecord, kStatusWaiting, waiting.c_str());
    std::atomic<bool> done{false};
    std::thread reporter([&] {
      step.take();
      done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(done) << "the step did not wait for the line";
    EXPECT_EQ(state.StatusRecord.Code(), kStatusWaiting);
    EXPECT_EQ(std::string(state.StatusRecord.StatusMessage), waiting);
    state.OneCallAtATime.Release();
    reporter.join();
    EXPECT_EQ(state.StatusRecord.Code(), step.code);
    EXPECT_STREQ(state.StatusRecord.StatusMessage, step.message);
    if (step.code == kStatusOk) {  // cleared: all 100 bytes of the message zero
      for (char c : state.StatusRecord.StatusMessage) ASSERT_EQ(c, 0);
    }
  }
}

}  // namespace
