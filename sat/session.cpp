#include "session.h"

#include "clock.h"
#include "satstate.h"

namespace torvex::sat {

int SessionRandom::Next() {
  state_ = state_ * 214013u + 2531011u;
  return static_cast<int>((state_ >> 16) & 0x7fffu);
}

namespace {
SessionRandom g_random;

bool InRing(std::int32_t candidate) {
  for (std::int32_t n : SessionRing.Numbers)
    if (n == candidate) return true;
  return false;
}
}  // namespace

std::int32_t NextSessionNumber() {
  std::int64_t now = GetClock().NowMs();
  auto ms = static_cast<std::int32_t>(((now % 1000) + 1000) % 1000);
  std::int32_t candidate;
  do {
    candidate = ms + g_random.Next() % (1000000 - ms);
  } while (InRing(candidate));
  SessionRing.Numbers[SessionRing.Next] = candidate;
  SessionRing.Next = (SessionRing.Next + 1) % 100;
  return candidate;
}

}  // namespace torvex::sat
