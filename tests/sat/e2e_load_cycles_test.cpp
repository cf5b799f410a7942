// torvex.dll loaded, used and unloaded again and again by one program
// (Windows, under Wine, against satemu on COM7). Nothing may pile up: not
// thread-local slots, threads, handles or memory. A program thread that
// waits in the C++ library's threading, starts a thread through it or holds
// a thread_local object of it gets a record of the thread library whose
// slot is taken at every load and never given back; after about a thousand
// loads the process could allocate no slot at all. 1,200 cycles go past
// that point.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "emulator.h"
#include "process_counts.h"
#include "torvex.h"

namespace {

using ConsultarSATFn = const char *(__stdcall *)(int);
using AbreSerialSATFn = int(__stdcall *)(int, int, int, int, int);
using LastTxFn = const char *(__stdcall *)();
using CodigoErroFn = char *(__stdcall *)(char *);

template <typename Fn>
Fn Find(HMODULE dll, const char *name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void *>(GetProcAddress(dll, name)));
}

struct Library {
  HMODULE dll = nullptr;
  ConsultarSATFn consultarSAT = nullptr;
  AbreSerialSATFn abreSerialSAT = nullptr;
  LastTxFn lastTx = nullptr;
  CodigoErroFn codigoErro = nullptr;

  bool Complete() const { return consultarSAT && abreSerialSAT && lastTx && codigoErro; }
  std::int32_t Code() const {
    char record[104] = {};
    codigoErro(record);
    std::int32_t code;
    std::memcpy(&code, record, 4);
    return code;
  }
};

Library Load() {
  Library lib;
  lib.dll = LoadLibraryA("torvex.dll");
  if (lib.dll == nullptr) return lib;
  lib.consultarSAT = Find<ConsultarSATFn>(lib.dll, "ConsultarSAT");
  lib.abreSerialSAT = Find<AbreSerialSATFn>(lib.dll, "AbreSerialSAT");
  lib.lastTx = Find<LastTxFn>(lib.dll, "LastTx");
  lib.codigoErro = Find<CodigoErroFn>(lib.dll, "CodigoErro");
  return lib;
}

// "<time stamp>=<command>" once a command was sent.
bool ShowsACommand(const char *lastTx) {
  return lastTx != nullptr && std::strchr(lastTx, '=') != nullptr && std::strlen(lastTx) > 24;
}

// Calls LastTx on a thread of its own, which then ends.
DWORD WINAPI CallLastTx(LPVOID lib) {
  return ShowsACommand(static_cast<Library *>(lib)->lastTx()) ? 0 : 1;
}

DWORD OnAThreadThatEnds(Library &lib) {
  HANDLE thread = CreateThread(nullptr, 0, &CallLastTx, &lib, 0, nullptr);
  if (thread == nullptr) return 2;
  WaitForSingleObject(thread, INFINITE);
  DWORD code = 3;
  GetExitCodeThread(thread, &code);
  CloseHandle(thread);
  return code;
}

// One cycle: load; open and close COM7 (the port's reader thread starts and
// is joined); every tenth cycle also a ConsultarSAT, whose probe and command
// each wait for a reply, and LastTx from a thread that ends; LastTx from
// this thread; unload.
void Cycle(int round) {
  SCOPED_TRACE("round " + std::to_string(round));
  Library lib = Load();
  ASSERT_NE(lib.dll, nullptr) << "error " << GetLastError();
  ASSERT_TRUE(lib.Complete());
  EXPECT_EQ(lib.abreSerialSAT(7, 115200, 8, 0, 1), TORVEX_STATUS_OK);
  if (round % 10 == 0) {
    int session = 100000 + round;
    std::string reply = lib.consultarSAT(session);
    EXPECT_EQ(reply.substr(0, 13), std::to_string(session) + "|08000|") << reply;
    EXPECT_EQ(lib.Code(), TORVEX_STATUS_OK);
    EXPECT_EQ(OnAThreadThatEnds(lib), 0u);
    EXPECT_TRUE(ShowsACommand(lib.lastTx()));
  } else {
    EXPECT_STREQ(lib.lastTx(), "") << "no command was sent";
  }
  ASSERT_TRUE(FreeLibrary(lib.dll));
  ASSERT_EQ(GetModuleHandleA("torvex.dll"), nullptr) << "still loaded after FreeLibrary";
}

}  // namespace

TEST(LoadCycles, TwelveHundredLoadsWithPortsAndRepliesLeaveNothingBehind) {
  REQUIRE_EMULATOR();
  ASSERT_EQ(GetModuleHandleA("torvex.dll"), nullptr) << "this program must not link torvex.dll";
  // The system libraries torvex.dll imports stay loaded, so that only the
  // library itself comes and goes.
  for (const char *system : {"user32.dll", "advapi32.dll", "version.dll", "winmm.dll"})
    ASSERT_NE(LoadLibraryA(system), nullptr) << system;
  SCOPED_TRACE("cycles");  // the test framework's own first-trace set-up, done now

  // Warm-up: the system's own caches fill during the first cycles.
  for (int round = 0; round < 20 && !HasFatalFailure(); ++round) Cycle(round);
  ProcessCounts before = CountProcess();
  for (int round = 20; round < 1220 && !HasFailure(); ++round) Cycle(round);
  ProcessCounts after = CountProcess();

  // A slot, a thread or two handles per cycle would be 1,200 of them; a
  // receive buffer per cycle 2 GiB. A busy machine moves none of these much.
  const std::string shown = "\nbefore: " + before.Show() + "\nafter:  " + after.Show();
  EXPECT_GE(after.freeTlsSlots, before.freeTlsSlots - 2) << shown;
  EXPECT_LE(after.threads, before.threads + 2) << shown << "\n" << DescribeOwnThreads();
  EXPECT_LE(after.handles, before.handles + 50) << shown;
  EXPECT_LE(after.privateBytes, before.privateBytes + 16 * 1024 * 1024) << shown;
  std::printf("20 + 1200 cycles: %s -> %s\n", before.Show().c_str(), after.Show().c_str());
}

// The text handed to a thread is the thread's own until its next call; a
// thread that ends takes its copy with it, while the library stays loaded.
TEST(LoadCycles, ThreadsThatEndLeaveNoTextBehind) {
  REQUIRE_EMULATOR();
  Library lib = Load();
  ASSERT_NE(lib.dll, nullptr) << "error " << GetLastError();
  ASSERT_TRUE(lib.Complete());
  std::string reply = lib.consultarSAT(4242);  // something for LastTx to show
  ASSERT_EQ(reply.substr(0, 13), "004242|08000|") << reply;
  for (int i = 0; i < 20; ++i) ASSERT_EQ(OnAThreadThatEnds(lib), 0u);
  std::size_t before = HeapBytesInUse();
  for (int i = 0; i < 500; ++i) ASSERT_EQ(OnAThreadThatEnds(lib), 0u);
  std::size_t after = HeapBytesInUse();
  // Each copy takes at least 256 bytes: kept, they would be 128 KB or more.
  EXPECT_LE(after, before + 64 * 1024) << before << " -> " << after;
  FreeLibrary(lib.dll);
}
