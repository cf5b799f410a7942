// Work of a unit at load and unload of the module that holds it.
//
// A unit that must set something up when its module (a DLL, or a program linking
// the libraries statically) is loaded, and release it at unload, declares
// one TUnitInit in its source, with its place in the order:
//
//   namespace {
//   void Initialization() { InitializeCriticalSection(&g_lock); }
//   void Finalization() { DeleteCriticalSection(&g_lock); }
//   const TUnitInit g_unit RT_UNIT_PLACE(kUnitMine)(&Initialization, &Finalization);
//   }
//
// The initialisations run once each, before the module's entry routine sees
// the load and before any plain static object of the module is built, in
// the order of their places (the link order of the library's units); the
// finalisations run at unload in the reverse order, after the plain static
// objects are gone. An initialisation may therefore use only constant data
// of other units (constinit objects, literals), never their static objects.
//
// A library that is loaded and unloaded many times in one process must give
// back everything at unload. Two things of the MinGW runtime need care:
// - The C++ runtime keeps a reserve for raising exceptions when memory runs
//   out (about 70 KiB), allocated at load and never freed.
// - Once-only calls and thread-local variables of the C++ runtime would
//   take a thread-local slot of the process that is never given back.
// A module that is loaded many times links the unit of rtcrt_win32.h
// (kUnitCrt), which replaces the latter with versions of its own and gives
// back both, last of all, at unload.
#pragma once

// The places of this library's units. A library built on this one keeps
// the list of its own units' places in a header of its own, from
// kUnitFirstUser on (so that its units run after these); places go up to
// 65535.
inline constexpr int kUnitCrt = 900;  // the C++ runtime's threads and reserves (rtcrt_win32.cpp)
inline constexpr int kUnitFirstUser = 1000;

// GCC and clang order static objects by this attribute (lower first).
#define RT_UNIT_PLACE(place) __attribute__((init_priority(place)))

class TUnitInit {
 public:
  TUnitInit(void (*initialization)(), void (*finalization)()) : finalization_(finalization) {
    if (initialization) initialization();
  }
  ~TUnitInit() {
    if (finalization_) finalization_();
  }
  TUnitInit(const TUnitInit &) = delete;
  TUnitInit &operator=(const TUnitInit &) = delete;

 private:
  void (*finalization_)();
};
