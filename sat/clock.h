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

// Wakes the command waiting for its reply. The command is settled when the
// status it watches reaches 0 (a reply came) or the line was lost (the
// device went away: no reply can come). The reader stores the status
// (release), or marks the line lost, and then calls Notify; the waiter
// re-checks under the mutex, so a wake-up is never lost.
class ReplySignal {
 public:
  explicit ReplySignal(const std::atomic<std::int32_t> &status) : status_(status) {}

  void Notify();
  // Reader side: the line is gone; wakes the waiter.
  void MarkLineLost();
  // Before a command is sent: the line is taken to be alive.
  void ResetLineLost() { lineLost_.store(false, std::memory_order_release); }
  bool LineLost() const { return lineLost_.load(std::memory_order_acquire); }
  // True when a reply came or the line was lost.
  bool Settled() const { return status_.load(std::memory_order_acquire) == 0 || LineLost(); }
  // Waits up to ms for the command to be settled; returns Settled().
  bool WaitSettled(std::int64_t ms);

 private:
  const std::atomic<std::int32_t> &status_;
  std::atomic<bool> lineLost_{false};
  std::mutex mutex_;
  std::condition_variable cv_;
};

class Clock {
 public:
  virtual ~Clock() = default;
  // Calendar time, milliseconds since 1970-01-01 UTC.
  virtual std::int64_t NowMs() = 0;
  // Waits up to ms (calendar time) for the command to be settled.
  virtual bool WaitSettled(ReplySignal &signal, std::int64_t ms) = 0;
};

// The system clock; waits really sleep.
class SystemClock final : public Clock {
 public:
  std::int64_t NowMs() override;
  bool WaitSettled(ReplySignal &signal, std::int64_t ms) override;
};

// The clock in use (the system clock unless a test installed another).
Clock &GetClock();
// Installs clock (nullptr restores the system clock). For tests.
void SetClock(Clock *clock);

// Milliseconds of a monotonic counter, wrapping at 32 bits like the system
// tick counter: differences are taken unsigned.
std::uint32_t TickMs();

}  // namespace torvex::sat
