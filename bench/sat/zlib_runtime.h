// The zlib that the library itself uses, loaded the same way (at run time,
// by name), so that the benchmark times exactly the code the library calls.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace torvex::bench {

class ZlibRuntime {
 public:
  using Compress2Fn = int (*)(std::uint8_t *dest, unsigned long *destLen,
                              const std::uint8_t *source, unsigned long sourceLen, int level);
  using UncompressFn = int (*)(std::uint8_t *dest, unsigned long *destLen,
                               const std::uint8_t *source, unsigned long sourceLen);

  ZlibRuntime();
  ~ZlibRuntime();
  ZlibRuntime(const ZlibRuntime &) = delete;
  ZlibRuntime &operator=(const ZlibRuntime &) = delete;

  bool Loaded() const { return compress2_ != nullptr && uncompress_ != nullptr; }
  const std::string &Name() const { return name_; }

  // zlib's own calls into a buffer of cap bytes; the length produced, or
  // nothing when zlib reports an error. Callers that time these calls keep
  // one buffer for every run, as the library keeps its static buffers.
  std::optional<std::size_t> Compress(const std::string &in, int level, std::uint8_t *out,
                                      std::size_t cap) const;
  std::optional<std::size_t> Uncompress(const std::uint8_t *in, std::size_t size, std::uint8_t *out,
                                        std::size_t cap) const;
  // compress2's largest output for size bytes of input.
  static std::size_t Bound(std::size_t size);

 private:
  void *module_ = nullptr;
  std::string name_;
  Compress2Fn compress2_ = nullptr;
  UncompressFn uncompress_ = nullptr;
};

}  // namespace torvex::bench
