// The zlib that the library itself uses, loaded the same way (at run time,
// by name), so that the benchmark times exactly the code the library calls.
#pragma once
#include <cstdint>
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

  // zlib's own calls; false when zlib reports an error.
  bool Compress(const std::string &in, int level, std::string &out) const;
  bool Uncompress(const std::string &in, std::size_t expected, std::string &out) const;

 private:
  void *module_ = nullptr;
  std::string name_;
  Compress2Fn compress2_ = nullptr;
  UncompressFn uncompress_ = nullptr;
};

}  // namespace torvex::bench
