#include "clock.h"

#include <chrono>

namespace torvex::sat {

void ReplySignal::MarkLineLost() {
  lineLost_.store(true, std::memory_order_release);
  Notify();
}

std::int64_t SystemClock::NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
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

std::uint32_t TickMs() {
  using namespace std::chrono;
  return static_cast<std::uint32_t>(
      duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

}  // namespace torvex::sat
