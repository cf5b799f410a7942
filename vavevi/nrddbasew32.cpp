#include "nrddbasew32.h"

#include "nrreport.h"
#include "nrsysutils.h"
#include "rtsysutils.h"

namespace {

constexpr std::uint32_t kServiceError = 7;

// Closes a service-manager handle without disturbing the last error, which
// the caller still has to report.
void CloseKeepingError(SC_HANDLE handle) {
  if (!handle) return;
  DWORD error = GetLastError();
  CloseServiceHandle(handle);
  SetLastError(error);
}

bool FileExists(const std::string &path) {
  DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// The temporary directory with a trailing backslash, or "" (with the system's
// error) when there is none: the driver file must never land in the root of
// the current drive instead.
std::string TempDirectory() {
  char buffer[MAX_PATH + 1] = {};
  DWORD n = GetTempPathA(MAX_PATH, buffer);
  if (n == 0) return {};
  if (n > MAX_PATH) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return {};
  }
  std::string dir(buffer, n);
  if (dir.back() != '\\') dir += '\\';
  return dir;
}

}  // namespace

TnrDriverBase::TnrDriverBase() = default;

TnrDriverBase::~TnrDriverBase() { TnrDriverBase::Close(); }

void TnrDriverBase::DoFatalErrors(std::uint32_t code, std::uint32_t detail,
                                  const std::string &message) {
  nrReportFatal({this, onFatalError_, nullptr}, code, detail, message, TnrFatalEnd::kRaise);
}

bool TnrDriverBase::CreateService() {
  bool usable = FileExists(driverFile_) && (!ownFile_ || Trim(resourceName_).empty() ||
                                            FileMatchesRes(resourceName_, driverFile_));
  if (!usable) {
    if (Trim(resourceName_).empty()) return false;
    if (Trim(driverFile_).empty()) {
      std::string dir = TempDirectory();
      if (dir.empty()) return false;
      driverFile_ = dir + serviceName_ + ".sys";
      ownFile_ = true;
    }
    if (!CreateFileFromRes(resourceName_, driverFile_)) return false;
  }
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE);
  if (!manager) {
    OutputDebugStringA(("OpenSCManager Er " + GetLastSysErrorString()).c_str());
    return false;
  }
  SC_HANDLE service =
      ::CreateServiceA(manager, serviceName_.c_str(), serviceName_.c_str(), SERVICE_START,
                       SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                       driverFile_.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
  if (!service && GetLastError() != ERROR_SERVICE_EXISTS) {
    CloseKeepingError(manager);
    return false;
  }
  CloseKeepingError(service);
  CloseKeepingError(manager);
  return true;
}

bool TnrDriverBase::StartService() {
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (!manager) return false;
  SC_HANDLE service = OpenServiceA(manager, serviceName_.c_str(), SERVICE_START);
  if (!service) {
    CloseKeepingError(manager);
    return false;
  }
  // Not tested: a service that is running already answers with an error.
  ::StartServiceA(service, 0, nullptr);
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return true;
}

bool TnrDriverBase::StopService() {
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (!manager) return false;
  bool opened = false;
  if (SC_HANDLE service = OpenServiceA(manager, serviceName_.c_str(), SERVICE_STOP)) {
    SERVICE_STATUS status;
    ControlService(service, SERVICE_CONTROL_STOP, &status);
    CloseServiceHandle(service);
    opened = true;
  }
  CloseKeepingError(manager);
  return opened;
}

bool TnrDriverBase::RemoveService() {
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (!manager) return false;
  bool opened = false;
  if (SC_HANDLE service = OpenServiceA(manager, serviceName_.c_str(), SERVICE_ALL_ACCESS)) {
    DeleteService(service);
    CloseServiceHandle(service);
    opened = true;
  }
  CloseKeepingError(manager);
  return opened;
}

HANDLE TnrDriverBase::Open() {
  if (GetActive()) return handle_;
  if (!CreateService()) {
    DoFatalErrors(kServiceError, GetLastError(), "Create service failed.");
    return INVALID_HANDLE_VALUE;
  }
  if (!StartService()) {
    DoFatalErrors(kServiceError, GetLastError(), "Start service failed.");
    return INVALID_HANDLE_VALUE;
  }
  handle_ = CreateFileA(("\\\\.\\" + serviceName_).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle_ == INVALID_HANDLE_VALUE) {
    // Nothing would ever stop a service that Close does not know of: it is
    // taken down again at once, keeping the error of the failed open.
    DWORD error = GetLastError();
    StopService();
    RemoveService();
    SetLastError(error);
  }
  return handle_;
}

void TnrDriverBase::Close() {
  if (!GetActive()) return;
  CloseHandle(handle_);
  StopService();
  RemoveService();
  handle_ = INVALID_HANDLE_VALUE;
}
