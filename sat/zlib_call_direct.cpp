// zlib's functions called directly: Linux and 64-bit Windows have one
// calling convention (picked by the build everywhere but 32-bit Windows).
#include <cstdint>

#include "platform.h"

namespace torvex::sat {

int CallCompress2(void *fn, std::uint8_t *dest, unsigned long *destLen, const std::uint8_t *source,
                  unsigned long sourceLen, int level) {
  using Fn = int (*)(std::uint8_t *, unsigned long *, const std::uint8_t *, unsigned long, int);
  return reinterpret_cast<Fn>(fn)(dest, destLen, source, sourceLen, level);
}

int CallUncompress(void *fn, std::uint8_t *dest, unsigned long *destLen, const std::uint8_t *source,
                   unsigned long sourceLen) {
  using Fn = int (*)(std::uint8_t *, unsigned long *, const std::uint8_t *, unsigned long);
  return reinterpret_cast<Fn>(fn)(dest, destLen, source, sourceLen);
}

}  // namespace torvex::sat
