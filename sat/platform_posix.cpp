#include <dlfcn.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "platform.h"

namespace torvex::sat {

void *LoadZlibModule() {
  const char *name = std::getenv("TORVEX_ZLIB");
  if (name == nullptr || *name == '\0') name = "libz.so.1";
  return dlopen(name, RTLD_NOW | RTLD_LOCAL);
}

void FreeZlibModule(void *module) {
  if (module) dlclose(module);
}

void *FindModuleSymbol(void *module, const char *name) {
  return module ? dlsym(module, name) : nullptr;
}

bool LocalTime(std::time_t t, std::tm *out) { return localtime_r(&t, out) != nullptr; }

const char *KeepForThisThread(const char *text) {
  thread_local std::string kept;
  try {
    kept.assign(text ? text : "");
  } catch (const std::bad_alloc &) {
    return nullptr;
  }
  return kept.c_str();
}

const char kNotReadyText[] = "Porta serial n\xc3\xa3o est\xc3\xa1 pronta, tente novamente";
const char kNotReadyTextBang[] = "Porta serial n\xc3\xa3o est\xc3\xa1 pronta, tente novamente!";
const char kTextEncoding[] = "utf8";

bool FileBesideLibrary(const char *name, char *out, std::size_t cap) {
  Dl_info info;
  if (dladdr(reinterpret_cast<void *>(&FileBesideLibrary), &info) == 0 || info.dli_fname == nullptr)
    return false;
  const char *slash = std::strrchr(info.dli_fname, '/');
  std::size_t folder = slash ? static_cast<std::size_t>(slash - info.dli_fname + 1) : 0;
  std::size_t length = std::strlen(name);
  if (folder + length + 1 > cap) return false;
  std::memcpy(out, info.dli_fname, folder);
  std::memcpy(out + folder, name, length + 1);
  return true;
}

}  // namespace torvex::sat
