// A module with the library's runtime set-up loaded, used and unloaded more
// times than a process has thread-local slots (Windows, under Wine): the C++
// runtime's exceptions, thread-locals, function-local statics and the
// module's own threads leave no slot, handle or memory behind. torvex.dll is
// linked the same way (cmake/TorvexModuleRuntime.cmake); its own load tests
// (form.library_load, sat_e2e_load_cycles) cover it with device calls.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <cstddef>
#include <string>
#include <vector>

#include "process_counts.h"

namespace {

using ExerciseFn = int(__cdecl *)();
using BlocksFn = std::size_t(__cdecl *)();
using CallsFn = int(__cdecl *)();

template <typename Fn>
Fn Find(HMODULE dll, const char *name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void *>(GetProcAddress(dll, name)));
}

struct Module {
  HMODULE dll = LoadLibraryA("cycle_module.dll");
  ExerciseFn exercise = Find<ExerciseFn>(dll, "CycleExercise");
  BlocksFn blocks = Find<BlocksFn>(dll, "CycleBlocks");
  CallsFn calls = Find<CallsFn>(dll, "CycleCalls");
  ~Module() {
    if (dll) FreeLibrary(dll);
  }
  bool Ok() const { return dll && exercise && blocks && calls; }
};

struct Usage {
  std::size_t handles;
  int freeTlsSlots;
  std::size_t heapBytes;
  std::string Show() const {
    return "handles " + std::to_string(handles) + ", free TLS slots " +
           std::to_string(freeTlsSlots) + ", heap bytes " + std::to_string(heapBytes);
  }
};

Usage Measure() { return {CountOwnHandles(), FreeTlsSlots(), HeapBytesInUse()}; }

struct RaceArg {
  Module *m;
  HANDLE start;
  std::atomic<int> *good;
};

// One of the racing threads: waits for the start, then makes its first call.
DWORD WINAPI Racer(void *p) {
  auto *a = static_cast<RaceArg *>(p);
  WaitForSingleObject(a->start, INFINITE);  // all together
  if (a->m->exercise() == 1 && a->m->calls() == 1) a->good->fetch_add(1);
  return 0;
}

}  // namespace

TEST(ModuleCycles, MoreLoadsThanSlotsLeaveNothingBehind) {
  {
    Module warmUp;
    ASSERT_TRUE(warmUp.Ok()) << "cycle_module.dll: error " << GetLastError();
  }
  const Usage before = Measure();
  const int rounds = before.freeTlsSlots + 150;  // past the point where slots would run out
  for (int round = 0; round < rounds && !HasFailure(); ++round) {
    Module m;
    ASSERT_TRUE(m.Ok()) << "round " << round << ": error " << GetLastError();
    ASSERT_EQ(m.exercise(), 1) << "round " << round;
    ASSERT_EQ(m.exercise(), 1) << "round " << round;
    EXPECT_EQ(m.calls(), 2) << "round " << round << ": thread-locals start fresh at each load";
    EXPECT_EQ(m.blocks(), 1u) << "round " << round << ": the module's ended threads keep blocks";
  }
  const Usage after = Measure();
  const std::string shown = "\nbefore: " + before.Show() + "\nafter:  " + after.Show();
  std::printf("%d loads: %s -> %s\n", rounds, before.Show().c_str(), after.Show().c_str());
  EXPECT_GE(after.freeTlsSlots, before.freeTlsSlots - 2) << shown;
  EXPECT_LE(after.handles, before.handles + 50) << shown;
  EXPECT_LE(after.heapBytes, before.heapBytes + 256 * 1024) << shown;
}

// Threads that reach the module's first exception, thread-local and
// function-local static at the same moment: each gets its own and right
// answer (the once-only calls and guards wait for one another).
TEST(ModuleCycles, FirstUseFromManyThreadsAtOnce) {
  for (int round = 0; round < 20 && !HasFailure(); ++round) {
    Module m;
    ASSERT_TRUE(m.Ok());
    constexpr int kThreads = 8;
    std::atomic<int> good{0};
    RaceArg arg{&m, CreateEventA(nullptr, TRUE, FALSE, nullptr), &good};
    std::vector<HANDLE> threads;
    for (int i = 0; i < kThreads; ++i)
      threads.push_back(CreateThread(nullptr, 0, &Racer, &arg, 0, nullptr));
    SetEvent(arg.start);
    for (HANDLE t : threads) {
      WaitForSingleObject(t, INFINITE);
      CloseHandle(t);
    }
    CloseHandle(arg.start);
    EXPECT_EQ(good.load(), kThreads) << "round " << round;
    EXPECT_EQ(m.blocks(), 0u) << "round " << round << ": every thread has ended";
  }
}
