#include "nrwin32.h"

#include <winspool.h>

#include <vector>

#include "nrsyslibs.h"
#include "nrsysutils.h"
#include "rtexcept.h"
#include "rtsysutils.h"

namespace {

// The one record of WriteAsync. A global by design: WriteAsync does not wait
// for its write, so the record must outlive the call, and its callers rely
// on one asynchronous write at a time in the whole process (nrwin32.h).
OVERLAPPED g_asyncWrite;

bool TransferSync(HANDLE port, void *buffer, DWORD count, bool write, DWORD *done = nullptr) {
  if (done) *done = 0;
  OVERLAPPED ov{};
  ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (!ov.hEvent) return false;
  DWORD transferred = 0;
  BOOL ok = write ? WriteFile(port, buffer, count, nullptr, &ov)
                  : ReadFile(port, buffer, count, nullptr, &ov);
  bool result;
  if (ok) {
    result = GetOverlappedResult(port, &ov, &transferred, TRUE) != FALSE;
  } else {
    DWORD error = 0;
    result = WaitForIOCompletion(port, &ov, transferred, error);
    // A transfer that ended with an error may still have moved bytes (the
    // record starts zeroed, so one that never began counts none).
    if (!result) transferred = static_cast<DWORD>(ov.InternalHigh);
  }
  if (done) *done = transferred;
  DWORD error = GetLastError();
  CloseHandle(ov.hEvent);
  SetLastError(error);
  return result;
}

}  // namespace

bool WaitForIOCompletion(HANDLE port, OVERLAPPED *overlapped, DWORD &transferred, DWORD &error) {
  error = GetLastError();
  if (error != ERROR_IO_PENDING) return false;
  if (GetOverlappedResult(port, overlapped, &transferred, TRUE)) return true;
  error = GetLastError();
  return false;
}

std::string ComPortToStr(unsigned portNo) { return "COM" + std::to_string(portNo); }

HANDLE OpenPort(unsigned portNo) {
  std::string path = "\\\\?\\" + ComPortToStr(portNo);
  return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                     FILE_FLAG_OVERLAPPED, nullptr);
}

bool WriteSync(HANDLE port, const void *buffer, DWORD count) {
  return TransferSync(port, const_cast<void *>(buffer), count, true);
}

bool ReadSync(HANDLE port, void *buffer, DWORD count) {
  return TransferSync(port, buffer, count, false);
}

bool ReadSyncCount(HANDLE port, void *buffer, DWORD count, DWORD *read) {
  DWORD n = 0;
  bool ok = TransferSync(port, buffer, count, false, &n);
  if (read) *read = n;
  return ok;
}

bool WriteAsync(HANDLE port, const void *buffer, DWORD count) {
  g_asyncWrite = OVERLAPPED{};
  if (WriteFile(port, buffer, count, nullptr, &g_asyncWrite)) return true;
  return GetLastError() == ERROR_IO_PENDING;
}

bool nrCancelIO(HANDLE port) {
  syslibs::CancelIoFn cancelIo = syslibs::BindCancelIo();
  return cancelIo && cancelIo(port) != FALSE;
}

unsigned PortNumberOf(const std::string &name) {
  std::string digits = name.size() > 3 ? name.substr(3) : std::string();
  auto bad = [&] { return EConvertError("'" + digits + "' is not a valid integer value"); };
  if (digits.empty()) throw bad();
  unsigned long long v = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') throw bad();
    v = v * 10 + static_cast<unsigned>(c - '0');
    if (v > 0x7FFFFFFF) throw bad();
  }
  return static_cast<unsigned>(v);
}

void InsertPortOrdered(TStringList &list, const std::string &name, unsigned number) {
  int n = list.Count();
  if (n == 0 || number > list.Objects(n - 1)) {
    list.AddObject(name, number);
    return;
  }
  for (int i = 0; i < n; ++i) {
    if (list.Objects(i) > number) {
      list.InsertObject(i, name, number);
      return;
    }
  }
  // Equal to the last entry's number: already listed.
}

void AddWin9xPort(TStringList &list, std::string name) {
  if (name.compare(0, 3, "COM") != 0) return;
  std::size_t colon = name.find(':');
  if (colon != std::string::npos) name.erase(colon, 1);
  InsertPortOrdered(list, name, PortNumberOf(name));
}

void AddDeviceMapPort(TStringList &list, const std::string &value) {
  std::string name = UpperCase(value);
  if (name.compare(0, 3, "COM") != 0) return;
  InsertPortOrdered(list, name, PortNumberOf(name));
}

void GetPortList(TStringList &list) {
  list.Clear();
  OSVERSIONINFOA version{};
  version.dwOSVersionInfoSize = sizeof version;
  GetVersionExA(&version);

  if (version.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS) {
    // The spooler's port enumeration is only needed on this platform family,
    // so the library does not import it: it is bound here.
    syslibs::EnumPortsFn enumPorts = syslibs::BindEnumPorts();
    if (!enumPorts) return;
    DWORD needed = 0, count = 0;
    if (enumPorts(nullptr, 1, nullptr, 0, &needed, &count) ||
        GetLastError() != ERROR_INSUFFICIENT_BUFFER)
      return;
    std::vector<BYTE> buffer(needed);
    if (!enumPorts(nullptr, 1, buffer.data(), needed, &needed, &count)) return;
    auto *ports = reinterpret_cast<PORT_INFO_1A *>(buffer.data());
    for (DWORD i = 0; i < count; ++i)
      if (ports[i].pName) AddWin9xPort(list, ports[i].pName);
    return;
  }

  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_QUERY_VALUE,
                    &key) != ERROR_SUCCESS)
    return;
  struct KeyCloser {
    HKEY k;
    ~KeyCloser() { RegCloseKey(k); }
  } closer{key};
  for (DWORD index = 0;; ++index) {
    char name[260], data[261];
    DWORD nameLen = sizeof name, dataLen = sizeof data - 1, type = 0;
    if (RegEnumValueA(key, index, name, &nameLen, nullptr, &type, reinterpret_cast<BYTE *>(data),
                      &dataLen) != ERROR_SUCCESS)
      break;
    if (dataLen > sizeof data - 1) dataLen = sizeof data - 1;
    data[dataLen] = '\0';  // the stored text may lack its terminating zero
    AddDeviceMapPort(list, data);
  }
}

HDEVINFO EnumDevicesOpen(const GUID &classGuid) {
  const syslibs::SetupApi *setupApi = syslibs::BindSetupApi();
  if (!setupApi) return nullptr;
  return setupApi->getClassDevs(&classGuid, nullptr, nullptr, DIGCF_PRESENT);
}

namespace {
std::string DeviceProperty(const syslibs::SetupApi &setupApi, HDEVINFO set, SP_DEVINFO_DATA &info,
                           DWORD property) {
  std::vector<BYTE> buffer(256, 0);
  DWORD required = 0;
  if (!setupApi.getProperty(set, &info, property, nullptr, buffer.data(),
                            static_cast<DWORD>(buffer.size()), &required)) {
    // A longer text is read again in a buffer of its size; a property the
    // device lacks gives "".
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || required <= buffer.size() ||
        required > 65536)
      return {};
    buffer.assign(required, 0);
    if (!setupApi.getProperty(set, &info, property, nullptr, buffer.data(), required, &required))
      return {};
  }
  if (required > buffer.size()) required = static_cast<DWORD>(buffer.size());
  std::string text(reinterpret_cast<const char *>(buffer.data()), required > 0 ? required - 1 : 0);
  std::size_t zero = text.find('\0');
  if (zero != std::string::npos) text.resize(zero);
  return text;
}
}  // namespace

bool EnumDevicesNext(HDEVINFO set, DWORD index, std::string &service, std::string &description,
                     std::string &friendlyName, std::string &keyPath) {
  const syslibs::SetupApi *setupApi = syslibs::BoundSetupApi();
  if (!setupApi) return false;
  SP_DEVINFO_DATA info{};
  info.cbSize = sizeof info;  // 28
  if (!setupApi->enumInfo(set, index, &info)) return false;
  service = DeviceProperty(*setupApi, set, info, SPDRP_SERVICE);
  description = DeviceProperty(*setupApi, set, info, SPDRP_DEVICEDESC);
  friendlyName = DeviceProperty(*setupApi, set, info, SPDRP_FRIENDLYNAME);
  HKEY key = setupApi->openDevRegKey(set, &info, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_QUERY_VALUE);
  HKEY root = nullptr;
  keyPath = RegGetKeyFullName(key, &root);
  if (key != reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE)) RegCloseKey(key);
  return true;
}

void EnumDevicesClose(HDEVINFO set) {
  if (const syslibs::SetupApi *setupApi = syslibs::BoundSetupApi()) setupApi->destroyList(set);
}
