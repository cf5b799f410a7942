// What the device form does with the library's state, under Wine with a
// display: the message boxes appear for real and are read and closed by the
// test; the status record and the trace log are the library's own (linked
// in), read back through CodigoErro.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "command_state.h"
#include "commdrv.h"
#include "msgbox_catcher.h"
#include "torvex.h"

using namespace torvex::sat;

namespace {

struct Status {
  std::int32_t code;
  std::string message;
  bool zeroTail;  // every byte after the message's NUL is zero
};

Status ReadStatus() {
  char record[104];
  std::memset(record, 0x5A, sizeof record);
  CodigoErro(record);
  Status s;
  std::memcpy(&s.code, record, 4);
  s.message.assign(record + 4, strnlen(record + 4, 100));
  s.zeroTail = true;
  for (std::size_t i = 4 + s.message.size(); i < sizeof record; ++i)
    if (record[i] != 0) s.zeroTail = false;
  return s;
}

std::string ProgramName() {
  char path[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string name(path, n);
  name = name.substr(name.find_last_of("\\/:") + 1);
  return name.substr(0, name.rfind('.'));
}

std::string ReadFileText(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string TempName(const char *stem) {
  char dir[MAX_PATH];
  GetTempPathA(MAX_PATH, dir);
  return std::string(dir) + stem + std::to_string(GetCurrentProcessId());
}

// Runs this program's copy in a folder without zlib.DLL, with one test
// selected; gives its exit code.
DWORD RunCopyWithoutZlib(const std::string &filter) {
  std::string dir = TempName("torvex-nozlib-");
  CreateDirectoryA(dir.c_str(), nullptr);
  char self[MAX_PATH];
  GetModuleFileNameA(nullptr, self, MAX_PATH);
  std::string copy = dir + "\\" + ProgramName() + ".exe";
  if (!CopyFileA(self, copy.c_str(), FALSE)) return 1000;
  std::string command = "\"" + copy + "\" --gtest_filter=" + filter;
  SetEnvironmentVariableA("TORVEX_FORM_CHILD", "1");
  STARTUPINFOA si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  DWORD code = 1001;
  if (CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, dir.c_str(), &si,
                     &pi)) {
    WaitForSingleObject(pi.hProcess, INFINITE);
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
  }
  SetEnvironmentVariableA("TORVEX_FORM_CHILD", nullptr);
  DeleteFileA(copy.c_str());
  RemoveDirectoryA(dir.c_str());
  return code;
}

class DeviceForm : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!MessageBoxCatcher::DisplayAvailable()) GTEST_SKIP() << "no display to show boxes on";
  }
};

}  // namespace

TEST_F(DeviceForm, WithZlibShowsAchouZlibEveryTimeAndClearsTheStatus) {
  MessageBoxCatcher boxes;
  SetStatus(TheCommandState().StatusRecord, kStatusWaiting, "left over from an earlier command");
  DeviceFormCreated();  // returns once the box is closed
  Status s = ReadStatus();
  EXPECT_EQ(s.code, TORVEX_STATUS_OK);
  EXPECT_EQ(s.message, "");
  EXPECT_TRUE(s.zeroTail) << "the whole record is cleared";

  // A second form finds zlib loaded and shows the box again.
  DeviceFormCreated();
  std::vector<CaughtBox> caught = boxes.Boxes();
  ASSERT_EQ(boxes.Texts(), (std::vector<std::string>{"Achou  zlib", "Achou  zlib"}));
  for (const CaughtBox &box : caught) {
    EXPECT_EQ(box.buttons, std::vector<std::string>{"OK"});
    EXPECT_FALSE(box.icon);
    EXPECT_TRUE(box.centred);
    EXPECT_EQ(box.caption, ProgramName());
    EXPECT_EQ(box.thread, GetCurrentThreadId());
  }
  EXPECT_EQ(ReadStatus().code, TORVEX_STATUS_OK);
}

TEST_F(DeviceForm, WithoutZlibRecordsCodeOneAndShowsNothing) {
  EXPECT_EQ(RunCopyWithoutZlib("DeviceFormWithoutZlib.*"), 0u);
}

TEST(DeviceFormWithoutZlib, RecordsCodeOne) {
  if (!std::getenv("TORVEX_FORM_CHILD")) GTEST_SKIP() << "runs in a copy without zlib.DLL";
  MessageBoxCatcher boxes;
  DeviceFormCreated();
  Status s = ReadStatus();
  EXPECT_EQ(s.code, TORVEX_STATUS_NOT_READY);
  EXPECT_EQ(s.message, "TORVEX.dll necessita zlib.dll");
  Sleep(200);  // a box would have been caught by now
  EXPECT_EQ(boxes.Texts(), std::vector<std::string>{});
}

TEST_F(DeviceForm, FatalErrorIsCodeOneWithTheMessageAndATraceLine) {
  std::string log = TempName("torvex-fatal-") + ".log";
  DeleteFileA(log.c_str());
  const std::string message = "Device \"COM99\" Open Error !!!\rO sistema n\xe3o pode encontrar";

  // Without the trace log: only the status record.
  DeviceFormFatalError(message.c_str());
  EXPECT_EQ(ReadStatus().code, TORVEX_STATUS_NOT_READY);
  EXPECT_EQ(ReadStatus().message, message);

  ArquivoLog(log.c_str());
  DeviceFormFatalError(message.c_str());
  std::string text = ReadFileText(log);
  // "S@T:dd/mm/yyyy hh:mm:ss.mmm TCommDrv::vaVevi1FatalError 1 <message>" and
  // the text mode's CR LF.
  ASSERT_EQ(text.size(), 4 + 23 + 1 + std::strlen(kFatalErrorTraceName) + 3 + message.size() + 2)
      << text;
  EXPECT_EQ(text.substr(0, 4), "S@T:");
  EXPECT_EQ(text.substr(6, 1) + text.substr(9, 1) + text.substr(23, 1), "//.");
  EXPECT_EQ(text.substr(27), std::string(" TCommDrv::vaVevi1FatalError 1 ") + message + "\r\n");

  // A message longer than the record holds is cut to 99 characters.
  std::string longMessage(300, 'x');
  DeviceFormFatalError(longMessage.c_str());
  EXPECT_EQ(ReadStatus().message, std::string(99, 'x'));
  EXPECT_NE(ReadFileText(log).find(" 1 " + std::string(99, 'x') + "\r\n"), std::string::npos);
  DeleteFileA(log.c_str());
}

TEST_F(DeviceForm, CommErrorShowsErrorAndRecordsNothing) {
  MessageBoxCatcher boxes;
  SetStatus(TheCommandState().StatusRecord, kStatusChecksum, "kept");
  // From another thread, as the serial component reports its line errors.
  std::thread reporter([] { DeviceFormCommError(); });
  reporter.join();
  ASSERT_EQ(boxes.Texts(), std::vector<std::string>{"error"});
  EXPECT_EQ(boxes.Boxes()[0].buttons, std::vector<std::string>{"OK"});
  EXPECT_TRUE(boxes.Boxes()[0].centred);
  EXPECT_EQ(ReadStatus().code, TORVEX_STATUS_CHECKSUM);
  EXPECT_EQ(ReadStatus().message, "kept");
}
