#include "session.h"

#include "clock.h"

namespace torvex::sat {

int SessionRandom::Next() {
  state_ = state_ * 214013u + 2531011u;
  return static_cast<int>((state_ >> 16) & 0x7fffu);
}

namespace {
bool InRing(const SessionNumbers &numbers, std::int32_t candidate) {
  for (std::int32_t n : numbers.SessionRing)
    if (n == candidate) return true;
  return false;
}
}  // namespace

std::int32_t NextSessionNumber(SessionNumbers &numbers) {
  std::int64_t now = GetClock().NowMs();
  auto ms = static_cast<std::int32_t>(((now % 1000) + 1000) % 1000);
  std::int32_t candidate;
  do {
    candidate = ms + numbers.random.Next() % (1000000 - ms);
  } while (InRing(numbers, candidate));
  numbers.SessionRing[numbers.next] = candidate;
  numbers.next = (numbers.next + 1) % 100;
  return candidate;
}

}  // namespace torvex::sat
