// Time stamps of the trace log, LastTx and LastRx: local time as
// "dd/mm/yyyy hh:mm:ss." followed by the milliseconds with three digits,
// e.g. "08/12/2026 06:04:17.042". One clock reading feeds both halves.
#pragma once
#include <cstdint>

namespace torvex::sat {

struct Timestamp {
  char text[32];
};

Timestamp MakeTimestamp();
// The same, for a given calendar time in milliseconds since the epoch.
Timestamp MakeTimestampAt(std::int64_t epochMs);

}  // namespace torvex::sat
