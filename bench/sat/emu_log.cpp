#include "emu_log.h"

#include <cstdio>
#include <cstring>

namespace torvex::bench {

std::map<long, std::int64_t> ReadReplyTimes(const std::string &path) {
  std::map<long, std::int64_t> times;
  std::FILE *f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return times;
  // The lines hold a printable copy of the reply, cut short by the emulator;
  // only the start of each line matters here.
  char line[4096];
  while (std::fgets(line, sizeof line, f) != nullptr) {
    int h = 0, m = 0, s = 0, ms = 0;
    if (std::sscanf(line, "%2d:%2d:%2d.%3d", &h, &m, &s, &ms) != 4) continue;
    const char *tx = std::strstr(line, " -> tx ");
    if (tx == nullptr) continue;
    const char *quote = std::strchr(tx, '"');
    if (quote == nullptr) continue;
    long session = 0;
    int digits = 0;
    const char *p = quote + 1;
    while (digits < 6 && *p >= '0' && *p <= '9') {
      session = session * 10 + (*p - '0');
      ++p;
      ++digits;
    }
    if (digits != 6 || *p != '|') continue;
    times[session] = ((static_cast<std::int64_t>(h) * 60 + m) * 60 + s) * 1000 + ms;
  }
  std::fclose(f);
  return times;
}

}  // namespace torvex::bench
