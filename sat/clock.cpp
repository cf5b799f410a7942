#include "clock.h"

namespace torvex::sat {

void ReplySignal::MarkLineLost() {
  lineLost_.store(true, std::memory_order_release);
  Notify();
}

bool SystemClock::WaitSettled(ReplySignal &signal, std::int64_t ms) {
  return signal.WaitSettled(ms);
}

namespace {
SystemClock g_system_clock;
std::atomic<Clock *> g_clock{&g_system_clock};
}  // namespace

Clock &GetClock() { return *g_clock.load(std::memory_order_acquire); }

void SetClock(Clock *clock) {
  g_clock.store(clock ? clock : &g_system_clock, std::memory_order_release);
}

}  // namespace torvex::sat
