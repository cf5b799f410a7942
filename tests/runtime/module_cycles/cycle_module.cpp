// A module built as torvex.dll is (static C and C++ runtimes, the class
// library's once-only calls and thread-locals) that uses everything of the
// C++ runtime that depends on threads: exceptions, a thread-local variable,
// a function-local static, a thread of its own that does the same and ends.
#include <windows.h>

#include <cstddef>
#include <stdexcept>
#include <string>

#include "rtcrt_win32.h"

namespace {

thread_local int t_calls = 0;
thread_local char t_name[16] = "thread";  // with initial bytes

const std::string &Greeting() {
  static const std::string greeting = std::string("olá, ") + "módulo";
  return greeting;
}

// What one thread does: returns 1 when all went as it should.
int OneThread() {
  int ok = 1;
  try {
    throw std::runtime_error("inside the module");
  } catch (const std::exception &e) {
    ok &= std::string(e.what()) == "inside the module";
  }
  ok &= ++t_calls >= 1;
  ok &= std::string(t_name) == "thread";
  ok &= Greeting() == "olá, módulo";
  return ok;
}

DWORD WINAPI ThreadMain(void *result) {
  *static_cast<int *>(result) = OneThread() && t_calls == 1;  // a fresh thread's own copy
  return 0;
}

}  // namespace

// Runs the work on the calling thread and on a thread of the module that
// ends before it returns. 1 when everything held.
extern "C" __declspec(dllexport) int __cdecl CycleExercise() {
  int ok = OneThread();
  int threadOk = 0;
  HANDLE thread = CreateThread(nullptr, 0, &ThreadMain, &threadOk, 0, nullptr);
  if (!thread) return 0;
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
  return ok && threadOk;
}

// Thread-local blocks alive: the ended thread's must be gone.
extern "C" __declspec(dllexport) std::size_t __cdecl CycleBlocks() { return rt::CrtThreadBlocks(); }

// Calls made by the calling thread in this load.
extern "C" __declspec(dllexport) int __cdecl CycleCalls() { return t_calls; }
