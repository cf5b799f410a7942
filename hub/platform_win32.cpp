// The hub's platform parts on Windows: a system thread, Win32 files. No
// C++ thread library (the toolchain's win32 thread model has none).
#include <windows.h>
#include <bcrypt.h>
#include <cstdlib>

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

namespace {

// The one service of this process (the manager calls back without an
// argument of ours).
struct Service {
  const char *name;
  int (*run)(void *);
  void (*stop)(void *);
  void *arg;
  SERVICE_STATUS_HANDLE handle = nullptr;
  SERVICE_STATUS status = {};
};
Service g_serviceRecord;
Service *g_service = nullptr;  // set while the dispatcher runs

void Report(DWORD state, DWORD exitCode = NO_ERROR) {
  if (g_service == nullptr || g_service->handle == nullptr) return;
  SERVICE_STATUS &st = g_service->status;
  st.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  st.dwCurrentState = state;
  st.dwControlsAccepted =
      state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
  st.dwWin32ExitCode = exitCode == NO_ERROR ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
  st.dwServiceSpecificExitCode = exitCode;
  st.dwWaitHint = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING ? 30000 : 0;
  ++st.dwCheckPoint;
  SetServiceStatus(g_service->handle, &st);
}

DWORD WINAPI Control(DWORD control, DWORD, LPVOID, LPVOID) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
      // A call on the device finishes first (at most its own limit).
      Report(SERVICE_STOP_PENDING);
      g_service->stop(g_service->arg);
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
      return NO_ERROR;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

void WINAPI ServiceMain(DWORD, LPSTR *) {
  g_service->handle = RegisterServiceCtrlHandlerExA(g_service->name, Control, nullptr);
  if (g_service->handle == nullptr) return;
  Report(SERVICE_START_PENDING);
  int rc = g_service->run(g_service->arg);
  Report(SERVICE_STOPPED, static_cast<DWORD>(rc));
}

}  // namespace

bool RunAsService(const char *name, int (*run)(void *), void (*stop)(void *), void *arg,
                  std::string &error) {
  g_serviceRecord = Service{name, run, stop, arg};
  g_service = &g_serviceRecord;
  SERVICE_TABLE_ENTRYA table[] = {{const_cast<char *>(name), ServiceMain}, {nullptr, nullptr}};
  if (!StartServiceCtrlDispatcherA(table)) {
    DWORD e = GetLastError();
    error = e == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT
                ? std::string(
                      "--service: not started by the service control manager (use "
                      "--install-service, then sc start)")
                : "StartServiceCtrlDispatcher: error " + std::to_string(e);
    g_service = nullptr;
    return false;
  }
  return true;
}

void ServiceRunning() { Report(SERVICE_RUNNING); }

bool InstallService(const char *name, const char *displayName, const std::string &arguments,
                    std::string &error) {
  char exe[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, exe, sizeof exe);
  if (n == 0 || n >= sizeof exe) {
    error = "cannot find this program's path";
    return false;
  }
  std::string command = std::string("\"") + exe + "\" --service" + arguments;
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE);
  if (manager == nullptr) {
    error = "OpenSCManager: error " + std::to_string(GetLastError()) + " (run as administrator)";
    return false;
  }
  SC_HANDLE service = CreateServiceA(
      manager, name, displayName, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
      SERVICE_ERROR_NORMAL, command.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
  if (service == nullptr) {
    error = "CreateService " + std::string(name) + ": error " + std::to_string(GetLastError());
    CloseServiceHandle(manager);
    return false;
  }
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return true;
}

bool RandomBytes(unsigned char *buf, std::size_t n) {
  if (n > 0xFFFFFFFFu) return false;
  return BCryptGenRandom(nullptr, buf, static_cast<ULONG>(n), BCRYPT_USE_SYSTEM_PREFERRED_RNG) >= 0;
}

}  // namespace hub
