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

bool ZlibRuntime::Compress(const std::string &in, int level, std::string &out) const {
  if (!Loaded()) return false;
  // zlib's bound for compress2's output.
  std::size_t bound = in.size() + (in.size() >> 12) + (in.size() >> 14) + (in.size() >> 25) + 13;
  out.resize(bound);
  unsigned long len = static_cast<unsigned long>(bound);
  int rc = compress2_(reinterpret_cast<std::uint8_t *>(out.data()), &len,
                      reinterpret_cast<const std::uint8_t *>(in.data()),
                      static_cast<unsigned long>(in.size()), level);
  out.resize(rc == kZOk ? len : 0);
  return rc == kZOk;
}

bool ZlibRuntime::Uncompress(const std::string &in, std::size_t expected, std::string &out) const {
  if (!Loaded()) return false;
  out.resize(expected);
  unsigned long len = static_cast<unsigned long>(expected);
  int rc = uncompress_(reinterpret_cast<std::uint8_t *>(out.data()), &len,
                       reinterpret_cast<const std::uint8_t *>(in.data()),
                       static_cast<unsigned long>(in.size()));
  out.resize(rc == kZOk ? len : 0);
  return rc == kZOk;
}

}  // namespace torvex::bench
