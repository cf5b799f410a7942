#include "timestamp.h"

#include <ctime>

#include "clock.h"
#include "platform.h"
#include "text.h"

namespace torvex::sat {

Timestamp MakeTimestampAt(std::int64_t epochMs) {
  Timestamp ts{};
  std::int64_t seconds = epochMs / 1000;
  int ms = static_cast<int>(epochMs % 1000);
  if (ms < 0) {
    ms += 1000;
    --seconds;
  }
  std::tm tm{};
  if (!LocalTime(static_cast<std::time_t>(seconds), &tm)) return ts;
  FormatText(ts.text, sizeof ts.text, "%02d/%02d/%04d %02d:%02d:%02d.%03d", tm.tm_mday,
             tm.tm_mon + 1, tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec, ms);
  return ts;
}

Timestamp MakeTimestamp() { return MakeTimestampAt(GetClock().NowMs()); }

}  // namespace torvex::sat
