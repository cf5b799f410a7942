// Nrusbw32: what the USB component asks Windows about host controllers, hubs,
// hub ports and the devices on them.
//
// - Device names: a host controller is "\\.\HCD<n>", a hub "\\.\<hub name>".
// - Requests: the host-controller and hub device-control requests with the
//   published records (usbioctl.h), in buffers of the sizes below.
// - Names of variable length are read in two steps: a small probe that reports
//   the size the whole record needs, then a request with a buffer of that size.
// - Descriptions come from the Plug and Play device tree (cfgmgr32.dll, bound
//   on first use through the seam below, nrsyslibs.h): the node whose driver
//   key equals the name.
//
// Nothing here raises or reports: every failure gives an empty result, and the
// caller decides what that means. An answer shorter than the record it should
// fill counts as a failed request, so no answer is ever read past what the
// system returned.
//
// All calls to the USB stack go through one small seam, UsbSystem, so that the
// topology can be exercised against a simulated stack where no host controller
// exists (under Wine, for instance).
#pragma once

#include <windows.h>
#include <usbioctl.h>
#include <winioctl.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "nrexport.h"

// The published records, byte-packed, with the sizes the buffers rely on.
static_assert(sizeof(USB_DEVICE_DESCRIPTOR) == 18);
static_assert(sizeof(USB_ENDPOINT_DESCRIPTOR) == 7);
static_assert(sizeof(USB_PIPE_INFO) == 11);
static_assert(sizeof(USB_CONFIGURATION_DESCRIPTOR) == 9);
static_assert(sizeof(USB_NODE_CONNECTION_INFORMATION) == 35);
static_assert(sizeof(USB_HUB_DESCRIPTOR) == 71);
static_assert(sizeof(USB_NODE_INFORMATION) == 76);
static_assert(sizeof(USB_DESCRIPTOR_REQUEST) == 12);

// Buffer sizes. The connection information has room for 30 pipes: besides the
// control pipe a device has at most 15 IN and 15 OUT endpoints.
constexpr DWORD kUsbMaxPipes = 30;
constexpr DWORD kUsbConnectionInfoSize =
    sizeof(USB_NODE_CONNECTION_INFORMATION) + kUsbMaxPipes * sizeof(USB_PIPE_INFO);  // 365
// The node information with 4 bytes of room for the bus-powered flag, which
// the published record holds in its first byte.
constexpr DWORD kUsbNodeInfoSize =
    offsetof(USB_NODE_INFORMATION, u) + sizeof(USB_HUB_DESCRIPTOR) + 4;
constexpr DWORD kUsbDescriptorRequestHeader = sizeof(USB_DESCRIPTOR_REQUEST);  // 12
constexpr DWORD kUsbControllerNameProbeSize = 6;   // ActualLength + one UTF-16 unit
constexpr DWORD kUsbConnectionNameProbeSize = 12;  // ConnectionIndex, ActualLength, 4 name bytes
// Names longer than this (in bytes of their whole record) are taken as a
// malformed answer.
constexpr DWORD kUsbMaxNameRecord = 0x10000;
static_assert(kUsbConnectionInfoSize == 365 && kUsbNodeInfoSize == 79);

// The seam between the USB code and the system: the calls that reach the USB
// stack and the configuration-manager library. The default passes each one to
// the Win32 function of the same kind; a test installs its own to simulate
// controllers, hubs and devices.
class VAVEVI_API UsbSystem {
 public:
  virtual ~UsbSystem() = default;
  // CreateFileA with no security attributes, OPEN_EXISTING, no flags.
  virtual HANDLE Open(const std::string &path, DWORD access, DWORD share);
  virtual BOOL Control(HANDLE device, DWORD code, void *in, DWORD inSize, void *out, DWORD outSize,
                       DWORD *returned);
  virtual BOOL Close(HANDLE handle);
  virtual HMODULE LoadModule(const char *name);
  virtual FARPROC FindEntry(HMODULE module, const char *name);
  virtual BOOL ReleaseModule(HMODULE module);
};

// The seam in use: the system's unless a test installed another.
VAVEVI_API UsbSystem &GetUsbSystem();
// Installs system (nullptr restores the real one). The configuration-manager
// binding made through the previous seam is released.
VAVEVI_API void SetUsbSystem(UsbSystem *system);

// The number of host-controller indices tried when the tree is built (0 to
// MaxNumberUsbPorts - 1); 10 unless changed.
VAVEVI_API extern int MaxNumberUsbPorts;

// "\\.\HCD" followed by the index in decimal: "\\.\HCD0" to "\\.\HCD9" for
// the first ten, then "\\.\HCD10" and on, as Windows names its controllers.
VAVEVI_API std::string HostControllerPath(int index);

// A name read in two steps from a host controller (IOCTL_GET_HCD_DRIVERKEY_NAME,
// IOCTL_USB_GET_ROOT_HUB_NAME); empty when either request fails or its answer
// is malformed.
VAVEVI_API std::string GetKeyName(HANDLE controller, DWORD code);
// A name read in two steps from a hub for one port (1-based connectionIndex):
// IOCTL_USB_GET_NODE_CONNECTION_NAME, IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME.
VAVEVI_API std::string GetConnectionKeyName(HANDLE hub, DWORD code, ULONG connectionIndex);
// The device description of the Plug and Play node whose driver key is
// driverKey (exact, case-sensitive); empty when there is none, when that node
// has no readable description, or when cfgmgr32.dll cannot be bound.
VAVEVI_API std::string GetDescription(const std::string &driverKey);

// The first request of the configuration-descriptor read for one port: the
// 12-byte USB_DESCRIPTOR_REQUEST header (the port, configuration descriptor
// configIndex, 9 bytes) followed by 9 zero descriptor bytes.
VAVEVI_API std::vector<std::uint8_t> ConfigDescriptorRequest(ULONG connectionIndex,
                                                             UCHAR configIndex);
// The configuration-descriptor read for one port: a request for the first 9
// bytes, then one for wTotalLength bytes. The result is the last request
// buffer: the 12-byte USB_DESCRIPTOR_REQUEST header followed by the
// descriptor. When the first request fails it is that 21-byte request with
// zero descriptor bytes; when its answer gives a wTotalLength below 9, no
// second request is made and the first buffer is kept. The answer of the
// second request is not tested: a failed one leaves zero descriptor bytes.
VAVEVI_API std::vector<std::uint8_t> ReadConfigDescriptorRequest(HANDLE hub, ULONG connectionIndex,
                                                                 UCHAR configIndex);
// The configuration descriptor of one port with its interface and endpoint
// descriptors: the bytes that the system returned after the request header,
// owned by the caller. Empty when the first request fails.
VAVEVI_API std::vector<std::uint8_t> GetConfigDescriptor(HANDLE hub, ULONG connectionIndex,
                                                         UCHAR configIndex);

// UTF-16 text to the system's ANSI code page, up to the first zero unit and
// never past units.
VAVEVI_API std::string UsbWideToAnsi(const WCHAR *units, std::size_t count);
