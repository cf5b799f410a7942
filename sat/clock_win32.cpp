// The waits of the SAT path on Win32: a critical section, and an
// auto-reset event for the reply signal. Only calls that Windows XP has.
//
// Nothing here goes through the C++ library's threading, which with the
// posix thread model of MinGW gives every program thread that waits in it a
// record of the thread library (see clock.h).
#include <windows.h>

#include "clock.h"

namespace torvex::sat {

struct Lock::Impl {
  CRITICAL_SECTION section;
};

Lock::Lock() : impl_(std::make_unique<Impl>()) { InitializeCriticalSection(&impl_->section); }
Lock::~Lock() { DeleteCriticalSection(&impl_->section); }
void Lock::Acquire() { EnterCriticalSection(&impl_->section); }
void Lock::Release() { LeaveCriticalSection(&impl_->section); }

// The event stays set once a notification came, until the waiter has taken
// it, so a notification that comes before the waiter sleeps is not lost.
struct ReplySignal::Gate {
  HANDLE event = nullptr;
};

ReplySignal::ReplySignal(const std::atomic<std::int32_t> &status)
    : status_(status), gate_(std::make_unique<Gate>()) {
  gate_->event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
}

ReplySignal::~ReplySignal() {
  if (gate_->event != nullptr) CloseHandle(gate_->event);
}

void ReplySignal::Notify() {
  if (gate_->event != nullptr) SetEvent(gate_->event);
}

void ReplySignal::Rearm() {
  lineLost_.store(false, std::memory_order_release);
  if (gate_->event != nullptr) ResetEvent(gate_->event);
}

bool ReplySignal::WaitSettled(std::int64_t ms) {
  if (Settled()) return true;
  if (ms <= 0) return false;
  std::uint32_t start = TickMs();
  for (;;) {
    std::int64_t left = ms - static_cast<std::uint32_t>(TickMs() - start);
    if (left <= 0) return Settled();
    DWORD wait = left < 0x7fffffff ? static_cast<DWORD>(left) : 0x7fffffff;
    if (gate_->event == nullptr) {
      Sleep(wait < 10 ? wait : 10);  // no event could be made: look again every 10 ms
    } else {
      WaitForSingleObject(gate_->event, wait);
    }
    // A notification left from an earlier command wakes the waiter too:
    // only the status says whether this command is settled.
    if (Settled()) return true;
  }
}

// The system's own clocks: the C++ library's would link in the thread
// library's thread records (see runtime/rtcrt_win32.h).
std::int64_t SystemClock::NowMs() {
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);  // 100 ns units since 1601-01-01
  ULARGE_INTEGER t;
  t.LowPart = ft.dwLowDateTime;
  t.HighPart = ft.dwHighDateTime;
  constexpr std::uint64_t kEpochDifference = 116444736000000000ULL;  // 1601 to 1970
  return static_cast<std::int64_t>((t.QuadPart - kEpochDifference) / 10000);
}

std::uint32_t TickMs() { return GetTickCount(); }

}  // namespace torvex::sat
