// Helpers of the component-library tests: scratch directories, whole files
// read back as bytes, and port values in the registry.
#pragma once

#include <gtest/gtest.h>

#include <windows.h>

#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "rtlists.h"

inline std::string ReadFileBytes(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void WriteFileBytes(const std::string &path, const std::string &bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

inline bool FileExists(const std::string &path) {
  DWORD a = GetFileAttributesA(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

inline std::string ExeDirectory() {
  char buffer[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, buffer, MAX_PATH);
  std::string path(buffer, n);
  return path.substr(0, path.find_last_of("\\:") + 1);
}

// A fresh directory under the temporary directory, removed with its files
// and empty subdirectories. Wine gives out process ids again, so one left
// behind by an earlier program of the same id is emptied first.
class ScratchDir {
 public:
  ScratchDir() {
    char tmp[MAX_PATH];
    GetTempPathA(MAX_PATH, tmp);
    path_ = std::string(tmp) + "torvex-" + std::to_string(GetCurrentProcessId()) + "-" +
            std::to_string(counter_++) + "\\";
    Empty();
    CreateDirectoryA(path_.substr(0, path_.size() - 1).c_str(), nullptr);
  }
  ~ScratchDir() {
    Empty();
    RemoveDirectoryA(path_.c_str());
  }
  std::string operator/(const std::string &name) const { return path_ + name; }

 private:
  void Empty() {
    WIN32_FIND_DATAA fd;
    HANDLE h = FindFirstFileA((path_ + "*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE) return;
    do {
      std::string n = fd.cFileName;
      if (n == "." || n == "..") continue;
      if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        RemoveDirectoryA((path_ + n).c_str());
      else
        DeleteFileA((path_ + n).c_str());
    } while (FindNextFileA(h, &fd));
    FindClose(h);
  }
  std::string path_;
  static inline int counter_ = 0;
};

// Writes port values under HKLM\HARDWARE\DEVICEMAP\SERIALCOMM for one test
// and removes them (and the key, when the test made it) afterwards.
// A port list as "name=number" entries separated by spaces.
inline std::string ListText(const TStringList &list) {
  std::string s;
  for (int i = 0; i < list.Count(); ++i)
    s += (i ? " " : "") + list.Strings(i) + "=" + std::to_string(list.Objects(i));
  return s;
}

class SerialCommValues {
 public:
  SerialCommValues() {
    DWORD disposition = 0;
    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, nullptr,
                              REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr, &key_, &disposition),
              ERROR_SUCCESS);
    created_ = disposition == REG_CREATED_NEW_KEY;
    // Values that were there before would disturb the expected lists.
    for (;;) {
      char name[260];
      DWORD len = sizeof name;
      if (RegEnumValueA(key_, 0, name, &len, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
        break;
      char data[260];
      DWORD dlen = sizeof data, type = 0;
      RegQueryValueExA(key_, name, nullptr, &type, reinterpret_cast<BYTE *>(data), &dlen);
      saved_.push_back({name, std::string(data, dlen)});
      RegDeleteValueA(key_, name);
    }
  }
  ~SerialCommValues() {
    for (const auto &n : names_) RegDeleteValueA(key_, n.c_str());
    for (const auto &[n, d] : saved_)
      RegSetValueExA(key_, n.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE *>(d.data()),
                     static_cast<DWORD>(d.size()));
    RegCloseKey(key_);
    if (created_) RegDeleteKeyA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM");
  }
  void Add(const std::string &device, const std::string &port) {
    names_.push_back(device);
    RegSetValueExA(key_, device.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE *>(port.c_str()),
                   static_cast<DWORD>(port.size() + 1));
  }

 private:
  HKEY key_ = nullptr;
  bool created_ = false;
  std::vector<std::string> names_;
  std::vector<std::pair<std::string, std::string>> saved_;
};
