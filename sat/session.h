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

// The generator and the last 100 session numbers handed out (entries never
// written hold 0).
struct SessionNumbers {
  SessionRandom random;
  std::int32_t SessionRing[100] = {};
  int next = 0;  // the ring's next slot
};

// A new session number: the clock's millisecond part plus a draw, redrawn
// while it equals one of the last 100 numbers, which it then joins. Always
// within 0..33766.
std::int32_t NextSessionNumber(SessionNumbers &numbers);

}  // namespace torvex::sat
