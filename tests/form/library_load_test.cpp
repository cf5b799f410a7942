// Loading and unloading torvex.dll, many times in one process (Windows,
// under Wine with a display): the library creates no device form, no
// window, no thread and no file while it is loaded, answers CodigoErro with
// code 0 and an empty message, and leaves no handle, thread, memory or
// window behind when it is unloaded. With a device emulator on a COM port
// (with-satemu.sh) every load also makes a command call to the device, so
// that the port, its reader thread and the wait for the reply come and go
// with the library.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "msgbox_catcher.h"
#include "process_counts.h"

namespace {

using CodigoErroFn = char *(__stdcall *)(char *);
using ConsultarSATFn = const char *(__stdcall *)(int);

// True when a device emulator answers on a COM port.
bool DevicePresent() { return std::getenv("TORVEX_TEST_CONTROL") != nullptr; }

template <class F>
F Entry(HMODULE dll, const char *name) {
  return reinterpret_cast<F>(reinterpret_cast<void *>(GetProcAddress(dll, name)));
}

std::string ExeFolder() {
  char path[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string p(path, n);
  return p.substr(0, p.find_last_of("\\/") + 1);
}

bool FileExists(const std::string &path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// One load and unload; checks what the loaded library shows.
void LoadOnce(const ProcessCounts &before, int round) {
  SCOPED_TRACE("round " + std::to_string(round));
  HMODULE dll = LoadLibraryA("torvex.dll");
  ASSERT_NE(dll, nullptr) << "error " << GetLastError();

  auto commDrv = reinterpret_cast<void *const *>(GetProcAddress(dll, "CommDrv"));
  ASSERT_NE(commDrv, nullptr) << "CommDrv is not exported";
  EXPECT_EQ(*commDrv, nullptr) << "CommDrv holds a form";

  auto codigoErro = Entry<CodigoErroFn>(dll, "CodigoErro");
  ASSERT_NE(codigoErro, nullptr);
  char record[104];
  std::memset(record, 0x5A, sizeof record);
  codigoErro(record);
  std::int32_t code;
  std::memcpy(&code, record, 4);
  EXPECT_EQ(code, 0);
  EXPECT_EQ(record[4], '\0') << "status message not empty";

  // Loaded: no window and no thread of its own.
  EXPECT_EQ(CountOwnWindows(), before.windows);
  EXPECT_LE(CountOwnThreads(), before.threads) << DescribeOwnThreads();

  if (DevicePresent()) {
    // A command to the device: found by the probe, answered, port closed.
    auto consultar = Entry<ConsultarSATFn>(dll, "ConsultarSAT");
    ASSERT_NE(consultar, nullptr);
    const int session = 100000 + round;
    std::string reply = consultar(session);
    EXPECT_EQ(reply.substr(0, 13), std::to_string(session) + "|08000|") << reply;
    EXPECT_EQ(*commDrv, nullptr) << "a call made a form";
    EXPECT_LE(CountOwnThreads(), before.threads) << DescribeOwnThreads();
  }

  ASSERT_TRUE(FreeLibrary(dll));
  EXPECT_EQ(CountOwnWindows(), before.windows);
  EXPECT_EQ(GetModuleHandleA("torvex.dll"), nullptr) << "still loaded after FreeLibrary";
  EXPECT_EQ(GetModuleHandleA("zlib.DLL"), nullptr) << "the library kept zlib loaded";
}

std::string RcData(HMODULE module, const char *name) {
  HRSRC info = FindResourceA(module, name, reinterpret_cast<LPCSTR>(RT_RCDATA));
  HGLOBAL loaded = info ? LoadResource(module, info) : nullptr;
  const void *data = loaded ? LockResource(loaded) : nullptr;
  return data ? std::string(static_cast<const char *>(data), SizeofResource(module, info))
              : std::string();
}

}  // namespace

// The device form's resource travels inside the library, as written in
// resources/commdrv.form (of which this program carries a copy too).
TEST(LibraryLoad, CarriesTheDeviceFormResource) {
  HMODULE image = LoadLibraryExA("torvex.dll", nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(image, nullptr) << GetLastError();
  std::string carried = RcData(image, "TCOMMDRV");
  FreeLibrary(image);
  std::string shipped = RcData(nullptr, "TCOMMDRV");
  ASSERT_FALSE(shipped.empty());
  EXPECT_EQ(carried, shipped);
}

TEST(LibraryLoad, MoreLoadsThanSlotsLeaveNothingBehind) {
  if (!MessageBoxCatcher::DisplayAvailable()) GTEST_SKIP() << "no display: windows cannot be seen";
  ASSERT_EQ(GetModuleHandleA("torvex.dll"), nullptr) << "this program must not link torvex.dll";
  // The system libraries torvex.dll imports stay loaded, so that only the
  // library itself comes and goes.
  for (const char *system : {"user32.dll", "advapi32.dll", "version.dll", "winmm.dll"})
    ASSERT_NE(LoadLibraryA(system), nullptr) << system;

  MessageBoxCatcher boxes;
  // The test framework starts a helper thread the first time a test traces.
  SCOPED_TRACE("loads");
  const std::string folder = ExeFolder();
  const std::string logs[] = {folder + "library_load_tests.log", folder + "sat.log"};
  for (const std::string &log : logs) DeleteFileA(log.c_str());

  // Warm-up: the system's own caches fill during the first loads.
  ProcessCounts start = CountProcess();
  for (int round = 0; round < 20; ++round) LoadOnce(start, round);
  ProcessCounts before = CountProcess();
  // More loads than the process has thread-local slots (1,088 under Wine).
  for (int round = 0; round < 1200 && !HasFailure(); ++round) LoadOnce(before, round);
  ProcessCounts after = CountProcess();

  // Bounds that a leak of one handle, thread-local slot or a few hundred
  // bytes per load breaks, and that a busy machine does not.
  const std::string shown = "\nbefore: " + before.Show() + "\nafter:  " + after.Show();
  EXPECT_LE(after.handles, before.handles + 20) << shown;
  EXPECT_LE(after.threads, before.threads) << shown << "\n" << DescribeOwnThreads();
  EXPECT_LE(after.heapBytes, before.heapBytes + 256 * 1024) << shown;
  EXPECT_LE(after.privateBytes, before.privateBytes + 8 * 1024 * 1024) << shown;
  EXPECT_GE(after.freeTlsSlots, before.freeTlsSlots - 2) << shown;
  EXPECT_EQ(after.windows, before.windows);
  EXPECT_EQ(boxes.Texts(), std::vector<std::string>{});
  for (const std::string &log : logs) EXPECT_FALSE(FileExists(log)) << log;
  std::printf("20 + 1200 loads%s: %s -> %s\n", DevicePresent() ? " with a call each" : "",
              before.Show().c_str(), after.Show().c_str());
}
