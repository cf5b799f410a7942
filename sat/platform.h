// The few services of the SAT path that differ between Win32 and POSIX,
// apart from the serial port (serialdevice.h). Each platform has its own
// source file, picked by the build.
#pragma once
#include <ctime>

namespace torvex::sat {

// Loads the compression library the sale submission needs. On Windows it is
// "zlib.DLL", found by the system's search order (the library's folder
// first). On POSIX it is the system's zlib ("libz.so.1"), or the file named
// by the environment variable TORVEX_ZLIB. Returns nullptr when it cannot be
// loaded.
void *LoadZlibModule();
// The address of an exported function of a loaded module, or nullptr.
void *FindModuleSymbol(void *module, const char *name);

// Local time of t, thread-safe. Returns false if the conversion failed.
bool LocalTime(std::time_t t, std::tm *out);

}  // namespace torvex::sat
