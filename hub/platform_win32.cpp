// The hub's platform parts on Windows: a system thread, Win32 files. No
// C++ thread library (the toolchain's win32 thread model has none).
#include <cstdlib>
#include <windows.h>
#include <bcrypt.h>

#include <string>

#include "platform.h"

namespace hub {
namespace {

struct ThreadStart {
  void (*fn)(void *);
  void *arg;
};

DWORD WINAPI ThreadMain(LPVOID p) {
  ThreadStart s = *static_cast<ThreadStart *>(p);
  delete static_cast<ThreadStart *>(p);
  s.fn(s.arg);
  return 0;
}

std::string LastError(const char *what, const std::string &path) {
  return std::string(what) + " " + path + ": error " + std::to_string(GetLastError());
}

}  // namespace

PlatformThread::~PlatformThread() { Join(); }

bool PlatformThread::Start(void (*fn)(void *), void *arg) {
  auto *s = new ThreadStart{fn, arg};
  HANDLE h = CreateThread(nullptr, 0, ThreadMain, s, 0, nullptr);
  if (h == nullptr) {
    delete s;
    return false;
  }
  handle_ = h;
  return true;
}

void PlatformThread::Join() {
  if (handle_ == nullptr) return;
  WaitForSingleObject(static_cast<HANDLE>(handle_), INFINITE);
  CloseHandle(static_cast<HANDLE>(handle_));
  handle_ = nullptr;
}

bool ReadStateFile(const std::string &path, std::string &text, std::string &error) {
  text.clear();
  HANDLE f = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) {
    DWORD e = GetLastError();
    if (e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND) return true;
    error = LastError("cannot read", path);
    return false;
  }
  char buf[65536];
  DWORD n = 0;
  while (ReadFile(f, buf, sizeof buf, &n, nullptr) && n > 0) text.append(buf, n);
  CloseHandle(f);
  return true;
}

bool WriteStateFile(const std::string &path, const std::string &text, std::string &error) {
  const std::string tmp = path + ".tmp";
  HANDLE f = CreateFileA(tmp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) {
    error = LastError("cannot write", tmp);
    return false;
  }
  DWORD written = 0;
  bool ok = WriteFile(f, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
            written == text.size() && FlushFileBuffers(f);
  CloseHandle(f);
  if (!ok) {
    error = LastError("cannot write", tmp);
    return false;
  }
  if (!MoveFileExA(tmp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    error = LastError("cannot rename", tmp);
    return false;
  }
  return true;
}

void IgnoreBrokenPipes() {}

void UnsetEnvironment(const char *name) {
  SetEnvironmentVariableA(name, nullptr);
  std::string assignment = std::string(name) + "=";
  _putenv(assignment.c_str());  // the C runtime's copy, which getenv reads
}

bool RandomBytes(unsigned char *buf, std::size_t n) {
  if (n > 0xFFFFFFFFu) return false;
  return BCryptGenRandom(nullptr, buf, static_cast<ULONG>(n), BCRYPT_USE_SYSTEM_PREFERRED_RNG) >= 0;
}

}  // namespace hub
