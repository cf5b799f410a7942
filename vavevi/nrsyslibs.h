// System libraries that the component library binds at run time instead of
// importing them: SetupAPI (the device-setup walk), the configuration manager
// (device descriptions of the USB tree), CancelIo, the spooler's port list
// and ZwQueryKey (registry key paths). torvex.dll imports none of them, so it
// loads on systems that lack one; a need that cannot be met fails softly.
//
// One rule for every binding:
// - It is made on first need, under one lock shared by all bindings: the
//   library is loaded and every entry point the library's user needs is
//   looked up. Either all are found, or the library is freed again and the
//   need fails; the next need tries again.
// - Once made, it stays until the module that holds the component library is
//   unloaded: the unit's finalisation frees every bound library, and only
//   then (so a function pointer handed out stays valid as long as any code of
//   the module can run).
// - The one exception is the configuration manager, which is loaded through
//   the USB seam (nrusbw32.h) so that a test can stand in for it: its binding
//   is also released when the seam is replaced, through the seam that made it.
#pragma once

#include <windows.h>
#include <cfgmgr32.h>
#include <setupapi.h>

class UsbSystem;

namespace syslibs {

// SetupAPI.dll: the five entry points of the device-setup walk.
struct SetupApi {
  HDEVINFO(WINAPI *getClassDevs)(const GUID *, PCSTR, HWND, DWORD);
  BOOL(WINAPI *destroyList)(HDEVINFO);
  BOOL(WINAPI *enumInfo)(HDEVINFO, DWORD, PSP_DEVINFO_DATA);
  BOOL(WINAPI *getProperty)(HDEVINFO, PSP_DEVINFO_DATA, DWORD, PDWORD, PBYTE, DWORD, PDWORD);
  HKEY(WINAPI *openDevRegKey)(HDEVINFO, PSP_DEVINFO_DATA, DWORD, DWORD, DWORD, REGSAM);
};
// Binds SetupAPI when it is not bound yet; null when it cannot be.
const SetupApi *BindSetupApi();
// SetupAPI when it is bound already, else null (binds nothing).
const SetupApi *BoundSetupApi();

// cfgmgr32.dll: the device-tree walk of the USB descriptions.
struct CfgMgr {
  CONFIGRET(WINAPI *locate)(PDEVINST, DEVINSTID_A, ULONG);
  CONFIGRET(WINAPI *property)(DEVINST, ULONG, PULONG, PVOID, PULONG, ULONG);
  CONFIGRET(WINAPI *child)(PDEVINST, DEVINST, ULONG);
  CONFIGRET(WINAPI *sibling)(PDEVINST, DEVINST, ULONG);
  CONFIGRET(WINAPI *parent)(PDEVINST, DEVINST, ULONG);
};
// Binds the configuration manager through seam when it is not bound yet and
// copies its entry points into entries; false when they cannot all be found.
bool BindCfgMgr(UsbSystem &seam, CfgMgr &entries);
// Frees the configuration manager through the seam that bound it.
void ReleaseCfgMgr();

// kernel32.dll: CancelIo; null when missing.
using CancelIoFn = BOOL(WINAPI *)(HANDLE);
CancelIoFn BindCancelIo();

// winspool.drv: EnumPortsA (the port list of the Windows 9x family); null
// when missing.
using EnumPortsFn = BOOL(WINAPI *)(LPSTR, DWORD, LPBYTE, DWORD, LPDWORD, LPDWORD);
EnumPortsFn BindEnumPorts();

// ntdll.dll: ZwQueryKey; null when missing.
using ZwQueryKeyFn = LONG(WINAPI *)(HANDLE, int, PVOID, ULONG, PULONG);
ZwQueryKeyFn BindZwQueryKey();

}  // namespace syslibs
