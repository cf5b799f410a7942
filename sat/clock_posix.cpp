// The waits of the SAT path on POSIX: the standard library's mutex and
// condition variable.
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "clock.h"

namespace torvex::sat {

struct Lock::Impl {
  std::mutex mutex;
};

Lock::Lock() : impl_(std::make_unique<Impl>()) {}
Lock::~Lock() = default;
void Lock::Acquire() { impl_->mutex.lock(); }
void Lock::Release() { impl_->mutex.unlock(); }

struct ReplySignal::Gate {
  std::mutex mutex;
  std::condition_variable cv;
};

ReplySignal::ReplySignal(const std::atomic<std::int32_t> &status)
    : status_(status), gate_(std::make_unique<Gate>()) {}
ReplySignal::~ReplySignal() = default;

void ReplySignal::Notify() {
  // Taking the mutex orders this notification after a waiter's check of the
  // status, so the waiter either sees the new status or gets the wake-up.
  { std::lock_guard<std::mutex> lock(gate_->mutex); }
  gate_->cv.notify_all();
}

void ReplySignal::Rearm() { lineLost_.store(false, std::memory_order_release); }

bool ReplySignal::WaitSettled(std::int64_t ms) {
  std::unique_lock<std::mutex> lock(gate_->mutex);
  if (ms <= 0) return Settled();
  return gate_->cv.wait_for(lock, std::chrono::milliseconds(ms), [&] { return Settled(); });
}

std::int64_t SystemClock::NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

std::uint32_t TickMs() {
  using namespace std::chrono;
  return static_cast<std::uint32_t>(
      duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

}  // namespace torvex::sat
