// The clocks of the SAT command path, behind one small seam so that tests
// can run the long wait limits (300 s, 1800 s) in virtual time.
//
//  - The calendar clock (milliseconds since the epoch) times the command
//    waits, whose limits are whole seconds of the calendar clock, and feeds
//    the time stamps.
//  - The reply signal lets the waiting command sleep until the reader thread
//    releases it: the command reacts at once, and burns no CPU meanwhile.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace torvex::sat {

// Wakes a thread waiting for an atomic status to reach 0. The reader stores
// the status (release) and then calls Notify; the waiter re-checks the status
// under the mutex, so a wake-up is never lost.
class ReplySignal {
 public:
  void Notify();
  // Waits up to ms for status to become 0; returns whether it is 0.
  bool WaitForZero(const std::atomic<std::int32_t> &status, std::int64_t ms);

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
};

class Clock {
 public:
  virtual ~Clock() = default;
  // Calendar time, milliseconds since 1970-01-01 UTC.
  virtual std::int64_t NowMs() = 0;
  // Waits up to ms (calendar time) for status to become 0.
  virtual bool WaitForZero(ReplySignal &signal, const std::atomic<std::int32_t> &status,
                           std::int64_t ms) = 0;
};

// The system clock; waits really sleep.
class SystemClock final : public Clock {
 public:
  std::int64_t NowMs() override;
  bool WaitForZero(ReplySignal &signal, const std::atomic<std::int32_t> &status,
                   std::int64_t ms) override;
};

// The clock in use (the system clock unless a test installed another).
Clock &GetClock();
// Installs clock (nullptr restores the system clock). For tests.
void SetClock(Clock *clock);

// Milliseconds of a monotonic counter, wrapping at 32 bits like the system
// tick counter: differences are taken unsigned.
std::uint32_t TickMs();

}  // namespace torvex::sat
