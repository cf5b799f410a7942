// Reads the device emulator's verbose log (satemu --verbose) for the moments
// it finished writing each reply, so that they can be lined up with the
// moments the library's calls returned. Both sides read the machine's one
// calendar clock; the log shows milliseconds of the day (the emulator must
// run with TZ=UTC).
#pragma once
#include <cstdint>
#include <map>
#include <string>

namespace torvex::bench {

// Session number of each reply ("-> tx" line whose payload starts with the
// six-digit session) mapped to the millisecond of the UTC day at which its
// write had completed. A session answered more than once keeps its last
// reply. Empty if the file cannot be read.
std::map<long, std::int64_t> ReadReplyTimes(const std::string &path);

}  // namespace torvex::bench
