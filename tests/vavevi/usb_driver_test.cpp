// The driver service and the embedded driver end to end, under Wine's real
// service manager and driver host: the driver file written from the
// resource, the service "varaz" created (or adopted), started, its device
// opened and answering, then stopped and deleted. The USB component drives
// the same driver over the scripted USB stack. Run by with-kernel-log.sh,
// which hands over the driver's debug output.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "debug_output.h"
#include "fake_usb_stack.h"
#include "nrsysutils.h"
#include "rtexcept.h"
#include "testutil.h"
#include "varaz.h"

namespace {

// The state of a service, or 0 when there is none.
DWORD ServiceState(const char *name) {
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (!manager) return 0;
  DWORD state = 0;
  if (SC_HANDLE service = OpenServiceA(manager, name, SERVICE_QUERY_STATUS)) {
    SERVICE_STATUS status{};
    if (QueryServiceStatus(service, &status)) state = status.dwCurrentState;
    CloseServiceHandle(service);
  }
  CloseServiceHandle(manager);
  return state;
}

std::string ServiceImagePath(const char *name) {
  std::string path;
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (SC_HANDLE service = OpenServiceA(manager, name, SERVICE_QUERY_CONFIG)) {
    std::vector<char> buffer(8192);
    auto *config = reinterpret_cast<QUERY_SERVICE_CONFIGA *>(buffer.data());
    DWORD needed = 0;
    if (QueryServiceConfigA(service, config, static_cast<DWORD>(buffer.size()), &needed)) {
      EXPECT_EQ(config->dwServiceType, static_cast<DWORD>(SERVICE_KERNEL_DRIVER));
      EXPECT_EQ(config->dwStartType, static_cast<DWORD>(SERVICE_DEMAND_START));
      path = config->lpBinaryPathName ? config->lpBinaryPathName : "";
    }
    CloseServiceHandle(service);
  }
  CloseServiceHandle(manager);
  return path;
}

// Waits (up to 10 s) until the service has gone.
bool ServiceGone(const char *name) {
  for (int i = 0; i < 1000; ++i) {
    if (ServiceState(name) == 0) return true;
    Sleep(10);
  }
  return false;
}

void RemoveLeftoverService() {
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (SC_HANDLE service = OpenServiceA(manager, "varaz", SERVICE_ALL_ACCESS)) {
    SERVICE_STATUS status;
    ControlService(service, SERVICE_CONTROL_STOP, &status);
    DeleteService(service);
    CloseServiceHandle(service);
  }
  CloseServiceHandle(manager);
  ServiceGone("varaz");
}

// The driver image embedded in this program (the library's resource).
std::string EmbeddedDriver() {
  HRSRC info = FindResourceA(nullptr, "NRUSBBIN", reinterpret_cast<LPCSTR>(RT_RCDATA));
  if (!info) return {};
  const char *data = static_cast<const char *>(LockResource(LoadResource(nullptr, info)));
  return std::string(data, SizeofResource(nullptr, info));
}

std::string TempDriverPath() {
  char dir[MAX_PATH];
  GetTempPathA(MAX_PATH, dir);
  std::string path = dir;
  if (path.back() != '\\') path += '\\';
  return path + "varaz.sys";
}

FILETIME WriteTime(const std::string &path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data);
  return data.ftLastWriteTime;
}

class FatalErrors {
 public:
  void OnFatal(TObject *from, std::uint32_t errorCode, std::uint32_t errorDetail,
               const std::string &msg, bool &raise) {
    sender = from;
    code = errorCode;
    detail = errorDetail;
    message = msg;
    raise = false;
  }
  TObject *sender = nullptr;
  std::uint32_t code = 0, detail = 0;
  std::string message;
};

class DriverService : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!kernel_.Available())
      GTEST_SKIP() << "run through with-kernel-log.sh (no TORVEX_KERNEL_LOG)";
    ASSERT_TRUE(monitor_.Running()) << "no debug-output monitor";
    RemoveLeftoverService();
    monitor_.Clear();
    kernel_.Mark();
  }
  void TearDown() override { RemoveLeftoverService(); }

  DWORD Control(HANDLE h, DWORD code, const void *in, DWORD inSize, DWORD &error) {
    std::vector<char> input(static_cast<const char *>(in), static_cast<const char *>(in) + inSize);
    char out[128] = {};
    DWORD returned = 0xFFFF;
    SetLastError(0xDEADBEEF);
    BOOL ok = DeviceIoControl(h, code, inSize ? input.data() : nullptr, inSize, out, sizeof out,
                              &returned, nullptr);
    error = ok ? 0 : GetLastError();
    return returned;
  }

  DebugMonitor monitor_;
  KernelLog kernel_;
};

TEST_F(DriverService, OpenInstallsAndStartsCloseRemovesAndKeepsTheFile) {
  DeleteFileA(TempDriverPath().c_str());
  TnrUsbDriver driver;
  EXPECT_EQ(driver.GetServiceName(), "varaz");
  EXPECT_EQ(driver.GetResourceName(), "nrusbbin");
  EXPECT_EQ(driver.GetHandle(), INVALID_HANDLE_VALUE);

  HANDLE h = driver.Open();
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(driver.GetDriverFile(), TempDriverPath());
  std::string image = EmbeddedDriver();
  ASSERT_GT(image.size(), 512u);
  EXPECT_EQ(ReadFileBytes(driver.GetDriverFile()), image) << "the resource written whole";
  EXPECT_EQ(ServiceState("varaz"), static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_EQ(ServiceImagePath("varaz"), driver.GetDriverFile());
  EXPECT_TRUE(monitor_.Lines().empty()) << "installing and starting write no progress lines";
  EXPECT_TRUE(kernel_.WaitFor("ze Dor Create  !!!"));
  std::vector<std::string> lines = kernel_.Since();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0].rfind("ze Dor Entry 333 Ver ", 0), 0u) << lines[0];
  EXPECT_NE(lines[0].find(" Supported "), std::string::npos) << lines[0];

  // An open driver is not opened twice.
  monitor_.Clear();
  EXPECT_EQ(driver.Open(), h);
  EXPECT_TRUE(monitor_.Lines().empty());

  kernel_.Mark();
  driver.Close();
  EXPECT_EQ(driver.GetHandle(), INVALID_HANDLE_VALUE);
  EXPECT_TRUE(ServiceGone("varaz"));
  EXPECT_TRUE(kernel_.WaitFor("ze Dor Unload  !!!"));
  EXPECT_TRUE(FileExists(driver.GetDriverFile())) << "the driver file stays";
  driver.Close();  // nothing to do
  EXPECT_EQ(driver.GetHandle(), INVALID_HANDLE_VALUE);

  // The same object finds its file again and does not write it.
  FILETIME before = WriteTime(driver.GetDriverFile());
  Sleep(20);
  ASSERT_NE(driver.Open(), INVALID_HANDLE_VALUE);
  FILETIME after = WriteTime(driver.GetDriverFile());
  EXPECT_EQ(CompareFileTime(&before, &after), 0);
  driver.Close();
}

TEST_F(DriverService, TheDriverAnswersItsTwoRequestsAndRefusesTheRest) {
  TnrUsbDriver driver;
  HANDLE h = driver.Open();
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(kernel_.WaitFor("ze Dor Create  !!!"));

  struct Case {
    const char *what;
    DWORD code;
    std::string input;
    DWORD error;
    std::vector<std::string> lines;
  } cases[] = {
      {"port cycle, a handle that is not valid",
       0x222004,
       std::string("\x34\x12\0\0\x01\0\0\0", 8) + std::string(520, '\0'),
       0,
       {"ze Dor IO Control  !!!", "nr nrDoTest handle = 1234", "Reff ERROR"}},
      {"port cycle, input shorter than a handle",
       0x222004,
       std::string("\x34\x12", 2),
       0,
       {"ze Dor IO Control  !!!", "nr nrDoTest handle = 0", "Reff ERROR"}},
      // The name is opened with the caller's rights checked. Under Wine a
      // name that opens gives a file object without a device (Wine's kernel
      // knows the devices of its own drivers only), so no name gives a
      // stored target here.
      {"open by name, a file",
       0x222008,
       std::string("\\DosDevices\\C:\\windows\\win.ini", 31),
       0,
       {"ze Dor IO Control  !!!", "  Handles ERROR  !!!"}},
      {"open by name, no such name",
       0x222008,
       std::string("\\DosDevices\\varaz-none", 23),
       0,
       {"ze Dor IO Control  !!!", "  Handles ERROR  !!!"}},
      {"open by name, no zero byte in the input",
       0x222008,
       std::string("\\DosDevices\\C:\\windows\\win.ini"),
       0,
       {"ze Dor IO Control  !!!", "  Handles ERROR  !!!"}},
      {"open by name, nothing to open",
       0x222008,
       std::string(),
       0,
       {"ze Dor IO Control  !!!", "  Handles ERROR  !!!"}},
      {"another code of the driver's range",
       0x222000,
       "x",
       ERROR_GEN_FAILURE,
       {"ze Dor IO Control  !!!"}},
      {"the next function", 0x22200C, "x", ERROR_GEN_FAILURE, {"ze Dor IO Control  !!!"}},
      {"a USB controller request",
       IOCTL_GET_HCD_DRIVERKEY_NAME,
       "",
       ERROR_GEN_FAILURE,
       {"ze Dor IO Control  !!!"}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    kernel_.Mark();
    DWORD error = 0;
    DWORD returned = Control(h, c.code, c.input.data(), static_cast<DWORD>(c.input.size()), error);
    EXPECT_EQ(error, c.error);
    if (!c.error) {
      EXPECT_EQ(returned, 0u);
    }
    // Lines ending in a blank are the start of a line that goes on with
    // values (object addresses).
    std::vector<std::string> lines;
    for (int wait = 0; wait < 1000 && lines.size() < c.lines.size(); ++wait, Sleep(10))
      lines = kernel_.Since();
    lines.resize(std::min(lines.size(), c.lines.size()));
    for (std::size_t i = 0; i < lines.size(); ++i)
      if (c.lines[i].back() == ' ') lines[i] = lines[i].substr(0, c.lines[i].size());
    EXPECT_EQ(lines, c.lines);
  }

  // The driver reads and writes nothing.
  char byte = 'x';
  DWORD n = 0;
  EXPECT_FALSE(ReadFile(h, &byte, 1, &n, nullptr));
  EXPECT_FALSE(WriteFile(h, &byte, 1, &n, nullptr));
  driver.Close();
}

// The port-cycle request with a handle as the USB component's nodes open
// theirs (read and write, no sharing), here to a real file. The system grants
// that handle the read access the driver asks for, but not all rights (which
// the driver once asked for, so every real request failed). Wine cannot take
// the request further: it passes every device-control request to the driver
// as one from user mode, and its kernel refuses every user-mode handle
// reference ("UserMode access not implemented"), so the reference, the walk
// to the top of the device stack and the cycle request itself only run on
// Windows.
TEST_F(DriverService, APortCycleHandleOpenedForReadAndWriteCarriesTheAccessTheDriverAsks) {
  ScratchDir dir;
  std::string path = dir / "node";
  HANDLE node = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            0, nullptr);
  ASSERT_NE(node, INVALID_HANDLE_VALUE);
  using QueryObjectFn = LONG(WINAPI *)(HANDLE, int, PVOID, ULONG, PULONG);
  auto query = reinterpret_cast<QueryObjectFn>(
      reinterpret_cast<void *>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryObject")));
  ASSERT_NE(query, nullptr);
  struct {
    ULONG attributes;
    ACCESS_MASK granted;
    ULONG rest[20];
  } basic{};
  ASSERT_EQ(query(node, 0 /* ObjectBasicInformation */, &basic, sizeof basic, nullptr), 0);
  const ACCESS_MASK asked = FILE_READ_DATA, formerlyAsked = 0x1F03FF;
  EXPECT_EQ(basic.granted & asked, asked) << std::hex << basic.granted;
  EXPECT_NE(basic.granted & formerlyAsked, formerlyAsked) << std::hex << basic.granted;

  TnrUsbDriver driver;
  HANDLE h = driver.Open();
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(kernel_.WaitFor("ze Dor Create  !!!"));
  kernel_.Mark();
  UsbCyclePort(h, node);
  ASSERT_TRUE(kernel_.WaitFor("Reff ERROR") || kernel_.WaitFor("IoCallDriver(pObj, irp) ..."));
  if (kernel_.WaitFor("Reff ERROR")) {
    // Wine's refusal, not the driver's: the reference was asked in user mode.
    EXPECT_TRUE(kernel_.AnyLineHas("UserMode access not implemented"));
  }
  driver.Close();
  CloseHandle(node);
}

// A service that starts but whose device does not open: the driver gives the
// invalid handle without a fatal error, and takes the service down again.
// Here the driver is registered under another name, so it starts but
// "\\.\" + that name does not exist.
TEST_F(DriverService, AServiceThatStartsButWhoseDeviceWillNotOpenGivesNoHandleAndNoError) {
  TnrUsbDriver driver;
  driver.SetServiceName("varazz");
  FatalErrors errors;
  driver.SetOnFatalError(TOnFatalErrorEvent::Of<&FatalErrors::OnFatal>(&errors));
  EXPECT_EQ(driver.Open(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(errors.sender, nullptr) << errors.message;
  EXPECT_FALSE(driver.GetActive());
  EXPECT_TRUE(kernel_.WaitFor("ze Dor Unload  !!!")) << "the driver did start, and was stopped";
  EXPECT_TRUE(ServiceGone("varazz"));
  driver.Close();  // nothing to do
}

// The driver file the object chose itself is used again only while it is
// whole; without a temporary directory nothing is written anywhere else.
TEST_F(DriverService, ADefaultDriverFileCutShortIsWrittenAgainAndNoTemporaryDirectoryIsAnError) {
  TnrUsbDriver driver;
  ASSERT_NE(driver.Open(), INVALID_HANDLE_VALUE);
  driver.Close();
  ASSERT_TRUE(ServiceGone("varaz"));
  std::string image = EmbeddedDriver();
  WriteFileBytes(driver.GetDriverFile(), image.substr(0, image.size() / 2));
  ASSERT_NE(driver.Open(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(ReadFileBytes(driver.GetDriverFile()), image);
  EXPECT_EQ(ServiceState("varaz"), static_cast<DWORD>(SERVICE_RUNNING));
  driver.Close();
  ASSERT_TRUE(ServiceGone("varaz"));

  // A temporary directory longer than a path may be.
  char saved[32768];
  DWORD savedLength = GetEnvironmentVariableA("TMP", saved, sizeof saved);
  ASSERT_TRUE(SetEnvironmentVariableA("TMP", ("C:\\" + std::string(300, 'd')).c_str()));
  TnrUsbDriver homeless;
  FatalErrors errors;
  homeless.SetOnFatalError(TOnFatalErrorEvent::Of<&FatalErrors::OnFatal>(&errors));
  EXPECT_EQ(homeless.Open(), INVALID_HANDLE_VALUE);
  SetEnvironmentVariableA("TMP", savedLength ? saved : nullptr);
  EXPECT_EQ(errors.message, "Create service failed.");
  EXPECT_EQ(errors.detail, static_cast<std::uint32_t>(ERROR_FILENAME_EXCED_RANGE));
  EXPECT_EQ(homeless.GetDriverFile(), "");
  EXPECT_FALSE(FileExists("\\varaz.sys")) << "not in the root of the current drive";
  EXPECT_FALSE(FileExists("C:\\varaz.sys"));
  EXPECT_EQ(ServiceState("varaz"), 0u);
}

TEST_F(DriverService, AnExistingServiceIsAdopted) {
  std::string file = TempDriverPath();
  ASSERT_TRUE(CreateFileFromRes("NRUSBBIN", file));
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE);
  SC_HANDLE service = CreateServiceA(
      manager, "varaz", "varaz", SERVICE_START, SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START,
      SERVICE_ERROR_NORMAL, file.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
  ASSERT_NE(service, nullptr) << GetLastError();
  CloseServiceHandle(service);
  CloseServiceHandle(manager);

  TnrUsbDriver driver;
  ASSERT_NE(driver.Open(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(ServiceState("varaz"), static_cast<DWORD>(SERVICE_RUNNING));
  driver.Close();
  EXPECT_TRUE(ServiceGone("varaz"));
}

TEST_F(DriverService, ANamedDriverFileIsUsedOrWritten) {
  ScratchDir dir;
  std::string existing = dir / "mine.sys";
  ASSERT_TRUE(CreateFileFromRes("NRUSBBIN", existing));
  FILETIME before = WriteTime(existing);
  Sleep(20);
  {
    TnrUsbDriver driver;
    driver.SetDriverFile(existing);
    ASSERT_NE(driver.Open(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(ServiceImagePath("varaz"), existing);
    FILETIME after = WriteTime(existing);
    EXPECT_EQ(CompareFileTime(&before, &after), 0) << "an existing file is not written";
  }  // destruction closes
  EXPECT_TRUE(ServiceGone("varaz"));

  std::string missing = dir / "new.sys";
  TnrUsbDriver driver;
  driver.SetDriverFile(missing);
  ASSERT_NE(driver.Open(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(ReadFileBytes(missing), EmbeddedDriver());
  driver.Close();
  EXPECT_TRUE(ServiceGone("varaz"));
}

// The embedded driver is a native-subsystem image for this program's
// architecture, and torvex.dll carries the same one.
TEST(EmbeddedDriver, IsAKernelImageForThisArchitectureAndInTheLibrary) {
  std::string image = EmbeddedDriver();
  ASSERT_GT(image.size(), sizeof(IMAGE_DOS_HEADER));
  IMAGE_DOS_HEADER dos;
  memcpy(&dos, image.data(), sizeof dos);
  ASSERT_EQ(dos.e_magic, IMAGE_DOS_SIGNATURE);
  ASSERT_LE(static_cast<std::size_t>(dos.e_lfanew) + sizeof(IMAGE_NT_HEADERS), image.size());
  IMAGE_NT_HEADERS nt;
  memcpy(&nt, image.data() + dos.e_lfanew, sizeof nt);
  EXPECT_EQ(nt.Signature, static_cast<DWORD>(IMAGE_NT_SIGNATURE));
  EXPECT_EQ(nt.FileHeader.Machine,
            sizeof(void *) == 8 ? IMAGE_FILE_MACHINE_AMD64 : IMAGE_FILE_MACHINE_I386);
  EXPECT_EQ(nt.OptionalHeader.Subsystem, IMAGE_SUBSYSTEM_NATIVE);
  // The image checksum that the system checks for drivers.
  std::size_t field = static_cast<std::size_t>(dos.e_lfanew) + 4 + 20 + 64;
  std::string zeroed = image;
  zeroed.replace(field, 4, 4, '\0');
  zeroed.push_back('\0');
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i + 1 < zeroed.size(); i += 2) {
    sum += static_cast<std::uint8_t>(zeroed[i]) | static_cast<std::uint8_t>(zeroed[i + 1]) << 8;
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  EXPECT_EQ(nt.OptionalHeader.CheckSum, ((sum & 0xFFFF) + (sum >> 16)) + image.size());

  HMODULE dll = LoadLibraryA((ExeDirectory() + "torvex.dll").c_str());
  ASSERT_NE(dll, nullptr) << GetLastError();
  HRSRC info = FindResourceA(dll, "nrusbbin", reinterpret_cast<LPCSTR>(RT_RCDATA));
  ASSERT_NE(info, nullptr) << "found whatever the letter case";
  const char *data = static_cast<const char *>(LockResource(LoadResource(dll, info)));
  EXPECT_EQ(std::string(data, SizeofResource(dll, info)), image);
  FreeLibrary(dll);
}

TEST_F(DriverService, NoResourceAndNoFileIsACreateFailure) {
  TnrUsbDriver driver;
  driver.SetResourceName("");
  try {
    driver.Open();
    ADD_FAILURE() << "no error raised";
  } catch (const Exception &e) {
    EXPECT_EQ(e.Message(), "Create service failed.");
  }
  FatalErrors errors;
  driver.SetOnFatalError(TOnFatalErrorEvent::Of<&FatalErrors::OnFatal>(&errors));
  EXPECT_EQ(driver.Open(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(errors.sender, &driver);
  EXPECT_EQ(errors.code, 7u);
  EXPECT_NE(errors.detail, 0u) << "the system's error";
  EXPECT_EQ(errors.message, "Create service failed.");
  EXPECT_EQ(ServiceState("varaz"), 0u) << "nothing registered";
  EXPECT_TRUE(monitor_.Lines().empty()) << "the service manager was not asked";
}

// The USB component over the scripted stack, with the real driver as its
// handle: nested opens, the port-cycle test, the diagnostic requests.
class UsbComponent : public DriverService {
 protected:
  UsbComponent() : scope_(stack_) {
    stack_.AddDevNode(0, "{DEV}\\0001", "SAT fiscal device");
    stack_.controllers[0] = {L"{HC}\\0000", L"R0"};
    FakePort device;
    device.status = DeviceConnected;
    device.driverKey = L"{DEV}\\0001";
    device.pipes = {{0x81, 2, 64}, {0x02, 2, 64}};
    stack_.hubs[L"R0"].ports = {device, FakePort()};
  }
  ~UsbComponent() override { usb_.reset(); }

  static std::string Hex(HANDLE h) {
    char text[32];
    snprintf(text, sizeof text, "%llx",
             static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(h) & 0xFFFFFFFFu));
    return text;
  }

  FakeUsbStack stack_;
  FakeUsbStack::Scope scope_;
  std::unique_ptr<TnrUsb> usb_ = std::make_unique<TnrUsb>(nullptr);
};

TEST_F(UsbComponent, NodesOpenTheComponentAndCycleTheirPort) {
  usb_->Update();
  TnrUsbPort *port = usb_->GetHost(0)->GetHub(0)->GetPort(0);
  TnrUsbDevice *device = port->GetDevice(0);
  ASSERT_NE(device, nullptr);

  port->SetActive(true);
  port->SetActive(true);
  ASSERT_TRUE(port->GetActive());
  EXPECT_TRUE(usb_->IsHandleValid());
  EXPECT_EQ(usb_->GetOpenCount(), 1) << "opened once, counted once";
  EXPECT_EQ(usb_->GetHandle(), usb_->GetDriver().GetHandle());
  EXPECT_EQ(ServiceState("varaz"), static_cast<DWORD>(SERVICE_RUNNING));
  device->Open();
  device->GetPipe(1)->Open();
  EXPECT_EQ(usb_->GetOpenCount(), 3);

  monitor_.Clear();
  kernel_.Mark();
  port->TestPort();
  std::string hpipe = Hex(port->GetHandle());
  ASSERT_TRUE(kernel_.WaitFor("Reff ERROR"));
  EXPECT_EQ(kernel_.Since(),
            (std::vector<std::string>{"ze Dor IO Control  !!!", "nr nrDoTest handle = " + hpipe,
                                      "Reff ERROR"}));
  char line[64];
  snprintf(line, sizeof line, "hUSB = %llX hPipe = %llX",
           static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(usb_->GetHandle())),
           static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(port->GetHandle())));
  EXPECT_EQ(monitor_.Lines(), std::vector<std::string>{line});

  kernel_.Mark();
  device->GetPipe(1)->TestPipe();
  EXPECT_TRUE(kernel_.WaitFor("nr nrDoTest handle = " + Hex(device->GetPipe(1)->GetHandle())));
  device->GetPipe(0)->TestPipe();  // not open: nothing is sent

  // The driver answers no reads or writes.
  char ch = 0;
  EXPECT_FALSE(usb_->ReadChar(ch));
  EXPECT_FALSE(usb_->WriteChar('x'));

  monitor_.Clear();
  device->GetPipe(1)->Close();
  device->Close();
  port->Close();
  EXPECT_EQ(usb_->GetOpenCount(), 0);
  EXPECT_FALSE(usb_->IsHandleValid());
  EXPECT_EQ(monitor_.Lines(), std::vector<std::string>{"Closing ..."});
  EXPECT_TRUE(ServiceGone("varaz"));
}

TEST_F(UsbComponent, SendCommandNamesTheFirstPortToTheDriver) {
  usb_->Update();
  usb_->Open();
  ASSERT_TRUE(usb_->IsHandleValid());
  monitor_.Clear();
  kernel_.Mark();
  usb_->SendCommand();
  // The cycle request reads the first 4 bytes of "\DosDevices\R0\..." as
  // the handle.
  ASSERT_TRUE(kernel_.WaitFor("nr nrDoTest handle = 736f445c"));
  EXPECT_EQ(monitor_.Lines(), (std::vector<std::string>{"UM: OK", "", "UM: OK", ""}));

  usb_->Close();
  EXPECT_TRUE(ServiceGone("varaz"));
  monitor_.Clear();
  usb_->SendCommand();  // closed: both requests fail
  EXPECT_EQ(monitor_.Lines(), (std::vector<std::string>{"UM: Error", "UM: Error"}));

  stack_.hubs[L"R0"].ports[0] = FakePort();  // port 1 free: no path to name
  usb_->Update();
  monitor_.Clear();
  usb_->SendCommand();
  EXPECT_EQ(monitor_.Lines(), std::vector<std::string>{"UM: no port"});
}

TEST_F(UsbComponent, NodeOpenFailuresGoToTheDebuggerOutput) {
  usb_->Update();
  TnrUsbHost *host = usb_->GetHost(0);
  TnrUsbPort *port = host->GetHub(0)->GetPort(0);
  stack_.failOpens.insert(port->GetDevicePath());
  stack_.failOpens.insert(host->GetDevicePath());
  monitor_.Clear();
  port->Open();
  host->Open();
  EXPECT_FALSE(port->GetActive());
  EXPECT_FALSE(host->GetActive());
  EXPECT_EQ(usb_->GetOpenCount(), 2) << "the requests stay until the nodes close";
  EXPECT_EQ(monitor_.Lines(),
            (std::vector<std::string>{"Open ...", "USB Port Open Error:\\\\.\\R0\\{DEV}\\0001",
                                      "USB Host Open Error:\\\\.\\HCD0"}));
  // The free port opens its hub's path instead.
  TnrUsbPort *free = host->GetHub(0)->GetPort(1);
  free->Open();
  EXPECT_TRUE(free->GetActive());
  EXPECT_EQ(stack_.opens.back(), "\\\\.\\R0");

  // Destroying the component with open nodes closes them and the driver.
  usb_.reset();
  EXPECT_TRUE(ServiceGone("varaz"));
}

}  // namespace
