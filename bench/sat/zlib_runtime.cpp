#include "zlib_runtime.h"

#include <cstdlib>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace torvex::bench {

namespace {
constexpr int kZOk = 0;

void *OpenModule(const char *name) {
#ifdef _WIN32
  return reinterpret_cast<void *>(LoadLibraryA(name));
#else
  return dlopen(name, RTLD_NOW | RTLD_LOCAL);
#endif
}

void *Symbol(void *module, const char *name) {
#ifdef _WIN32
  return reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(module), name));
#else
  return dlsym(module, name);
#endif
}
}  // namespace

ZlibRuntime::ZlibRuntime() {
#ifdef _WIN32
  name_ = "zlib.DLL";
#else
  const char *env = std::getenv("TORVEX_ZLIB");
  name_ = env != nullptr && *env != '\0' ? env : "libz.so.1";
#endif
  module_ = OpenModule(name_.c_str());
  if (module_ == nullptr) return;
  compress2_ = reinterpret_cast<Compress2Fn>(Symbol(module_, "compress2"));
  uncompress_ = reinterpret_cast<UncompressFn>(Symbol(module_, "uncompress"));
}

ZlibRuntime::~ZlibRuntime() {
  if (module_ == nullptr) return;
#ifdef _WIN32
  FreeLibrary(static_cast<HMODULE>(module_));
#else
  dlclose(module_);
#endif
}

std::size_t ZlibRuntime::Bound(std::size_t size) {
  return size + (size >> 12) + (size >> 14) + (size >> 25) + 13;
}

std::optional<std::size_t> ZlibRuntime::Compress(const std::string &in, int level,
                                                 std::uint8_t *out, std::size_t cap) const {
  if (!Loaded()) return std::nullopt;
  unsigned long len = static_cast<unsigned long>(cap);
  if (compress2_(out, &len, reinterpret_cast<const std::uint8_t *>(in.data()),
                 static_cast<unsigned long>(in.size()), level) != kZOk)
    return std::nullopt;
  return len;
}

std::optional<std::size_t> ZlibRuntime::Uncompress(const std::uint8_t *in, std::size_t size,
                                                   std::uint8_t *out, std::size_t cap) const {
  if (!Loaded()) return std::nullopt;
  unsigned long len = static_cast<unsigned long>(cap);
  if (uncompress_(out, &len, in, static_cast<unsigned long>(size)) != kZOk) return std::nullopt;
  return len;
}

}  // namespace torvex::bench
