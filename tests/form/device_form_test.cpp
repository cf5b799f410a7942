// The device form under Wine with a display: TCommDrv built from its
// resource with the real component classes, and what it does with the
// library's state. The message boxes appear for real and are read and closed
// by the test; the status record and the trace log are the library's own
// (linked in), read back through CodigoErro. Like the form, the test reaches
// the SAT path's state only through its exports and its seam (sat_seam.h).
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "commdrv.h"
#include "msgbox_catcher.h"
#include "sat_seam.h"
#include "torvex.h"

using namespace torvex::form;

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

// The program's one trace log: the library's trace log cannot be switched
// off through its exports, so every test that turns it on uses this file,
// made afresh, and it is deleted when the program ends.
const std::string &TraceLogPath() {
  static const std::string path = TempName("torvex-form-") + ".log";
  return path;
}

void StartTraceLog() {
  DeleteFileA(TraceLogPath().c_str());
  ArquivoLog(TraceLogPath().c_str());
}

struct DeleteTraceLog : ::testing::Environment {
  void TearDown() override { DeleteFileA(TraceLogPath().c_str()); }
};
const auto *const kDeleteTraceLog = ::testing::AddGlobalTestEnvironment(new DeleteTraceLog);

// A status left by an earlier call: code 1 and a message of the whole 99
// characters, so that a record cleared in part shows in its bytes.
const std::string kLeftOver = "left over from an earlier command " + std::string(65, '.');

void LeaveStatus(const std::string &message) {
  torvex::sat::RecordComponentFatalError("DeviceFormTest", message.c_str());
}

DWORD WINAPI RunBody(void *body) {
  (*static_cast<std::function<void()> *>(body))();
  return 0;
}

// Runs body on a thread of its own, as the serial component reports from
// its threads, and returns when it has ended.
void RunOnOtherThread(std::function<void()> body) {
  HANDLE thread = CreateThread(nullptr, 0, RunBody, &body, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
}

// Every component of the form with every value its resource gives it.
void ExpectBuiltFromTheResource(TCommDrv &form) {
  EXPECT_EQ(form.Name(), "CommDrv");
  EXPECT_EQ(form.ComponentCount(), 3);
  EXPECT_EQ(CommDrv, nullptr) << "building a form does not set the library's variable";

  TnrUsb &usb = *form.vaRaz1;
  EXPECT_EQ(usb.GetOptions().ToBits(), 0x07u);  // uoShowHost, uoShowHub, uoShowPort
  TStringList devices;
  usb.GetDeviceList(&devices);
  // Index 0 of the device list, or -1 where no host controller is seen.
  EXPECT_EQ(usb.GetDeviceIndex(), devices.Count() > 0 ? 0 : -1);

  TvaVevi &com = *form.vaVevi1;
  EXPECT_FALSE(com.GetActive());
  EXPECT_EQ(com.GetBaudRate(), 19200u);
  EXPECT_EQ(com.GetParity(), pNone);
  EXPECT_EQ(com.GetStopBits(), sbOne);
  EXPECT_EQ(com.GetByteSize(), 8);
  EXPECT_EQ(com.GetComPortNo(), 1);
  EXPECT_EQ(com.GetComPort(), cpCOM1);
  EXPECT_FALSE(com.GetEventListOnLine());
  EXPECT_EQ(com.GetTraceStates().ToBits(), 0x0001u);  // tsRxChar
  EXPECT_EQ(com.GetStreamProtocol(), spNone);
  EXPECT_EQ(com.GetBufferInSize(), 65535);
  EXPECT_EQ(com.GetBufferOutSize(), 65535);
  EXPECT_EQ(com.GetTimeoutRead(), 5000u);
  EXPECT_EQ(com.GetTimeoutWrite(), 1000u);
  EXPECT_EQ(com.GetTerminalUsage(), tuBoth);
  EXPECT_FALSE(com.GetTerminalEcho());
  EXPECT_TRUE(com.GetOnFatalError() == Bind<&TCommDrv::vaVevi1FatalError>(&form));
  EXPECT_TRUE(com.GetOnCommError() == Bind<&TCommDrv::vaVevi1CommError>(&form));

  TnrLogFile &log = *form.nrLogFile1;
  EXPECT_EQ(log.GetSizeLimit(), 2048000u);
  EXPECT_EQ(log.GetFileName(), "sat.log");
  EXPECT_EQ(log.GetDetailLevel(), dlDetail);
  // loSafeMode, loAutoFileName, loDate, loTime, loDebugOut
  EXPECT_EQ(log.GetOptions().ToBits(), 0x5Bu);
  EXPECT_TRUE(log.PendingText().empty());

  // No component is linked to another.
  for (TnrBaseIO *device : {static_cast<TnrBaseIO *>(&usb), static_cast<TnrBaseIO *>(&com)}) {
    EXPECT_EQ(device->GetLog(), nullptr);
    EXPECT_EQ(device->GetDataProcessor(), nullptr);
  }
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
  LeaveStatus(kLeftOver);
  ASSERT_EQ(ReadStatus().message, kLeftOver);
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

TEST(DeviceFormWithoutZlib, RecordsCodeOneAndStillBuildsTheForm) {
  if (!std::getenv("TORVEX_FORM_CHILD")) GTEST_SKIP() << "runs in a copy without zlib.DLL";
  MessageBoxCatcher boxes;
  DeviceFormCreated();
  Status s = ReadStatus();
  EXPECT_EQ(s.code, TORVEX_STATUS_NOT_READY);
  EXPECT_EQ(s.message, "TORVEX.dll necessita zlib.dll");

  LeaveStatus(kLeftOver);
  TCommDrv form(nullptr);
  ExpectBuiltFromTheResource(form);
  s = ReadStatus();
  EXPECT_EQ(s.code, TORVEX_STATUS_NOT_READY);
  EXPECT_EQ(s.message, "TORVEX.dll necessita zlib.dll");
  EXPECT_TRUE(s.zeroTail);
  Sleep(200);  // a box would have been caught by now
  EXPECT_EQ(boxes.Texts(), std::vector<std::string>{});
}

TEST_F(DeviceForm, FatalErrorIsCodeOneWithTheMessageAndATraceLine) {
  const std::string &log = TraceLogPath();
  DeleteFileA(log.c_str());
  const std::string message = "Device \"COM99\" Open Error !!!\rO sistema n\xe3o pode encontrar";

  // Without the trace log: only the status record.
  DeviceFormFatalError(message.c_str());
  EXPECT_EQ(ReadStatus().code, TORVEX_STATUS_NOT_READY);
  EXPECT_EQ(ReadStatus().message, message);

  StartTraceLog();
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
}

TEST_F(DeviceForm, CommErrorShowsErrorAndRecordsNothing) {
  MessageBoxCatcher boxes;
  LeaveStatus("kept");
  // From another thread, as the serial component reports its line errors.
  RunOnOtherThread([] { DeviceFormCommError(); });
  ASSERT_EQ(boxes.Texts(), std::vector<std::string>{"error"});
  EXPECT_EQ(boxes.Boxes()[0].buttons, std::vector<std::string>{"OK"});
  EXPECT_TRUE(boxes.Boxes()[0].centred);
  EXPECT_EQ(ReadStatus().code, TORVEX_STATUS_NOT_READY);
  EXPECT_EQ(ReadStatus().message, "kept");
}

TEST_F(DeviceForm, TCommDrvIsBuiltFromItsResourceAndShowsAchouZlib) {
  MessageBoxCatcher boxes;
  LeaveStatus(kLeftOver);
  {
    TCommDrv form(nullptr);  // returns once the box is closed
    ASSERT_EQ(boxes.Texts(), std::vector<std::string>{"Achou  zlib"});
    Status s = ReadStatus();
    EXPECT_EQ(s.code, TORVEX_STATUS_OK);
    EXPECT_EQ(s.message, "");
    EXPECT_TRUE(s.zeroTail);
    ExpectBuiltFromTheResource(form);
  }
  // A form owned by another component: named apart from a sibling of the
  // same name, destroyed with its owner.
  TComponent owner(nullptr);
  TCommDrv &first = CreateComponent<TCommDrv>(owner);
  TCommDrv &second = CreateComponent<TCommDrv>(owner);
  EXPECT_EQ(first.Name(), "CommDrv");
  EXPECT_EQ(second.Name(), "CommDrv_1");
  EXPECT_EQ(boxes.Texts(), std::vector<std::string>(3, "Achou  zlib"));
}

TEST_F(DeviceForm, FatalErrorOfTheSerialComponentLandsInTheStatusRecord) {
  MessageBoxCatcher boxes;
  TCommDrv form(nullptr);
  const std::string &log = TraceLogPath();
  StartTraceLog();

  // A port that does not exist: the component's open error, not raised.
  form.vaVevi1->SetComPortNo(99);
  EXPECT_NO_THROW(form.vaVevi1->SetActive(true));
  EXPECT_FALSE(form.vaVevi1->GetActive());
  Status s = ReadStatus();
  EXPECT_EQ(s.code, TORVEX_STATUS_NOT_READY);
  const std::string opening = "Device \"COM99\" Open Error !!!\r";
  EXPECT_EQ(s.message.substr(0, opening.size()), opening) << s.message;
  EXPECT_GT(s.message.size(), opening.size()) << "the system's text follows";
  std::string text = ReadFileText(log);
  EXPECT_NE(text.find(" TCommDrv::vaVevi1FatalError 1 " + s.message + "\r\n"), std::string::npos)
      << text;
  EXPECT_EQ(text.substr(0, 4), "S@T:");
  EXPECT_EQ(boxes.Texts(), std::vector<std::string>{"Achou  zlib"}) << "no error box";
}

// That a fatal error waits for a SAT call that holds the line is the seam's
// part: tests/sat/seam_test.cpp.

TEST_F(DeviceForm, CommErrorOfTheSerialComponentShowsErrorAndRecordsNothing) {
  MessageBoxCatcher boxes;
  TCommDrv form(nullptr);
  LeaveStatus("kept");
  // From another thread, as the component's message thread reports it.
  RunOnOtherThread([&] { form.vaVevi1->DoCommError(CE_FRAME, 0, {}); });
  EXPECT_EQ(boxes.Texts(), (std::vector<std::string>{"Achou  zlib", "error"}));
  EXPECT_EQ(ReadStatus().code, TORVEX_STATUS_NOT_READY);
  EXPECT_EQ(ReadStatus().message, "kept");
}
