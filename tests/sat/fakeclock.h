// A calendar clock for tests: time stands still until a command waits, and a
// wait that no reply ends moves the clock on by the whole wait at once. A
// reply that really comes within a short real-time slice still ends the wait
// as it would with the system clock.
#pragma once
#include <atomic>
#include <cstdint>

#include "clock.h"

class FakeClock final : public torvex::sat::Clock {
 public:
  explicit FakeClock(std::int64_t startMs = 1765173857000, std::int64_t realSliceMs = 300)
      : now_(startMs), slice_(realSliceMs) {}

  std::int64_t NowMs() override { return now_.load(); }

  bool WaitSettled(torvex::sat::ReplySignal &signal, std::int64_t ms) override {
    if (signal.WaitSettled(ms < slice_ ? ms : slice_)) return true;
    now_ += ms;
    waited_ += ms;
    return signal.Settled();
  }

  void Advance(std::int64_t ms) { now_ += ms; }
  // Virtual milliseconds that waits have skipped since the last Reset.
  std::int64_t Waited() const { return waited_.load(); }
  void ResetWaited() { waited_ = 0; }

 private:
  std::atomic<std::int64_t> now_;
  std::atomic<std::int64_t> waited_{0};
  std::int64_t slice_;
};

// Installs a clock for the lifetime of the object.
class ScopedClock {
 public:
  explicit ScopedClock(torvex::sat::Clock &clock) { torvex::sat::SetClock(&clock); }
  ~ScopedClock() { torvex::sat::SetClock(nullptr); }
};
