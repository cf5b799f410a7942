// Session numbers: each new number differs from the last 100 handed out.
#pragma once
#include <cstdint>

namespace torvex::sat {

// The pseudo-random generator behind session numbers: the classic C runtime
// generator of the platform the library was first built for (a linear
// congruential generator yielding 0..32767), never seeded. Its sequence is
// the same in every process and on every platform.
class SessionRandom {
 public:
  int Next();

 private:
  std::uint32_t state_ = 1;
};

// A new session number: the clock's millisecond part plus a draw, redrawn
// while it equals one of the last 100 numbers. Always within 0..33766.
std::int32_t NextSessionNumber();

}  // namespace torvex::sat
