// The component library used the way a program uses it: through the classes
// and functions that torvex.dll exports.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "nrlogfile.h"
#include "nrsysutils.h"
#include "nrwin32.h"
#include "testutil.h"

TEST(DllExports, LogFileAndHelpersThroughTheDll) {
  // The classes come from the DLL, not from this program.
  HMODULE dll = GetModuleHandleA("torvex.dll");
  ASSERT_NE(dll, nullptr);

  ScratchDir dir;
  {
    TnrLogFile log(nullptr);
    log.SetOptions({loSafeMode});
    log.SetFileName(dir / "dll.log");
    log.SetSizeLimit(64);
    log.Add("through the dll");
    log.AddFmt("%0.3d", {7});
  }
  std::string bytes = ReadFileBytes(dir / "dll.log");
  EXPECT_EQ(bytes.size(), 64u);
  EXPECT_EQ(bytes.substr(bytes.size() - 22), "\r\nthrough the dll\r\n007");

  EXPECT_EQ(ComPortToStr(12), "COM12");
  EXPECT_EQ(IntToOct(8), "10");
  // Whatever ports the prefix holds: each listed as COMn with its number.
  TStringList list;
  list.Add("stale");
  GetPortList(list);
  for (int i = 0; i < list.Count(); ++i) {
    const std::string &name = list.Strings(i);
    ASSERT_EQ(name.rfind("COM", 0), 0u) << name;
    EXPECT_EQ(std::to_string(list.Objects(i)), name.substr(3)) << name;
  }
}
