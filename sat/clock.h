// The clocks and the waits of the SAT command path, behind one small seam:
// tests can run the long wait limits (300 s, 1800 s) in virtual time, and
// each platform blocks with its own primitives.
//
//  - The calendar clock (milliseconds since the epoch) times the command
//    waits, whose limits are whole seconds of the calendar clock, and feeds
//    the time stamps.
//  - The reply signal lets the waiting command sleep until the reader thread
//    releases it: the command reacts at once, and burns no CPU meanwhile.
//  - Lock keeps one thread at a time in a piece of the path.
//
// Win32 (clock_win32.cpp): a critical section and an event. A program's
// thread that calls into torvex.dll never waits on the C++ library's
// threading there: with the MinGW posix thread model that would give the
// thread a record of the thread library, with a thread-local slot taken
// for every load of the library and never given back at unload (a program
// that loads and unloads the library runs out of slots after about a
// thousand loads). POSIX (clock_posix.cpp): std::mutex and
// std::condition_variable.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>

namespace torvex::sat {

// A lock of the platform's own kind. Not recursive.
class Lock {
 public:
  Lock();
  ~Lock();
  Lock(const Lock &) = delete;
  Lock &operator=(const Lock &) = delete;

  void Acquire();
  void Release();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Holds a lock for its scope.
class Locked {
 public:
  explicit Locked(Lock &lock) : lock_(lock) { lock_.Acquire(); }
  ~Locked() { lock_.Release(); }
  Locked(const Locked &) = delete;
  Locked &operator=(const Locked &) = delete;

 private:
  Lock &lock_;
};

// Wakes the command waiting for its reply. The command is settled when the
// status it watches reaches 0 (a reply came) or the line was lost (the
// device went away: no reply can come). The reader stores the status
// (release), or marks the line lost, and then calls Notify; a wake-up is
// never lost, whether it comes before the waiter sleeps or after.
class ReplySignal {
 public:
  explicit ReplySignal(const std::atomic<std::int32_t> &status);
  ~ReplySignal();
  ReplySignal(const ReplySignal &) = delete;
  ReplySignal &operator=(const ReplySignal &) = delete;

  // Reader side: the status was stored; wakes the waiter.
  void Notify();
  // Reader side: the line is gone; wakes the waiter.
  void MarkLineLost();
  // Before a command is sent: the line is taken to be alive, and wake-ups
  // left over from an earlier command are forgotten.
  void Rearm();
  bool LineLost() const { return lineLost_.load(std::memory_order_acquire); }
  // True when a reply came or the line was lost.
  bool Settled() const { return status_.load(std::memory_order_acquire) == 0 || LineLost(); }
  // Waits up to ms for the command to be settled; returns Settled(). Returns
  // earlier only when settled.
  bool WaitSettled(std::int64_t ms);

 private:
  struct Gate;  // the platform's sleeping and waking
  const std::atomic<std::int32_t> &status_;
  std::atomic<bool> lineLost_{false};
  std::unique_ptr<Gate> gate_;
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
