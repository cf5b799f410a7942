// Export macro of the class library and of the component library.
//
// Both are static libraries linked into torvex.dll; the classes they declare
// are exported by the DLL. While the libraries themselves are compiled
// (TORVEX_LIB_BUILD) the declarations carry dllexport. A program that uses
// the classes through torvex.dll defines TORVEX_LIB_DLLIMPORT; a program that
// links the static libraries directly (the tests) defines neither.
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

// The component library (vavevi/) is built and exported the same way.
#define VAVEVI_API RT_API
