// Nrwin32: serial ports and device setup - port names, opening a port for
// overlapped I/O, synchronous and asynchronous transfers, cancelling I/O, the
// list of the machine's serial ports and the device-setup walk.
#pragma once

#include <windows.h>
#include <setupapi.h>

#include <string>

#include "nrexport.h"
#include "rtlists.h"

// Waits for a pending overlapped operation. error receives the last error; an
// error other than ERROR_IO_PENDING gives false at once, otherwise the result
// is GetOverlappedResult's (waiting without limit).
VAVEVI_API bool WaitForIOCompletion(HANDLE port, OVERLAPPED *overlapped, DWORD &transferred,
                                    DWORD &error);

VAVEVI_API std::string ComPortToStr(unsigned portNo);  // "COM%u"
// Opens "\\?\COM<n>" for reading and writing, unshared, overlapped. Reports
// nothing itself: on INVALID_HANDLE_VALUE the cause is the last error.
VAVEVI_API HANDLE OpenPort(unsigned portNo);

// Whole transfers through a private overlapped record; they may run on
// several threads, also on one handle. A read that returns fewer bytes than
// asked still succeeds: ReadSyncCount tells how many came (also after a
// failure, which may have brought some).
VAVEVI_API bool WriteSync(HANDLE port, const void *buffer, DWORD count);
VAVEVI_API bool ReadSync(HANDLE port, void *buffer, DWORD count);
VAVEVI_API bool ReadSyncCount(HANDLE port, void *buffer, DWORD count, DWORD *read);
// Starts a write and does not wait for it. All calls share one overlapped
// record: one asynchronous write at a time in the whole process.
VAVEVI_API bool WriteAsync(HANDLE port, const void *buffer, DWORD count);
// Cancels the calling thread's pending I/O on the handle (CancelIo, bound at
// run time).
VAVEVI_API bool nrCancelIO(HANDLE port);

// Fills list with the machine's serial ports: each entry a name ("COM3") with
// its number in the object slot, in ascending order of number. A name whose
// text after "COM" is not a decimal number raises EConvertError.
VAVEVI_API void GetPortList(TStringList &list);
// The ordered insertion of GetPortList: appended when the number is above the
// last entry's; otherwise inserted before the first greater number; not added
// when no entry is greater (the number equals the last one).
VAVEVI_API void InsertPortOrdered(TStringList &list, const std::string &name, unsigned number);
// The number after the first three characters of a port name.
VAVEVI_API unsigned PortNumberOf(const std::string &name);
// One entry as the Windows 9x port enumeration reports it ("COM2:").
VAVEVI_API void AddWin9xPort(TStringList &list, std::string name);
// One value of HARDWARE\DEVICEMAP\SERIALCOMM ("com3").
VAVEVI_API void AddDeviceMapPort(TStringList &list, const std::string &name);

// The device-setup walk over the present devices of a class. EnumDevicesOpen
// gives 0 when SetupAPI is not available. EnumDevicesNext gives false when
// there is no member at index; a property the device lacks is "".
VAVEVI_API HDEVINFO EnumDevicesOpen(const GUID &classGuid);
VAVEVI_API bool EnumDevicesNext(HDEVINFO set, DWORD index, std::string &service,
                                std::string &description, std::string &friendlyName,
                                std::string &keyPath);
VAVEVI_API void EnumDevicesClose(HDEVINFO set);
