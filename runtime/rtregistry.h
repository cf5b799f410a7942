// Registry access: one open key under a root.
//
//   TRegistry reg;                       // root HKEY_CURRENT_USER
//   reg.SetRootKey(HKEY_LOCAL_MACHINE);
//   if (reg.OpenKey("Software\\Torvex", true)) reg.WriteBinaryData("cfg", data, 49);
//
// Key paths are relative to the open key, or to the root when no key is open
// or the path starts with "\". Reads and writes of values raise
// ERegistryException when they fail; opening reports by its result.
#pragma once

#include <windows.h>

#include <string>

#include "rtcomponent.h"

class RT_API TRegistry : public TObject {
 public:
  explicit TRegistry(REGSAM access = KEY_ALL_ACCESS) : access_(access) {}
  ~TRegistry() override { CloseKey(); }

  HKEY RootKey() const { return root_; }
  void SetRootKey(HKEY root);  // closes the open key
  HKEY CurrentKey() const { return current_; }
  const std::string &CurrentPath() const { return currentPath_; }

  bool OpenKey(const std::string &key, bool canCreate);
  bool OpenKeyReadOnly(const std::string &key);
  bool KeyExists(const std::string &key) const;
  bool DeleteKey(const std::string &key);
  void CloseKey();

  bool ValueExists(const std::string &name) const;
  int GetDataSize(const std::string &name) const;  // -1 when absent
  // Copies the value into buffer and gives its size; raises when the value
  // is absent, not binary, or larger than the buffer.
  int ReadBinaryData(const std::string &name, void *buffer, int size) const;
  void WriteBinaryData(const std::string &name, const void *buffer, int size);
  std::string ReadString(const std::string &name) const;
  void WriteString(const std::string &name, const std::string &value);
  bool DeleteValue(const std::string &name);

 private:
  HKEY BaseFor(const std::string &key, std::string &relative) const;

  REGSAM access_;
  HKEY root_ = HKEY_CURRENT_USER;
  HKEY current_ = nullptr;
  std::string currentPath_;
};
