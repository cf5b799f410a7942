#include "nrusbw32.h"

#include <cfgmgr32.h>

#include <cstring>

#include "nrsyslibs.h"

namespace {

// The seam (see nrusbw32.h): the system's own calls, or a test's stand-in.
// A global by design: the seam is the one point where a test replaces the
// whole USB stack for every caller in the process.
UsbSystem g_systemCalls;
UsbSystem *g_system = &g_systemCalls;

template <class T>
T ReadAt(const std::uint8_t *bytes, std::size_t offset) {
  T value;
  std::memcpy(&value, bytes + offset, sizeof value);
  return value;
}

template <class T>
void WriteAt(std::uint8_t *bytes, std::size_t offset, T value) {
  std::memcpy(bytes + offset, &value, sizeof value);
}

// The name at nameOffset of a record of which the system returned `returned`
// bytes (never more than the buffer).
std::string NameFromRecord(const std::vector<std::uint8_t> &record, DWORD returned,
                           std::size_t nameOffset) {
  std::size_t valid = returned < record.size() ? returned : record.size();
  if (valid <= nameOffset) return {};
  std::size_t units = (valid - nameOffset) / sizeof(WCHAR);
  std::vector<WCHAR> name(units);
  if (units) std::memcpy(name.data(), record.data() + nameOffset, units * sizeof(WCHAR));
  return UsbWideToAnsi(name.data(), units);
}

// The two-step name read shared by both name requests: the probe (input and
// output the same buffer when prefix is not empty), then the whole record.
std::string ReadName(HANDLE device, DWORD code, const std::vector<std::uint8_t> &prefix,
                     DWORD probeSize) {
  UsbSystem &sys = GetUsbSystem();
  std::size_t lengthOffset = prefix.size();
  std::vector<std::uint8_t> probe(probeSize, 0);
  std::memcpy(probe.data(), prefix.data(), prefix.size());
  DWORD returned = 0;
  bool withInput = !prefix.empty();
  if (!sys.Control(device, code, withInput ? probe.data() : nullptr, withInput ? probeSize : 0,
                   probe.data(), probeSize, &returned))
    return {};
  if (returned < lengthOffset + sizeof(ULONG)) return {};
  ULONG actual = ReadAt<ULONG>(probe.data(), lengthOffset);
  std::size_t nameOffset = lengthOffset + sizeof(ULONG);
  if (actual <= nameOffset || actual > kUsbMaxNameRecord) return {};

  std::vector<std::uint8_t> record(actual, 0);
  std::memcpy(record.data(), prefix.data(), prefix.size());
  returned = 0;
  if (!sys.Control(device, code, withInput ? record.data() : nullptr, withInput ? actual : 0,
                   record.data(), actual, &returned))
    return {};
  return NameFromRecord(record, returned, nameOffset);
}

// A property text of at most `length` bytes of buffer, up to its first zero.
std::string PropertyText(const char *buffer, ULONG length, std::size_t capacity) {
  std::size_t n = length < capacity ? length : capacity;
  std::size_t end = 0;
  while (end < n && buffer[end]) ++end;
  return std::string(buffer, end);
}

struct ConfigRead {
  std::vector<std::uint8_t> request;  // the last request buffer
  bool firstAnswered = false;
  DWORD returned = 0;  // bytes the last answered request returned
};

std::vector<std::uint8_t> NewDescriptorRequest(ULONG connectionIndex, UCHAR configIndex,
                                               std::uint16_t dataLength) {
  std::vector<std::uint8_t> r(kUsbDescriptorRequestHeader + dataLength, 0);
  WriteAt<ULONG>(r.data(), offsetof(USB_DESCRIPTOR_REQUEST, ConnectionIndex), connectionIndex);
  WriteAt<USHORT>(r.data(), offsetof(USB_DESCRIPTOR_REQUEST, SetupPacket.wValue),
                  static_cast<USHORT>((USB_CONFIGURATION_DESCRIPTOR_TYPE << 8) | configIndex));
  WriteAt<USHORT>(r.data(), offsetof(USB_DESCRIPTOR_REQUEST, SetupPacket.wLength), dataLength);
  return r;
}

ConfigRead ReadConfig(HANDLE hub, ULONG connectionIndex, UCHAR configIndex) {
  UsbSystem &sys = GetUsbSystem();
  ConfigRead read;
  read.request =
      NewDescriptorRequest(connectionIndex, configIndex, sizeof(USB_CONFIGURATION_DESCRIPTOR));
  DWORD size = static_cast<DWORD>(read.request.size());
  DWORD returned = 0;
  if (!sys.Control(hub, IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION, read.request.data(), size,
                   read.request.data(), size, &returned) ||
      returned < size) {
    // A failed or short answer: the buffer goes back to its zero data bytes.
    read.request =
        NewDescriptorRequest(connectionIndex, configIndex, sizeof(USB_CONFIGURATION_DESCRIPTOR));
    return read;
  }
  read.firstAnswered = true;
  read.returned = returned;
  auto total =
      ReadAt<USHORT>(read.request.data(), kUsbDescriptorRequestHeader +
                                              offsetof(USB_CONFIGURATION_DESCRIPTOR, wTotalLength));
  if (total < sizeof(USB_CONFIGURATION_DESCRIPTOR)) return read;

  read.request = NewDescriptorRequest(connectionIndex, configIndex, total);
  size = static_cast<DWORD>(read.request.size());
  returned = 0;
  read.returned = sys.Control(hub, IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION,
                              read.request.data(), size, read.request.data(), size, &returned)
                      ? (returned < size ? returned : size)
                      : 0;
  return read;
}

}  // namespace

// Exported and writable as it always was: a program may change how many
// controller indices the tree tries.
int MaxNumberUsbPorts = 10;

HANDLE UsbSystem::Open(const std::string &path, DWORD access, DWORD share) {
  return CreateFileA(path.c_str(), access, share, nullptr, OPEN_EXISTING, 0, nullptr);
}

BOOL UsbSystem::Control(HANDLE device, DWORD code, void *in, DWORD inSize, void *out, DWORD outSize,
                        DWORD *returned) {
  return DeviceIoControl(device, code, in, inSize, out, outSize, returned, nullptr);
}

BOOL UsbSystem::Close(HANDLE handle) { return CloseHandle(handle); }

HMODULE UsbSystem::LoadModule(const char *name) { return LoadLibraryA(name); }

FARPROC UsbSystem::FindEntry(HMODULE module, const char *name) {
  return GetProcAddress(module, name);
}

BOOL UsbSystem::ReleaseModule(HMODULE module) { return FreeLibrary(module); }

UsbSystem &GetUsbSystem() { return *g_system; }

void SetUsbSystem(UsbSystem *system) {
  syslibs::ReleaseCfgMgr();
  g_system = system ? system : &g_systemCalls;
}

std::string HostControllerPath(int index) { return "\\\\.\\HCD" + std::to_string(index); }

std::string UsbWideToAnsi(const WCHAR *units, std::size_t count) {
  std::size_t n = 0;
  while (n < count && units[n]) ++n;
  if (n == 0) return {};
  int wide = static_cast<int>(n);
  int len = WideCharToMultiByte(CP_ACP, 0, units, wide, nullptr, 0, nullptr, nullptr);
  if (len <= 0) return {};
  std::string text(static_cast<std::size_t>(len), '\0');
  WideCharToMultiByte(CP_ACP, 0, units, wide, text.data(), len, nullptr, nullptr);
  return text;
}

std::string GetKeyName(HANDLE controller, DWORD code) {
  return ReadName(controller, code, {}, kUsbControllerNameProbeSize);
}

std::string GetConnectionKeyName(HANDLE hub, DWORD code, ULONG connectionIndex) {
  std::vector<std::uint8_t> prefix(sizeof(ULONG));
  WriteAt<ULONG>(prefix.data(), 0, connectionIndex);
  return ReadName(hub, code, prefix, kUsbConnectionNameProbeSize);
}

std::string GetDescription(const std::string &driverKey) {
  syslibs::CfgMgr cm{};
  if (!syslibs::BindCfgMgr(GetUsbSystem(), cm)) return {};
  DEVINST current = 0;
  if (cm.locate(&current, nullptr, 0) != CR_SUCCESS) return {};

  constexpr ULONG kBufferSize = 512;
  std::vector<char> buffer(kBufferSize, 0);
  auto read = [&](DEVINST node, ULONG property, std::string &text) {
    ULONG length = kBufferSize;
    if (cm.property(node, property, nullptr, buffer.data(), &length, 0) != CR_SUCCESS) return false;
    text = PropertyText(buffer.data(), length, kBufferSize);
    return true;
  };

  // Depth first: child, else next sibling, else the next sibling of the
  // nearest ancestor that has one. A device tree is not that large: a walk
  // that takes this many steps is going round a broken tree in a circle.
  constexpr int kMaxSteps = 1 << 20;
  int steps = 0;
  auto move = [&](decltype(cm.child) relative, DEVINST &node) {
    DEVINST next = 0;
    if (++steps > kMaxSteps || relative(&next, node, 0) != CR_SUCCESS) return false;
    node = next;
    return true;
  };
  for (;;) {
    std::string key;
    if (read(current, CM_DRP_DRIVER, key) && key == driverKey) {
      std::string description;
      return read(current, CM_DRP_DEVICEDESC, description) ? description : std::string();
    }
    if (move(cm.child, current)) continue;
    while (!move(cm.sibling, current))
      if (steps > kMaxSteps || !move(cm.parent, current)) return {};
  }
}

std::vector<std::uint8_t> ConfigDescriptorRequest(ULONG connectionIndex, UCHAR configIndex) {
  return NewDescriptorRequest(connectionIndex, configIndex, sizeof(USB_CONFIGURATION_DESCRIPTOR));
}

std::vector<std::uint8_t> ReadConfigDescriptorRequest(HANDLE hub, ULONG connectionIndex,
                                                      UCHAR configIndex) {
  return ReadConfig(hub, connectionIndex, configIndex).request;
}

std::vector<std::uint8_t> GetConfigDescriptor(HANDLE hub, ULONG connectionIndex,
                                              UCHAR configIndex) {
  ConfigRead read = ReadConfig(hub, connectionIndex, configIndex);
  if (!read.firstAnswered || read.returned <= kUsbDescriptorRequestHeader) return {};
  return std::vector<std::uint8_t>(read.request.begin() + kUsbDescriptorRequestHeader,
                                   read.request.begin() + read.returned);
}
