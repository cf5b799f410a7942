// What the hub needs from the platform, one file per platform
// (platform_posix.cpp, platform_win32.cpp): the device thread and the
// state file.
#pragma once
#include <cstddef>
#include <string>

namespace hub {

// A thread of the platform's own (the device worker). Start runs
// fn(arg) on it; Join waits for it to end.
class PlatformThread {
 public:
  PlatformThread() = default;
  PlatformThread(const PlatformThread &) = delete;
  PlatformThread &operator=(const PlatformThread &) = delete;
  ~PlatformThread();
  bool Start(void (*fn)(void *), void *arg);
  void Join();

 private:
  void *handle_ = nullptr;
};

// Reads the whole state file; a missing file gives an empty text.
bool ReadStateFile(const std::string &path, std::string &text, std::string &error);
// Writes path + ".tmp", flushes it to disk and renames it over path.
bool WriteStateFile(const std::string &path, const std::string &text, std::string &error);

// Blocks SIGPIPE-like process signals where the platform has them and lets
// the caller's stop function run on Ctrl-C / SIGTERM (set up by the server).
void IgnoreBrokenPipes();

// Fills buf with bytes from the system's secure random source (console
// session identifiers). False when the source failed.
bool RandomBytes(unsigned char *buf, std::size_t n);

// Removes a variable from the process's environment (before the library's
// first call reads it).
void UnsetEnvironment(const char *name);

// Windows service mode (platform_win32.cpp; elsewhere both fail with a
// message). RunAsService hands the process to the service control manager
// under `name`: run(arg) runs the service, calling ServiceRunning() once it
// serves, and returns its exit code; stop(arg) is called from another thread
// when the manager asks the service to stop. False, with a message, when
// the process was not started by the manager.
bool RunAsService(const char *name, int (*run)(void *), void (*stop)(void *), void *arg,
                  std::string &error);
void ServiceRunning();
// Registers this program as an automatically started service that runs
// "<this program> --service <arguments>".
bool InstallService(const char *name, const char *displayName, const std::string &arguments,
                    std::string &error);

}  // namespace hub
