// Nrsysutils: system helpers of the component library - system error texts,
// resources written to files, registry key paths, version texts, octal
// numbers and the process-wide lock.
//
// The helpers report failure by their result (false, an empty text) and leave
// the cause in the system's last error; they raise nothing of their own.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "nrexport.h"

// The system's message text for the calling thread's last error code, without
// the line break the system puts at its end.
VAVEVI_API std::string GetLastSysErrorString();
// The owner window for dialogs and message boxes: none (0).
VAVEVI_API HWND GetMainWindowHandle();

// Writes the RCDATA resource resName of the module that holds this code to
// fileName (replacing the file). True when the whole resource was written; a
// missing resource creates no file. The bytes go to a temporary file beside
// fileName, which then replaces fileName: a write that fails half-way leaves
// fileName as it was (or absent), never a truncated copy.
VAVEVI_API bool CreateFileFromRes(const std::string &resName, const std::string &fileName);
// True when fileName holds exactly the bytes of the RCDATA resource resName.
VAVEVI_API bool FileMatchesRes(const std::string &resName, const std::string &fileName);

// The path of an open registry key. With root given, a machine key's path is
// relative to HKEY_LOCAL_MACHINE and a user key's to HKEY_CURRENT_USER, and
// *root receives that key (0 for any other key, whose path is then the full
// native name); without it the full native name ("\REGISTRY\MACHINE\...").
VAVEVI_API std::string RegGetKeyFullName(HKEY key, HKEY *root = nullptr);
// The root handling of RegGetKeyFullName, applied to a native key name.
VAVEVI_API std::string RegKeyPathFromNativeName(const std::string &nativeName, HKEY *root);
// The path without its last component ("A\B\C" gives "A\B"; "A" gives "").
VAVEVI_API std::string RegGetKeyParentName(const std::string &path);

// With a file name: format (default "%u.%u.%u.%u") applied to the four parts
// of the file's version, or "" when it has none. With an empty file name:
// "Windows <name> Build <build> <service pack>" for the running system.
VAVEVI_API std::string nrGetVersion(const std::string &fileName, const std::string &format);
// The name of a Windows version ("XP" for 5.1), "" for versions not named.
VAVEVI_API std::string WindowsVersionName(DWORD major, DWORD minor, DWORD platformId);
// The system text of nrGetVersion for the given version information.
VAVEVI_API std::string WindowsVersionText(const OSVERSIONINFOA &info);

// Octal digits without leading zeros ("" for 0).
VAVEVI_API std::string IntToOct(std::uint32_t value);
// Octal text into a value wrapping at 32 bits; 0 for any character outside
// "0" to "7" and for the empty text.
VAVEVI_API std::uint32_t OctToInt(const std::string &text);

// The one process-wide lock, re-entrant for its owning thread. Offered to the
// users of the components; nothing inside the library takes it.
VAVEVI_API void nrEnterThreadCritical();
VAVEVI_API void nrLeaveThreadCritical();
