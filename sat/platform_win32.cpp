#include <windows.h>

#include "platform.h"

namespace torvex::sat {

void *LoadZlibModule() { return reinterpret_cast<void *>(LoadLibraryA("zlib.DLL")); }

void *FindModuleSymbol(void *module, const char *name) {
  if (module == nullptr) return nullptr;
  return reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(module), name));
}

bool LocalTime(std::time_t t, std::tm *out) { return localtime_s(out, &t) == 0; }

}  // namespace torvex::sat
