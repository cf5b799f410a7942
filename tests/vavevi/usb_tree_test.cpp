// The USB topology tree against the scripted stack: tree order, the device
// list byte for byte under each option, node values, selection across
// rebuilds, malformed answers, and that every handle taken is given back.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "fake_usb_stack.h"
#include "rtexcept.h"
#include "rtproperties.h"
#include "varaz.h"

namespace {

FakePort Device(const wchar_t *key, int pipes, std::vector<std::uint8_t> config = {}) {
  FakePort p;
  p.status = DeviceConnected;
  p.driverKey = key;
  for (int i = 0; i < pipes; ++i)
    p.pipes.push_back({static_cast<std::uint8_t>(i % 2 ? 0x02 + i : 0x81 + i),
                       static_cast<std::uint8_t>(i % 4), static_cast<std::uint16_t>(8 << i % 4)});
  p.config = std::move(config);
  return p;
}

FakePort Hub(const wchar_t *name) {
  FakePort p;
  p.status = DeviceConnected;
  p.isHub = true;
  p.hubName = name;
  p.driverKey = L"{HUB}\\0001";
  return p;
}

FakePort Free() { return FakePort(); }

// The machine of most tests:
//   HCD0 "PCI to USB Host Controller", root hub R0:
//     1 SAT fiscal device (3 pipes)   2 hub A   3 free   4 hub C
//     hub A: 1 hub B, 2 USB keyboard (2 pipes);  hub B: 1 device without
//     driver key (1 pipe);  hub C: 1 free
//   HCD1 missing
//   HCD2 "Second controller", root hub R2: ports 1-10 free, 11 fails, 12 free
void ScriptMachine(FakeUsbStack &stack) {
  int hc0 = stack.AddDevNode(0, "{HC}\\0000", "PCI to USB Host Controller");
  stack.AddDevNode(hc0, "{DEV}\\0001", "SAT fiscal device");
  stack.AddDevNode(hc0, "{HUB}\\0001", "Generic USB Hub");
  stack.AddDevNode(hc0, "{DEV}\\0002", "USB keyboard");
  stack.AddDevNode(0, "{HC}\\0002", "Second controller");

  stack.controllers[0] = {L"{HC}\\0000", L"R0"};
  stack.controllers[2] = {L"{HC}\\0002", L"R2"};
  FakePort sat = Device(L"{DEV}\\0001", 3, FakeConfig(0xC0, 50));
  sat.bcdUSB = 0x0110;
  sat.lowSpeed = 0;
  sat.vendor = 0x0525;
  sat.product = 0xA4A7;
  sat.maxPacket0 = 8;
  stack.hubs[L"R0"].ports = {sat, Hub(L"A"), Free(), Hub(L"C")};
  stack.hubs[L"A"].ports = {Hub(L"B"), Device(L"{DEV}\\0002", 2, FakeConfig(0x20, 25))};
  stack.hubs[L"A"].busPowered = true;
  stack.hubs[L"B"].ports = {Device(L"", 1)};
  stack.hubs[L"C"].ports = {Free()};
  stack.hubs[L"R2"].ports.assign(12, Free());
  stack.hubs[L"R2"].ports[10].failConnection = true;
}

std::vector<std::string> Texts(const TStringList &list) {
  std::vector<std::string> out;
  for (int i = 0; i < list.Count(); ++i) out.push_back(list.Strings(i));
  return out;
}

class UsbTree : public ::testing::Test {
 public:
  void Notified(TObject *, std::int32_t code) { notifications_.push_back(code); }

 protected:
  UsbTree() : scope_(stack_) { ScriptMachine(stack_); }
  ~UsbTree() override {
    usb_.reset();
    EXPECT_EQ(stack_.OpenHandles(), 0) << "handles left open";
    MaxNumberUsbPorts = 10;
  }

  // Builds the tree with the options and gives the device list.
  std::vector<std::string> Build(TnrUsbOptions options) {
    usb_->SetOptions(options);
    EXPECT_EQ(stack_.OpenHandles(), 0) << "handles left open while building";
    return Texts(usb_->DeviceList());
  }
  FakeUsbStack stack_;
  FakeUsbStack::Scope scope_;
  std::unique_ptr<TnrUsb> usb_ = std::make_unique<TnrUsb>(nullptr);
  std::vector<std::int32_t> notifications_;
};

TEST_F(UsbTree, DeviceListWithTheFormOptions) {
  std::vector<std::string> expected = {
      "PCI to USB Host Controller",
      "Root Hub",
      "Port #1 (device connected: SAT fiscal device) =3",
      "SAT fiscal device",
      "Port #2 (hub connected: Generic USB Hub) =0",
      "Port #3 (free)",
      "Port #4 (hub connected: Generic USB Hub) =0",
      "",  // hub A: only root hubs have a display name
      "Port #1 (hub connected: Generic USB Hub) =0",
      "Port #2 (device connected: USB keyboard) =2",
      "USB keyboard",
      "",  // hub B
      "Port #1 (device connected:  unknown) =1",
      "",  // its device: no driver key, no description
      "",  // hub C, found on a later root-hub port than A and B
      "Port #1 (free)",
      "Second controller",
      "Root Hub",
  };
  for (int n = 1; n <= 10; ++n) expected.push_back("Port #" + std::to_string(n) + " (free)");
  expected.push_back("Error");
  expected.push_back("Port #12 (free)");
  EXPECT_EQ(Build({uoShowHost, uoShowHub, uoShowPort}), expected);

  // Each line carries its node.
  TStringList &list = usb_->DeviceList();
  TnrUsbHost *host = usb_->GetHost(0);
  ASSERT_NE(host, nullptr);
  EXPECT_EQ(list.Objects(0), reinterpret_cast<TStringList::Slot>(static_cast<TObject *>(host)));
  TnrUsbHub *root = host->GetHub(0);
  EXPECT_EQ(list.Objects(1), reinterpret_cast<TStringList::Slot>(static_cast<TObject *>(root)));
  EXPECT_EQ(list.Objects(3), reinterpret_cast<TStringList::Slot>(
                                 static_cast<TObject *>(root->GetPort(0)->GetDevice(0))));
}

TEST_F(UsbTree, DeviceListUnderOtherOptions) {
  struct Case {
    TnrUsbOptions options;
    std::vector<std::string> lines;
  } cases[] = {
      {{}, {"SAT fiscal device", "USB keyboard", ""}},
      {{uoShowClass},
       {"USB Device: SAT fiscal device", "USB Device: USB keyboard", "USB Device: "}},
      {{uoShowHub, uoShowClass},
       {"USB Hub: Root Hub", "USB Device: SAT fiscal device", "USB Hub: ",
        "USB Device: USB keyboard", "USB Hub: ", "USB Device: ", "USB Hub: ", "USB Hub: Root Hub"}},
      {{uoShowHost, uoShowClass},
       {"USB Host Controller: PCI to USB Host Controller", "USB Device: SAT fiscal device",
        "USB Device: USB keyboard", "USB Device: ", "USB Host Controller: Second controller"}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.lines));
    EXPECT_EQ(Build(c.options), c.lines);
  }
  std::vector<std::string> withPorts = Build({uoShowPort, uoShowClass});
  ASSERT_GE(withPorts.size(), 2u);
  EXPECT_EQ(withPorts[0], "USB Port: Port #1 (device connected: SAT fiscal device) =3");
  EXPECT_EQ(withPorts.back(), "USB Port: Port #12 (free)");
}

TEST_F(UsbTree, TreeShapePathsAndNodeValues) {
  Build({});
  ASSERT_EQ(usb_->GetCount(), 2);
  EXPECT_EQ(usb_->GetHost(1)->GetDevicePath(), "\\\\.\\HCD2") << "a host keeps its own index";
  EXPECT_EQ(usb_->GetHost(0)->GetDriverKey(), "{HC}\\0000");
  EXPECT_EQ(usb_->GetHost(2), nullptr);
  EXPECT_EQ(usb_->GetHost(-1), nullptr);

  TnrUsbHost *host = usb_->GetHost(0);
  ASSERT_EQ(host->GetCount(), 4);
  const char *paths[] = {"\\\\.\\R0", "\\\\.\\A", "\\\\.\\B", "\\\\.\\C"};
  for (int i = 0; i < 4; ++i) EXPECT_EQ(host->GetHub(i)->GetDevicePath(), paths[i]);
  EXPECT_EQ(host->GetHub(0)->GetParentPort(), nullptr);
  EXPECT_EQ(host->GetHub(1)->GetParentPort(), host->GetHub(0)->GetPort(1));
  EXPECT_EQ(host->GetHub(2)->GetParentPort(), host->GetHub(1)->GetPort(0));

  TnrUsbPort *satPort = host->GetHub(0)->GetPort(0);
  EXPECT_EQ(satPort->GetPortNumber(), 1);
  EXPECT_EQ(satPort->GetConnectionName(), "{DEV}\\0001");
  EXPECT_EQ(satPort->GetDevicePath(), "\\\\.\\R0\\{DEV}\\0001");
  EXPECT_EQ(host->GetHub(0)->GetPort(1)->GetDevicePath(), "\\\\.\\R0\\A");
  EXPECT_EQ(host->GetHub(0)->GetPort(2)->GetDevicePath(), "") << "a free port has no path";
  EXPECT_EQ(host->GetHub(0)->GetPort(2)->GetCount(), 0);
  EXPECT_EQ(host->GetHub(0)->GetPort(4), nullptr);

  // Node values.
  TnrUsbHub *root = host->GetHub(0);
  EXPECT_EQ(root->GetMaxPower(), 100);
  EXPECT_TRUE(root->GetIsSelfPower());
  EXPECT_FALSE(host->GetHub(1)->GetIsSelfPower()) << "hub A is bus powered";

  TnrUsbDevice *sat = satPort->GetDevice(0);
  ASSERT_NE(sat, nullptr);
  EXPECT_EQ(sat->GetDescription(), "SAT fiscal device");
  EXPECT_EQ(sat->GetVendorId(), 0x0525);
  EXPECT_EQ(sat->GetProductId(), 0xA4A7);
  EXPECT_EQ(sat->GetMaxPacketSize0(), 8);
  EXPECT_EQ(sat->GetVersionHigh(), 1);
  EXPECT_EQ(sat->GetVersionLow(), 0) << "bcdUSB 0x0110 taken as it is";
  EXPECT_EQ(sat->GetSpeed(), usFull);
  EXPECT_EQ(sat->GetMaxPower(), 100);
  EXPECT_TRUE(sat->GetIsSelfPower());
  EXPECT_FALSE(sat->GetIsWakeUp());
  EXPECT_TRUE(sat->GetIsBusPower());
  ASSERT_EQ(sat->GetDescriptorRequest().size(), 21u);
  ASSERT_NE(sat->GetConfigDescriptor(), nullptr);
  EXPECT_EQ(sat->GetConfigDescriptor()->MaxPower, 50);

  TnrUsbDevice *keyboard = host->GetHub(1)->GetPort(1)->GetDevice(0);
  EXPECT_EQ(keyboard->GetMaxPower(), 0) << "not bus powered: no current drawn from the bus";
  EXPECT_TRUE(keyboard->GetIsWakeUp());

  ASSERT_EQ(sat->GetPipeCount(), 3);
  struct Pipe {
    const char *path;
    int maxPacket;
    TnrUsbTransferType type;
    bool in;
  } pipes[] = {{"\\\\.\\R0\\{DEV}\\0001\\PIPE00", 8, uttControl, true},
               {"\\\\.\\R0\\{DEV}\\0001\\PIPE01", 16, uttIsochronous, false},
               {"\\\\.\\R0\\{DEV}\\0001\\PIPE02", 32, uttBulk, true}};
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    TnrUsbPipe *pipe = sat->GetPipe(i);
    EXPECT_EQ(pipe->GetPipePath(), pipes[i].path);
    EXPECT_EQ(pipe->GetPipeIndex(), i);
    EXPECT_EQ(pipe->GetMaxPacketSize(), pipes[i].maxPacket);
    EXPECT_EQ(pipe->GetTransferType(), pipes[i].type);
    EXPECT_EQ(pipe->GetDirectIn(), pipes[i].in);
    EXPECT_EQ(pipe->GetDirectOut(), !pipes[i].in);
    EXPECT_NE(std::find(stack_.opens.begin(), stack_.opens.end(), pipes[i].path),
              stack_.opens.end())
        << "each pipe path is tried once";
  }
  EXPECT_EQ(sat->GetPipe(-1), nullptr);
  EXPECT_EQ(sat->GetPipe(3), nullptr);

  TnrUsbPipe lone(nullptr);
  EXPECT_EQ(lone.GetMaxPacketSize(), 0);
  EXPECT_EQ(lone.GetTransferType(), uttUnknown);
  EXPECT_FALSE(lone.GetDirectIn());
  EXPECT_FALSE(lone.GetDirectOut());
  // A device never read has no descriptor at all (a failed read leaves
  // zero bytes: FailuresLeaveGapsNotErrors): no power, no attributes.
  TnrUsbDevice fresh;
  EXPECT_EQ(fresh.GetConfigDescriptor(), nullptr);
  EXPECT_EQ(fresh.GetMaxPower(), 0);
  EXPECT_FALSE(fresh.GetIsSelfPower());
  EXPECT_FALSE(fresh.GetIsWakeUp());
  EXPECT_FALSE(fresh.GetIsBusPower());
}

TEST_F(UsbTree, SpeedFromTheLowSpeedByte) {
  struct Case {
    std::uint16_t bcd;
    std::uint8_t lowSpeed;
    TnrUSBSpeed speed;
  } cases[] = {{0x0110, 1, usLow},  {0x0110, 0, usFull},   {0x0100, 2, usLow},
               {0x0200, 0, usLow},  {0x0200, 1, usFull},   {0x0200, 2, usHigh},
               {0x0300, 3, usHigh}, {0x0200, 0xFF, usHigh}};
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.bcd << " " << int(c.lowSpeed));
    stack_.hubs[L"R0"].ports[0].bcdUSB = c.bcd;
    stack_.hubs[L"R0"].ports[0].lowSpeed = c.lowSpeed;
    usb_->Update();
    TnrUsbDevice *d = usb_->GetHost(0)->GetHub(0)->GetPort(0)->GetDevice(0);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->GetSpeed(), c.speed);
    EXPECT_STREQ(strUSBSpeeds.at(d->GetSpeed()), strUSBSpeeds[c.speed]);
  }
}

TEST_F(UsbTree, FailuresLeaveGapsNotErrors) {
  stack_.hubs[L"C"].failOpen = true;                          // left out
  stack_.hubs[L"B"].failNodeInfo = true;                      // no ports
  stack_.hubs[L"R0"].ports[0].config.clear();                 // no descriptor
  stack_.failOpens.insert("\\\\.\\R0\\{DEV}\\0001\\PIPE01");  // a pipe that does not open
  std::vector<std::string> lines = Build({uoShowHub, uoShowPort});
  std::vector<std::string> expected = {
      "Root Hub",
      "Port #1 (device connected: SAT fiscal device) =3",
      "SAT fiscal device",
      "Port #2 (hub connected: Generic USB Hub) =0",
      "Port #3 (free)",
      "Port #4 (hub connected: Generic USB Hub) =0",
      "",
      "Port #1 (hub connected: Generic USB Hub) =0",
      "Port #2 (device connected: USB keyboard) =2",
      "USB keyboard",
      "",  // hub B, without ports
  };
  ASSERT_GE(lines.size(), expected.size());
  EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 11), expected);
  EXPECT_EQ(lines[11], "Root Hub") << "hub C is not listed";
  EXPECT_EQ(usb_->GetHost(0)->GetCount(), 3);

  TnrUsbDevice *sat = usb_->GetHost(0)->GetHub(0)->GetPort(0)->GetDevice(0);
  EXPECT_EQ(sat->GetPipeCount(), 3);
  EXPECT_EQ(sat->GetMaxPower(), 0);
  EXPECT_FALSE(sat->GetIsSelfPower() || sat->GetIsWakeUp() || sat->GetIsBusPower());
  const std::vector<std::uint8_t> &request = sat->GetDescriptorRequest();
  ASSERT_EQ(request.size(), 21u);
  EXPECT_EQ(std::vector<std::uint8_t>(request.begin() + 12, request.end()),
            std::vector<std::uint8_t>(9, 0))
      << "the descriptor bytes stay zero";
}

// A port enumerated again after its device went away (or stopped
// answering) keeps nothing of it; a device whose hub will not open for the
// descriptor read keeps a request that names its port and descriptor.
TEST_F(UsbTree, APortForgetsTheDeviceThatWentAndKeepsAWellFormedRequest) {
  Build({});
  TnrUsbHub *root = usb_->GetHost(0)->GetHub(0);
  TnrUsbPort *port = root->GetPort(0);
  ASSERT_EQ(port->GetDevicePath(), "\\\\.\\R0\\{DEV}\\0001");
  struct Case {
    const char *what;
    FakePort now;
    const char *text;
  } cases[] = {{"unplugged", Free(), "Port #1 (free)"}, {"no answer", Free(), "Error"}};
  cases[1].now.failConnection = true;
  for (Case &c : cases) {
    SCOPED_TRACE(c.what);
    stack_.hubs[L"R0"].ports[0] = Device(L"{DEV}\\0001", 3);
    HANDLE hub = stack_.Open(root->GetDevicePath(), GENERIC_WRITE, FILE_SHARE_WRITE);
    port->EnumDevices(hub);
    ASSERT_EQ(port->GetCount(), 1);
    stack_.hubs[L"R0"].ports[0] = c.now;
    port->EnumDevices(hub);
    stack_.Close(hub);
    EXPECT_EQ(port->GetPortText(), c.text);
    EXPECT_EQ(port->GetCount(), 0);
    EXPECT_EQ(port->GetDevicePath(), "");
    EXPECT_EQ(port->GetConnectionName(), "");
    EXPECT_EQ(port->GetConnectionInfo().ConnectionStatus, NoDeviceConnected);
    EXPECT_EQ(port->GetPipeInfoCount(), 0);
  }
  // The hub opens for enumeration (shared) but not for the descriptor read.
  stack_.hubs[L"R0"].ports[0] = Device(L"{DEV}\\0001", 3, FakeConfig(0xC0, 50));
  stack_.hubs[L"R0"].failExclusiveOpen = true;
  stack_.calls.clear();
  usb_->Update();
  TnrUsbDevice *sat = usb_->GetHost(0)->GetHub(0)->GetPort(0)->GetDevice(0);
  ASSERT_NE(sat, nullptr);
  for (const FakeCall &call : stack_.CallsWith(IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION))
    EXPECT_NE(call.path, "\\\\.\\R0") << "nothing is asked of a hub that did not open";
  std::vector<std::uint8_t> expected(21, 0);
  expected[0] = 1;   // ConnectionIndex: port 1
  expected[6] = 0;   // wValue: configuration 0 ...
  expected[7] = 2;   // ... of descriptor type 2
  expected[10] = 9;  // wLength: 9 bytes
  EXPECT_EQ(sat->GetDescriptorRequest(), expected);
  EXPECT_EQ(sat->GetConfigDescriptor()->bLength, 0) << "no descriptor bytes";
  EXPECT_EQ(sat->GetMaxPower(), 0);
}

// The request codes that building the tree sends, as numbers: the system's
// values, not the header's names that the code and the scripted stack share.
TEST_F(UsbTree, RequestCodesAreTheSystemsNumbers) {
  Build({});
  std::set<DWORD> toControllers, toHubs;
  for (const FakeCall &call : stack_.calls)
    (call.path.rfind("\\\\.\\HCD", 0) == 0 ? toControllers : toHubs).insert(call.code);
  // HCD driver key, root hub name.
  EXPECT_EQ(toControllers, (std::set<DWORD>{0x220424, 0x220408}));
  // Node information, connection information, descriptor, connection name,
  // connection driver key.
  EXPECT_EQ(toHubs, (std::set<DWORD>{0x220408, 0x22040C, 0x220410, 0x220414, 0x220420}));
}

TEST_F(UsbTree, MalformedAnswersAreNeverReadPastTheirEnd) {
  FakePort many = Device(L"{DEV}\\0001", 31);  // one pipe more than USB allows
  FakePort shortPipes = Device(L"{DEV}\\0002", 3);
  shortPipes.connectionReturned = 35 + 2 * 11;  // the third entry is not in the answer
  FakePort cut = Device(L"{DEV}\\0001", 1);
  cut.connectionReturned = 20;  // not even the fixed part
  stack_.hubs[L"R0"].ports = {many, shortPipes, cut};
  stack_.hubs[L"R2"].nodeInfoReturned = 40;  // half a node information: no ports

  std::vector<std::string> lines = Build({uoShowPort});
  std::vector<std::string> expected = {
      "Port #1 (device connected: SAT fiscal device) =31", "SAT fiscal device",
      "Port #2 (device connected: USB keyboard) =3", "USB keyboard", "Error"};
  EXPECT_EQ(lines, expected);
  TnrUsbHub *root = usb_->GetHost(0)->GetHub(0);
  EXPECT_EQ(root->GetPort(0)->GetDevice(0)->GetPipeCount(), 30);
  EXPECT_NE(root->GetPort(0)->GetPipeInfo(29), nullptr);
  EXPECT_EQ(root->GetPort(0)->GetPipeInfo(30), nullptr);
  EXPECT_EQ(root->GetPort(1)->GetDevice(0)->GetPipeCount(), 2);
  EXPECT_EQ(usb_->GetHost(1)->GetHub(0)->GetCount(), 0);
}

TEST_F(UsbTree, AHubThatNamesItselfStopsAtTheDeepestLegalTier) {
  stack_.controllers.erase(2);
  stack_.hubs[L"R0"].ports = {Hub(L"LOOP")};
  stack_.hubs[L"LOOP"].ports = {Hub(L"LOOP")};
  Build({});
  EXPECT_EQ(usb_->GetHost(0)->GetCount(), 1 + 5) << "the root hub and five tiers of hubs";
}

TEST_F(UsbTree, NoHostControllerGivesAnEmptyTree) {
  stack_.controllers.clear();
  EXPECT_TRUE(Build({uoShowHost, uoShowHub, uoShowPort}).empty());
  EXPECT_EQ(usb_->GetCount(), 0);
  usb_->SetDeviceIndex(0);
  EXPECT_EQ(usb_->GetDeviceIndex(), -1);
  EXPECT_EQ(usb_->GetUsbDevice(), nullptr);
  TStringList copy;
  copy.Add("stale");
  usb_->GetDeviceList(&copy);
  EXPECT_EQ(copy.Count(), 0);
}

TEST_F(UsbTree, ControllerIndicesTried) {
  struct Case {
    int max;
    std::vector<std::string> names;
  } cases[] = {{3, {"\\\\.\\HCD0", "\\\\.\\HCD1", "\\\\.\\HCD2"}}, {0, {}}, {-4, {}}};
  auto controllersTried = [&](int max) {
    MaxNumberUsbPorts = max;
    stack_.opens.clear();
    usb_->Update();
    std::vector<std::string> tried;
    for (const auto &p : stack_.opens)
      if (p.rfind("\\\\.\\HCD", 0) == 0) tried.push_back(p);
    return tried;
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.max);
    EXPECT_EQ(controllersTried(c.max), c.names);
  }
  // Past ten the index is written in decimal, as the system names them.
  stack_.controllers[11] = {L"{HC}\\0002", L"R2"};
  std::vector<std::string> tried = controllersTried(12);
  ASSERT_EQ(tried.size(), 12u);
  EXPECT_EQ(tried[10], "\\\\.\\HCD10");
  ASSERT_EQ(usb_->GetCount(), 3);
  EXPECT_EQ(usb_->GetHost(2)->GetDevicePath(), "\\\\.\\HCD11");
}

TEST_F(UsbTree, SelectionFollowsTheDeviceAcrossRebuilds) {
  Build({uoShowHost, uoShowHub, uoShowPort});
  usb_->SetDeviceIndex(0);  // a host line
  EXPECT_EQ(usb_->GetUsbDevice(), nullptr);
  EXPECT_EQ(usb_->GetDeviceIndex(), 0);

  usb_->SetDeviceIndex(10);  // USB keyboard
  ASSERT_NE(usb_->GetUsbDevice(), nullptr);
  EXPECT_EQ(usb_->GetUsbDevice()->GetDescription(), "USB keyboard");
  EXPECT_EQ(usb_->GetDeviceIndex(), 10);

  // A rebuild makes new nodes; the selection moves to the keyboard's new node.
  usb_->SetOptions({});
  ASSERT_NE(usb_->GetUsbDevice(), nullptr);
  EXPECT_EQ(usb_->GetUsbDevice()->GetDescription(), "USB keyboard");
  EXPECT_EQ(usb_->GetDeviceIndex(), 1);

  // Outside the list: the stored index becomes -1, the device stays.
  usb_->SetDeviceIndex(-1);
  EXPECT_EQ(usb_->GetDeviceIndex(), 1);
  usb_->SetDeviceIndex(usb_->DeviceList().Count());
  ASSERT_NE(usb_->GetUsbDevice(), nullptr);

  // Unplugged: nothing is selected after the next rebuild.
  stack_.hubs[L"A"].ports[1] = Free();
  usb_->Update();
  EXPECT_EQ(usb_->GetUsbDevice(), nullptr);
  EXPECT_EQ(usb_->GetDeviceIndex(), -1);

  // Destroying the tree by hand leaves nothing dangling either.
  usb_->SetDeviceIndex(0);
  ASSERT_NE(usb_->GetUsbDevice(), nullptr);
  usb_->GetHost(0)->Clear();
  EXPECT_EQ(usb_->GetUsbDevice(), nullptr);
  EXPECT_EQ(usb_->DeviceList().Count(), 0) << "the list pointed into the destroyed nodes";
}

TEST_F(UsbTree, NotificationsOfRebuildsAndSelection) {
  usb_->NotifyAdd(TnrNotifyEvent::Of<&UsbTree::Notified>(this));
  usb_->SetOptions({uoShowHost});
  EXPECT_EQ(notifications_, (std::vector<std::int32_t>{3, 3}))
      << "SetOptions: Update, then its own";
  notifications_.clear();
  usb_->SetOptions({uoShowHost});  // the same value rebuilds again
  usb_->Update();
  usb_->SetDeviceIndex(0);
  EXPECT_EQ(notifications_, (std::vector<std::int32_t>{3, 3, 3, 3}));
}

TEST_F(UsbTree, PublishedProperties) {
  SetPublishedProperty(*usb_, "Options", "[uoShowHub, uoShowClass]");
  EXPECT_EQ(usb_->GetOptions(), (TnrUsbOptions{uoShowHub, uoShowClass}));
  EXPECT_EQ(usb_->DeviceList().Strings(0), "USB Hub: Root Hub") << "setting Options builds";
  SetPublishedProperty(*usb_, "DeviceIndex", "1");
  EXPECT_EQ(usb_->GetDeviceIndex(), 1);
  EXPECT_THROW(SetPublishedProperty(*usb_, "Active", "True"), EPropertyError);
  EXPECT_EQ(TnrUsbOptions({uoShowHost, uoShowHub, uoShowPort}).ToBits(), 0x07);
  EXPECT_EQ(TnrUsb(nullptr).GetOptions(), (TnrUsbOptions{uoShowHost, uoShowHub, uoShowPort}));
}

// A node cannot open while the driver service cannot be created: the
// driver's fatal error is raised, and nothing stays counted or open.
TEST_F(UsbTree, NodeOpenWithoutADriverRaisesAndCountsNothing) {
  Build({});
  usb_->GetDriver().SetResourceName("");
  usb_->GetDriver().SetDriverFile("C:\\no such directory\\varaz.sys");
  TnrUsbPort *port = usb_->GetHost(0)->GetHub(0)->GetPort(0);
  try {
    port->SetActive(true);
    ADD_FAILURE() << "no error raised";
  } catch (const Exception &e) {
    EXPECT_EQ(e.Message(), "Create service failed.");
  }
  EXPECT_FALSE(port->GetActive());
  EXPECT_EQ(usb_->GetOpenCount(), 0);
  EXPECT_FALSE(usb_->IsHandleValid());
  port->Close();  // closing a node that is not open gives back nothing
  EXPECT_EQ(usb_->GetOpenCount(), 0);
}

}  // namespace
