#include "nrsysutils.h"

#include <cstring>
#include <vector>

#include "nrsyslibs.h"
#include "nrunits.h"
#include "rtformat.h"
#include "rtsysutils.h"

namespace {

// The process-wide lock: created when the library is loaded, before any
// other static object of it, and deleted when it is unloaded. A global by
// design: nrEnterThreadCritical offers the components' users one lock for
// the whole process.
CRITICAL_SECTION g_processLock;
void Initialization() { InitializeCriticalSection(&g_processLock); }
void Finalization() { DeleteCriticalSection(&g_processLock); }
const TUnitInit g_unit RT_UNIT_PLACE(kUnitNrsysutils)(&Initialization, &Finalization);

}  // namespace

void nrEnterThreadCritical() { EnterCriticalSection(&g_processLock); }
void nrLeaveThreadCritical() { LeaveCriticalSection(&g_processLock); }

std::string GetLastSysErrorString() {
  DWORD code = GetLastError();
  char buffer[1024];
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           code, 0, buffer, sizeof buffer, nullptr);
  std::string text(buffer, n < sizeof buffer ? n : 0);
  while (!text.empty() && static_cast<unsigned char>(text.back()) <= ' ') text.pop_back();
  SetLastError(code);
  return text;
}

HWND GetMainWindowHandle() { return nullptr; }

namespace {

struct ResourceBytes {
  const void *data = nullptr;
  DWORD size = 0;
};

// The RCDATA resource of the module that holds this code.
bool FindOwnResource(const std::string &resName, ResourceBytes &out) {
  HMODULE self = nullptr;
  if (!GetModuleHandleExA(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          reinterpret_cast<LPCSTR>(&CreateFileFromRes), &self))
    return false;
  HRSRC info = FindResourceA(self, resName.c_str(), reinterpret_cast<LPCSTR>(RT_RCDATA));
  if (!info) return false;
  HGLOBAL loaded = LoadResource(self, info);
  if (!loaded) return false;
  out.data = LockResource(loaded);
  out.size = SizeofResource(self, info);
  return out.data != nullptr;
}

}  // namespace

bool CreateFileFromRes(const std::string &resName, const std::string &fileName) {
  ResourceBytes res;
  if (!FindOwnResource(resName, res)) return false;

  // A name of this process's own beside the target, so that the rename
  // stays within one directory (and one volume).
  std::string temporary = fileName + "." + std::to_string(GetCurrentProcessId()) + ".tmp";
  HANDLE file =
      CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  BOOL ok = WriteFile(file, res.data, res.size, &written, nullptr) && written == res.size &&
            FlushFileBuffers(file);
  DWORD error = ok ? ERROR_SUCCESS : GetLastError();
  if (!CloseHandle(file)) ok = FALSE;
  if (ok && !MoveFileExA(temporary.c_str(), fileName.c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    ok = FALSE;
    error = GetLastError();
  }
  if (!ok) {
    DeleteFileA(temporary.c_str());
    // A short write leaves no error of its own: the disk is full.
    SetLastError(error != ERROR_SUCCESS ? error : ERROR_DISK_FULL);
  }
  return ok;
}

bool FileMatchesRes(const std::string &resName, const std::string &fileName) {
  ResourceBytes res;
  if (!FindOwnResource(resName, res)) return false;
  HANDLE file = CreateFileA(fileName.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER size{};
  bool same = GetFileSizeEx(file, &size) && size.QuadPart == res.size;
  std::vector<char> bytes(same ? res.size : 0);
  DWORD read = 0;
  if (same && res.size)
    same = ReadFile(file, bytes.data(), res.size, &read, nullptr) && read == res.size &&
           memcmp(bytes.data(), res.data, res.size) == 0;
  CloseHandle(file);
  return same;
}

std::string RegKeyPathFromNativeName(const std::string &name, HKEY *root) {
  if (!root) return name;
  static const std::string machine = "\\MACHINE\\", user = "\\USER\\";
  // Registry names are case-insensitive, and not every system spells the
  // roots in capitals (Wine gives "\REGISTRY\Machine\").
  auto at10 = [&](const std::string &part) {
    return name.size() >= 9 + part.size() &&
           SameText(std::string_view(name).substr(9, part.size()), part);
  };
  if (at10(machine)) {
    *root = HKEY_LOCAL_MACHINE;
    return name.size() > 18 ? name.substr(18) : std::string();
  }
  if (at10(user)) {
    *root = HKEY_CURRENT_USER;
    std::string rest = name.size() > 15 ? name.substr(15) : std::string();
    std::size_t slash = rest.find('\\');
    return slash == std::string::npos ? rest : rest.substr(slash + 1);
  }
  *root = nullptr;
  return name;
}

std::string RegGetKeyFullName(HKEY key, HKEY *root) {
  if (key == reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE)) return {};
  syslibs::ZwQueryKeyFn query = syslibs::BindZwQueryKey();
  if (!query) return {};

  const int keyNameInformation = 3;
  ULONG needed = 0;
  query(key, keyNameInformation, nullptr, 0, &needed);
  if (needed < sizeof(ULONG)) return {};
  std::vector<unsigned char> info(needed + 2, 0);
  if (query(key, keyNameInformation, info.data(), needed, &needed) < 0) return {};
  ULONG nameBytes = 0;
  memcpy(&nameBytes, info.data(), sizeof nameBytes);
  std::size_t maxChars = (info.size() - sizeof(ULONG)) / sizeof(wchar_t);
  std::size_t chars = nameBytes / sizeof(wchar_t);
  if (chars > maxChars) chars = maxChars;
  std::vector<wchar_t> wide(chars + 1, L'\0');
  memcpy(wide.data(), info.data() + sizeof(ULONG), chars * sizeof(wchar_t));

  int len = WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(chars), nullptr, 0,
                                nullptr, nullptr);
  std::string native(static_cast<std::size_t>(len > 0 ? len : 0), '\0');
  if (len > 0)
    WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(chars), native.data(), len,
                        nullptr, nullptr);
  return RegKeyPathFromNativeName(native, root);
}

std::string RegGetKeyParentName(const std::string &path) {
  std::size_t slash = path.rfind('\\');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string WindowsVersionName(DWORD major, DWORD minor, DWORD platformId) {
  switch (major) {
    case 3:
      return "NT 3.51";
    case 4:
      if (minor == 10) return "98";
      if (minor == 90) return "Me";
      return platformId == VER_PLATFORM_WIN32_NT ? "NT 4" : "95";
    case 5:
      if (minor == 0) return "2000";
      if (minor == 1) return "XP";
      if (minor == 2) return "2003";
      return {};
    default:
      return {};
  }
}

std::string WindowsVersionText(const OSVERSIONINFOA &info) {
  DWORD build = info.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS ? (info.dwBuildNumber & 0xFFFF)
                                                                : info.dwBuildNumber;
  char csd[sizeof info.szCSDVersion + 1] = {};
  memcpy(csd, info.szCSDVersion, sizeof info.szCSDVersion);
  return "Windows " +
         WindowsVersionName(info.dwMajorVersion, info.dwMinorVersion, info.dwPlatformId) +
         " Build " + std::to_string(build) + " " + csd;
}

std::string nrGetVersion(const std::string &fileName, const std::string &format) {
  std::string fmt = format.empty() ? "%u.%u.%u.%u" : format;
  if (fileName.empty()) {
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof info;
    if (!GetVersionExA(&info)) return {};
    return WindowsVersionText(info);
  }
  DWORD ignored = 0;
  DWORD size = GetFileVersionInfoSizeA(fileName.c_str(), &ignored);
  if (size == 0) return {};
  std::vector<unsigned char> data(size);
  if (!GetFileVersionInfoA(fileName.c_str(), 0, size, data.data())) return {};
  VS_FIXEDFILEINFO *fixed = nullptr;
  UINT fixedSize = 0;
  if (!VerQueryValueA(data.data(), "\\", reinterpret_cast<void **>(&fixed), &fixedSize) || !fixed ||
      fixedSize < sizeof(VS_FIXEDFILEINFO))
    return {};
  return Format(fmt, {HIWORD(fixed->dwFileVersionMS), LOWORD(fixed->dwFileVersionMS),
                      HIWORD(fixed->dwFileVersionLS), LOWORD(fixed->dwFileVersionLS)});
}

std::string IntToOct(std::uint32_t value) {
  std::string digits;
  for (; value != 0; value >>= 3)
    digits.insert(digits.begin(), static_cast<char>('0' + (value & 7)));
  return digits;
}

std::uint32_t OctToInt(const std::string &text) {
  std::uint32_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '7') return 0;
    value = value * 8 + static_cast<std::uint32_t>(c - '0');
  }
  return value;
}
