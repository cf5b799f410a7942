// Helpers of the component-library tests: scratch directories and whole
// files read back as bytes.
#pragma once

#include <windows.h>

#include <fstream>
#include <sstream>
#include <string>

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

// A fresh directory under the temporary directory, removed with its files.
class ScratchDir {
 public:
  ScratchDir() {
    char tmp[MAX_PATH];
    GetTempPathA(MAX_PATH, tmp);
    path_ = std::string(tmp) + "torvex-" + std::to_string(GetCurrentProcessId()) + "-" +
            std::to_string(counter_++);
    CreateDirectoryA(path_.c_str(), nullptr);
    path_ += "\\";
  }
  ~ScratchDir() {
    WIN32_FIND_DATAA fd;
    HANDLE h = FindFirstFileA((path_ + "*").c_str(), &fd);
    if (h != INVALID_HANDLE_VALUE) {
      do {
        std::string n = fd.cFileName;
        if (n != "." && n != "..") DeleteFileA((path_ + n).c_str());
      } while (FindNextFileA(h, &fd));
      FindClose(h);
    }
    RemoveDirectoryA(path_.c_str());
  }
  std::string operator/(const std::string &name) const { return path_ + name; }

 private:
  std::string path_;
  static inline int counter_ = 0;
};
