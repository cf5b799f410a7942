#include <dlfcn.h>

#include <cstdlib>

#include "platform.h"

namespace torvex::sat {

void *LoadZlibModule() {
  const char *name = std::getenv("TORVEX_ZLIB");
  if (name == nullptr || *name == '\0') name = "libz.so.1";
  return dlopen(name, RTLD_NOW | RTLD_LOCAL);
}

void *FindModuleSymbol(void *module, const char *name) {
  return module ? dlsym(module, name) : nullptr;
}

bool LocalTime(std::time_t t, std::tm *out) { return localtime_r(&t, out) != nullptr; }

}  // namespace torvex::sat
