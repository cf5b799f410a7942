#include "rtregistry.h"

#include <vector>

#include "rtexcept.h"

namespace {
[[noreturn]] void GetFailed(const std::string &name) {
  throw ERegistryException("Failed to get data for '" + name + "'");
}
[[noreturn]] void SetFailed(const std::string &name) {
  throw ERegistryException("Failed to set data for '" + name + "'");
}
}  // namespace

void TRegistry::SetRootKey(HKEY root) {
  CloseKey();
  root_ = root;
}

HKEY TRegistry::BaseFor(const std::string &key, std::string &relative) const {
  if (!key.empty() && key[0] == '\\') {
    relative = key.substr(1);
    return root_;
  }
  relative = key;
  return current_ ? current_ : root_;
}

bool TRegistry::OpenKey(const std::string &key, bool canCreate) {
  std::string relative;
  HKEY base = BaseFor(key, relative);
  HKEY opened = nullptr;
  LONG rc;
  if (canCreate) {
    rc = RegCreateKeyExA(base, relative.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, access_,
                         nullptr, &opened, nullptr);
  } else {
    rc = RegOpenKeyExA(base, relative.c_str(), 0, access_, &opened);
  }
  if (rc != ERROR_SUCCESS) return false;
  std::string path = base == root_ ? relative : currentPath_ + "\\" + relative;
  CloseKey();
  current_ = opened;
  currentPath_ = std::move(path);
  return true;
}

bool TRegistry::OpenKeyReadOnly(const std::string &key) {
  REGSAM saved = access_;
  access_ = KEY_READ;
  bool ok = OpenKey(key, false);
  access_ = saved;
  return ok;
}

bool TRegistry::KeyExists(const std::string &key) const {
  std::string relative;
  HKEY base = BaseFor(key, relative);
  HKEY opened = nullptr;
  if (RegOpenKeyExA(base, relative.c_str(), 0, KEY_READ, &opened) != ERROR_SUCCESS) return false;
  RegCloseKey(opened);
  return true;
}

bool TRegistry::DeleteKey(const std::string &key) {
  std::string relative;
  HKEY base = BaseFor(key, relative);
  return RegDeleteKeyA(base, relative.c_str()) == ERROR_SUCCESS;
}

void TRegistry::CloseKey() {
  if (current_) RegCloseKey(current_);
  current_ = nullptr;
  currentPath_.clear();
}

bool TRegistry::ValueExists(const std::string &name) const { return GetDataSize(name) >= 0; }

int TRegistry::GetDataSize(const std::string &name) const {
  DWORD size = 0;
  HKEY key = current_ ? current_ : root_;
  if (RegQueryValueExA(key, name.c_str(), nullptr, nullptr, nullptr, &size) != ERROR_SUCCESS)
    return -1;
  return static_cast<int>(size);
}

int TRegistry::ReadBinaryData(const std::string &name, void *buffer, int size) const {
  HKEY key = current_ ? current_ : root_;
  DWORD type = 0, needed = 0;
  if (RegQueryValueExA(key, name.c_str(), nullptr, &type, nullptr, &needed) != ERROR_SUCCESS)
    GetFailed(name);
  if (type != REG_BINARY || size < 0 || needed > static_cast<DWORD>(size)) GetFailed(name);
  DWORD got = needed;
  if (RegQueryValueExA(key, name.c_str(), nullptr, &type, static_cast<BYTE *>(buffer), &got) !=
      ERROR_SUCCESS)
    GetFailed(name);
  return static_cast<int>(got);
}

void TRegistry::WriteBinaryData(const std::string &name, const void *buffer, int size) {
  HKEY key = current_ ? current_ : root_;
  if (size < 0 ||
      RegSetValueExA(key, name.c_str(), 0, REG_BINARY, static_cast<const BYTE *>(buffer),
                     static_cast<DWORD>(size)) != ERROR_SUCCESS)
    SetFailed(name);
}

std::string TRegistry::ReadString(const std::string &name) const {
  HKEY key = current_ ? current_ : root_;
  DWORD type = 0, needed = 0;
  if (RegQueryValueExA(key, name.c_str(), nullptr, &type, nullptr, &needed) != ERROR_SUCCESS)
    return {};
  if (type != REG_SZ && type != REG_EXPAND_SZ) GetFailed(name);
  std::vector<char> data(needed + 1, '\0');
  DWORD got = needed;
  if (RegQueryValueExA(key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE *>(data.data()),
                       &got) != ERROR_SUCCESS)
    GetFailed(name);
  return std::string(data.data());
}

void TRegistry::WriteString(const std::string &name, const std::string &value) {
  HKEY key = current_ ? current_ : root_;
  if (RegSetValueExA(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE *>(value.c_str()),
                     static_cast<DWORD>(value.size() + 1)) != ERROR_SUCCESS)
    SetFailed(name);
}

bool TRegistry::DeleteValue(const std::string &name) {
  HKEY key = current_ ? current_ : root_;
  return RegDeleteValueA(key, name.c_str()) == ERROR_SUCCESS;
}
