// The Win32 port helpers under Wine: port lists from the real registry, key
// paths of real keys, resources of the test program, version texts, octal.
#include <gtest/gtest.h>

#include <windows.h>
#include <devguid.h>

#include <string>
#include <vector>

#include "nrsysutils.h"
#include "nrwin32.h"
#include "rtexcept.h"
#include "rtsysutils.h"
#include "testutil.h"

TEST(PortList, FromTheRegistryInNumericOrderUpperCased) {
  SerialCommValues values;
  values.Add("\\Device\\Serial10", "COM10");
  values.Add("\\Device\\Serial3", "com3");
  values.Add("\\Device\\Serial1", "COM1");
  values.Add("\\Device\\Other", "LPT1");
  TStringList list;
  list.Add("stale");
  GetPortList(list);
  EXPECT_EQ(ListText(list), "COM1=1 COM3=3 COM10=10");

  values.Add("\\Device\\Again10", "COM10");  // equal to the highest: not again
  GetPortList(list);
  EXPECT_EQ(ListText(list), "COM1=1 COM3=3 COM10=10");

  // A port name the numbers cannot be read from raises the conversion error.
  values.Add("\\Device\\Bad", "COMX");
  EXPECT_THROW(GetPortList(list), EConvertError);
}

TEST(PortList, OrderedInsertionRule) {
  TStringList list;
  InsertPortOrdered(list, "COM10", 10);
  InsertPortOrdered(list, "COM3", 3);
  InsertPortOrdered(list, "COM1", 1);
  InsertPortOrdered(list, "COM10", 10);  // equal to the last: dropped
  InsertPortOrdered(list, "COM3", 3);    // lower duplicate: beside the first
  EXPECT_EQ(ListText(list), "COM1=1 COM3=3 COM3=3 COM10=10");

  TStringList nine;
  AddWin9xPort(nine, "COM2:");
  AddWin9xPort(nine, "LPT1:");
  AddWin9xPort(nine, "COM1");
  EXPECT_EQ(ListText(nine), "COM1=1 COM2=2");
  EXPECT_THROW(AddWin9xPort(nine, "COM:"), EConvertError);
  EXPECT_THROW(AddDeviceMapPort(nine, "com1a"), EConvertError);
  EXPECT_EQ(PortNumberOf("COM255"), 255u);
}

TEST(Ports, NamesAndAMissingPort) {
  EXPECT_EQ(ComPortToStr(12), "COM12");
  EXPECT_EQ(ComPortToStr(1), "COM1");
  // No dosdevices link stands for COM29 in the test prefix.
  HANDLE h = OpenPort(29);
  EXPECT_EQ(h, INVALID_HANDLE_VALUE);
  DWORD error = GetLastError();
  EXPECT_NE(error, 0u);
  char expected[512];
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           error, 0, expected, sizeof expected, nullptr);
  std::string text(expected, n);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
    text.pop_back();
  SetLastError(error);
  std::string got = GetLastSysErrorString();
  EXPECT_FALSE(got.empty());
  EXPECT_EQ(got, text);
  EXPECT_EQ(GetLastError(), error);
  EXPECT_EQ(GetMainWindowHandle(), nullptr);
}

TEST(RegistryPaths, MachineAndUserKeys) {
  HKEY machine = nullptr, user = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\TorvexKeyTest\\A", 0, nullptr, 0,
                            KEY_ALL_ACCESS, nullptr, &machine, nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\TorvexKeyTest\\B", 0, nullptr, 0,
                            KEY_ALL_ACCESS, nullptr, &user, nullptr),
            ERROR_SUCCESS);
  HKEY root = reinterpret_cast<HKEY>(1);
  std::string m = RegGetKeyFullName(machine, &root);
  EXPECT_TRUE(SameText(m, "SOFTWARE\\TorvexKeyTest\\A")) << m;
  EXPECT_EQ(root, HKEY_LOCAL_MACHINE);
  std::string u = RegGetKeyFullName(user, &root);
  EXPECT_TRUE(SameText(u, "Software\\TorvexKeyTest\\B")) << u;
  EXPECT_EQ(root, HKEY_CURRENT_USER);
  std::string mFull = RegGetKeyFullName(machine);
  EXPECT_TRUE(SameText(mFull, "\\REGISTRY\\MACHINE\\SOFTWARE\\TorvexKeyTest\\A")) << mFull;
  std::string uFull = RegGetKeyFullName(user);
  EXPECT_TRUE(SameText(uFull.substr(0, 15), "\\REGISTRY\\USER\\")) << uFull;
  EXPECT_TRUE(SameText(uFull.substr(uFull.size() - 25), "\\Software\\TorvexKeyTest\\B")) << uFull;
  EXPECT_NE(uFull.find("S-1-5-"), std::string::npos) << uFull;
  root = reinterpret_cast<HKEY>(1);
  EXPECT_EQ(RegGetKeyFullName(reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE), &root), "");
  EXPECT_EQ(root, reinterpret_cast<HKEY>(1));
  RegCloseKey(machine);
  RegCloseKey(user);
  RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\TorvexKeyTest\\A");
  RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\TorvexKeyTest");
  RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\TorvexKeyTest\\B");
  RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\TorvexKeyTest");
}

TEST(RegistryPaths, RootHandlingOfNativeNames) {
  HKEY root = nullptr;
  EXPECT_EQ(RegKeyPathFromNativeName("\\REGISTRY\\MACHINE\\SOFTWARE\\A", &root), "SOFTWARE\\A");
  EXPECT_EQ(root, HKEY_LOCAL_MACHINE);
  EXPECT_EQ(RegKeyPathFromNativeName("\\REGISTRY\\USER\\S-1-5-21-1-2-3-1000\\Software\\B", &root),
            "Software\\B");
  EXPECT_EQ(root, HKEY_CURRENT_USER);
  EXPECT_EQ(RegKeyPathFromNativeName("\\REGISTRY\\Machine\\Software\\A", &root), "Software\\A");
  EXPECT_EQ(root, HKEY_LOCAL_MACHINE);
  EXPECT_EQ(RegKeyPathFromNativeName("\\REGISTRY\\OTHER\\X", &root), "\\REGISTRY\\OTHER\\X");
  EXPECT_EQ(root, nullptr);
  EXPECT_EQ(RegKeyPathFromNativeName("\\REG", &root), "\\REG");
  EXPECT_EQ(RegKeyPathFromNativeName("\\REGISTRY\\MACHINE\\SOFTWARE\\A", nullptr),
            "\\REGISTRY\\MACHINE\\SOFTWARE\\A");
  EXPECT_EQ(RegGetKeyParentName("A\\B\\C"), "A\\B");
  EXPECT_EQ(RegGetKeyParentName("ABC"), "");
}

TEST(Resources, WrittenToAFileOnlyWhenTheyExist) {
  ScratchDir dir;
  std::string out = dir / "blob.bin";
  WriteFileBytes(out, "old content that is longer than nothing at all, replaced entirely");
  ASSERT_TRUE(CreateFileFromRes("TESTBLOB", out));
  std::string expected = "Torvex resource test payload\r\n";
  expected += std::string("\x00\x01\x02\xff", 4) + " binary tail";
  EXPECT_EQ(ReadFileBytes(out), expected);

  std::string none = dir / "none.bin";
  EXPECT_FALSE(CreateFileFromRes("NOSUCHRES", none));
  EXPECT_FALSE(FileExists(none));
  EXPECT_FALSE(CreateFileFromRes("TESTBLOB", dir / "no-dir\\x.bin"));

  // The bytes go to a temporary file that then replaces the target: a target
  // that cannot be replaced keeps its old bytes, and no temporary file stays.
  EXPECT_TRUE(FileMatchesRes("TESTBLOB", out));
  std::string kept = dir / "kept";  // a directory: nothing can replace it
  ASSERT_TRUE(CreateDirectoryA(kept.c_str(), nullptr));
  EXPECT_FALSE(CreateFileFromRes("TESTBLOB", kept));
  EXPECT_NE(GetLastError(), 0u);
  EXPECT_NE(GetFileAttributesA(kept.c_str()) & FILE_ATTRIBUTE_DIRECTORY, 0u);
  EXPECT_FALSE(FileMatchesRes("TESTBLOB", kept));
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((dir / "*.tmp").c_str(), &found);
  EXPECT_EQ(search, INVALID_HANDLE_VALUE) << "left behind: " << found.cFileName;
  if (search != INVALID_HANDLE_VALUE) FindClose(search);

  // The same size with other bytes, or a copy cut short, is not the resource.
  std::string copy = ReadFileBytes(out);
  std::string other = copy;
  other[0] ^= 1;
  WriteFileBytes(out, other);
  EXPECT_FALSE(FileMatchesRes("TESTBLOB", out));
  WriteFileBytes(out, copy.substr(0, copy.size() - 1));
  EXPECT_FALSE(FileMatchesRes("TESTBLOB", out));
  EXPECT_FALSE(FileMatchesRes("NOSUCHRES", out));
  EXPECT_FALSE(FileMatchesRes("TESTBLOB", none));
}

TEST(Versions, FileVersionAndSystemText) {
  char exe[MAX_PATH];
  GetModuleFileNameA(nullptr, exe, MAX_PATH);
  EXPECT_EQ(nrGetVersion(exe, ""), "6.69.3.21");
  EXPECT_EQ(nrGetVersion(exe, "v%u.%0.2u (%u/%u)"), "v6.69 (3/21)");
  ScratchDir dir;
  WriteFileBytes(dir / "plain.txt", "no version here");
  EXPECT_EQ(nrGetVersion(dir / "plain.txt", ""), "");

  OSVERSIONINFOA xp{};
  xp.dwMajorVersion = 5;
  xp.dwMinorVersion = 1;
  xp.dwBuildNumber = 2600;
  xp.dwPlatformId = VER_PLATFORM_WIN32_NT;
  strcpy(xp.szCSDVersion, "Service Pack 2");
  EXPECT_EQ(WindowsVersionText(xp), "Windows XP Build 2600 Service Pack 2");
  OSVERSIONINFOA seven = xp;
  seven.dwMajorVersion = 6;
  seven.dwBuildNumber = 7601;
  strcpy(seven.szCSDVersion, "Service Pack 1");
  EXPECT_EQ(WindowsVersionText(seven), "Windows  Build 7601 Service Pack 1");
  EXPECT_EQ(WindowsVersionName(4, 0, 2), "NT 4");
  EXPECT_EQ(WindowsVersionName(4, 0, 1), "95");
  EXPECT_EQ(WindowsVersionName(10, 0, 2), "");
  EXPECT_EQ(nrGetVersion("", "").rfind("Windows ", 0), 0u);
}

TEST(Octal, BothDirections) {
  EXPECT_EQ(IntToOct(0), "");
  EXPECT_EQ(IntToOct(8), "10");
  EXPECT_EQ(IntToOct(0xFFFFFFFFu), "37777777777");
  EXPECT_EQ(OctToInt("17"), 15u);
  EXPECT_EQ(OctToInt("18"), 0u);
  EXPECT_EQ(OctToInt(""), 0u);
  EXPECT_EQ(OctToInt("77777777777"), 0xFFFFFFFFu);  // wraps at 32 bits
  EXPECT_EQ(OctToInt(IntToOct(123456789)), 123456789u);
}

TEST(ProcessLock, ReentrantAndExclusive) {
  nrEnterThreadCritical();
  nrEnterThreadCritical();
  struct Other {
    HANDLE entered = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    static DWORD WINAPI Run(void *self) {
      nrEnterThreadCritical();
      SetEvent(static_cast<Other *>(self)->entered);
      nrLeaveThreadCritical();
      return 0;
    }
  } other;
  HANDLE thread = CreateThread(nullptr, 0, &Other::Run, &other, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  EXPECT_EQ(WaitForSingleObject(other.entered, 50), static_cast<DWORD>(WAIT_TIMEOUT));
  nrLeaveThreadCritical();
  EXPECT_EQ(WaitForSingleObject(other.entered, 50), static_cast<DWORD>(WAIT_TIMEOUT));
  nrLeaveThreadCritical();
  EXPECT_EQ(WaitForSingleObject(other.entered, 5000), static_cast<DWORD>(WAIT_OBJECT_0));
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
  CloseHandle(other.entered);
}

TEST(DeviceSetup, WalkOpensAndEndsCleanly) {
  HDEVINFO set = EnumDevicesOpen(GUID_DEVCLASS_PORTS);
  ASSERT_NE(set, nullptr);  // SetupAPI is there under Wine
  std::string service = "x", description, friendly, key;
  DWORD i = 0;
  while (i < 64 && EnumDevicesNext(set, i, service, description, friendly, key)) ++i;
  EXPECT_FALSE(EnumDevicesNext(set, 1000, service, description, friendly, key));
  EnumDevicesClose(set);
}
