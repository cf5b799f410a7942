// Export macro of the class library.
//
// The library is a static library linked into a DLL, which exports the
// classes it declares. While the library is compiled (TORVEX_LIB_BUILD) the
// declarations carry dllexport. A program that uses the classes through the
// DLL defines TORVEX_LIB_DLLIMPORT; a program that links the static library
// directly (the tests) defines neither. A library built on this one and
// linked into the same DLL may define its own macro as RT_API.
#pragma once

#if defined(_WIN32)
#if defined(TORVEX_LIB_BUILD)
#define RT_API __declspec(dllexport)
#elif defined(TORVEX_LIB_DLLIMPORT)
#define RT_API __declspec(dllimport)
#else
#define RT_API
#endif
#else
#define RT_API __attribute__((visibility("default")))
#endif
