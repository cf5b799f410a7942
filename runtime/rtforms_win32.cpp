// Form resources of a Windows module: RCDATA resources.
#include <windows.h>

#include <string>

#include "rtforms.h"

std::optional<std::string_view> FindModuleResource(std::string_view name) {
  HMODULE self = nullptr;
  if (!GetModuleHandleExA(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          reinterpret_cast<LPCSTR>(&FindModuleResource), &self))
    return std::nullopt;
  std::string key(name);
  HRSRC info = FindResourceA(self, key.c_str(), reinterpret_cast<LPCSTR>(RT_RCDATA));
  if (!info) return std::nullopt;
  HGLOBAL loaded = LoadResource(self, info);
  const void *data = loaded ? LockResource(loaded) : nullptr;
  if (!data) return std::nullopt;
  return std::string_view(static_cast<const char *>(data), SizeofResource(self, info));
}
