// The few services of the SAT path that differ between Win32 and POSIX,
// apart from the serial port (serial_device.h). Each platform has its own
// source file, picked by the build.
#pragma once
#include <cstddef>
#include <cstdint>
#include <ctime>

namespace torvex::sat {

// Loads the compression library the sale submission needs. On Windows it is
// "zlib.DLL", found by the system's search order for LoadLibraryA: the host
// program's folder first (not torvex.dll's own folder), then the system
// folders, the current folder and PATH; ship it beside the program's .exe. On POSIX it is the
// system's zlib ("libz.so.1"), or the file named by the environment variable TORVEX_ZLIB. Returns
// nullptr when it cannot be loaded.
void *LoadZlibModule();
// Gives back a module that LoadZlibModule loaded (nothing for nullptr).
void FreeZlibModule(void *module);
// The address of an exported function of a loaded module, or nullptr.
void *FindModuleSymbol(void *module, const char *name);

// Local time of t, thread-safe. Returns false if the conversion failed.
bool LocalTime(std::time_t t, std::tm *out);

// zlib's compress2 and uncompress, found in the loaded module, called so
// that a build of either calling convention is safe (zlib_call_i386.cpp on
// 32-bit Windows, zlib_call_direct.cpp elsewhere).
int CallCompress2(void *fn, std::uint8_t *dest, unsigned long *destLen, const std::uint8_t *source,
                  unsigned long sourceLen, int level);
int CallUncompress(void *fn, std::uint8_t *dest, unsigned long *destLen, const std::uint8_t *source,
                   unsigned long sourceLen);

// Copies text for the calling thread and returns the copy, which stays
// valid until the same thread calls KeepForThisThread again (or the library
// is unloaded). nullptr when there is no memory for it. On Windows the
// copies are kept through a thread-local slot of the system's (the C++
// runtime's thread_local would give the program's thread a record of the
// thread library, see clock.h); a thread's copy is freed when the thread
// ends, and every copy when the library is unloaded.
const char *KeepForThisThread(const char *text);

// The not-ready texts, which hold accented letters. torvex.dll returns them
// in ISO-8859-1, as Windows POS programs have always received them;
// libtorvex.so returns every text in UTF-8, which is what Linux programs
// (and the strict UTF-8 decoders of their languages) expect.
extern const char kNotReadyText[];      // "Porta serial não está pronta, tente novamente"
extern const char kNotReadyTextBang[];  // the same with "!" (AssociarAssinatura)

// How the texts the library makes itself are encoded, as remote mode tells
// the hub: "latin1" (torvex.dll) or "utf8" (libtorvex.so).
extern const char kTextEncoding[];

// The path of a file named name in the folder the library itself was
// loaded from (torvex.dll's, libtorvex.so's). False when it does not fit
// out or the folder cannot be found.
bool FileBesideLibrary(const char *name, char *out, std::size_t cap);

}  // namespace torvex::sat
