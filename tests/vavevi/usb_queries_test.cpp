// The USB system queries against the scripted stack: two-step name reads with
// failed and malformed answers, the description walk over the Plug and Play
// tree, the configuration-descriptor read, controller names.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>

#include "fake_usb_stack.h"
#include "nrusbw32.h"

namespace {

class UsbQueries : public ::testing::Test {
 protected:
  UsbQueries() : scope_(stack_) {
    stack_.controllers[0] = {L"{36FC9E60-C465-11CF-8056-444553540000}\\0000", L"USB#ROOT_HUB#1"};
    FakeHub hub;
    FakePort device;
    device.status = DeviceConnected;
    device.driverKey = L"{36FC9E60-C465-11CF-8056-444553540000}\\0007";
    device.config = FakeConfig(0xC0, 50, {9, 4, 0, 0, 2, 2, 2, 1, 0});
    FakePort downstream;
    downstream.status = DeviceConnected;
    downstream.isHub = true;
    downstream.hubName = L"USB#HUB#2";
    hub.ports = {device, downstream};
    stack_.hubs[L"USB#ROOT_HUB#1"] = hub;
  }
  ~UsbQueries() override { EXPECT_EQ(stack_.OpenHandles(), 0) << "handles left open"; }

  HANDLE OpenController() {
    return GetUsbSystem().Open(HostControllerPath(0), GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE);
  }
  HANDLE OpenRootHub() {
    return GetUsbSystem().Open("\\\\.\\USB#ROOT_HUB#1", GENERIC_WRITE, FILE_SHARE_WRITE);
  }

  FakeUsbStack stack_;
  FakeUsbStack::Scope scope_;
};

// One handle for the life of a test.
struct OpenHandle {
  explicit OpenHandle(HANDLE h) : handle(h) {}
  ~OpenHandle() {
    if (handle != INVALID_HANDLE_VALUE) GetUsbSystem().Close(handle);
  }
  HANDLE handle;
};

TEST_F(UsbQueries, ControllerNameReadsProbeThenRecord) {
  OpenHandle hcd(OpenController());
  ASSERT_NE(hcd.handle, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetKeyName(hcd.handle, IOCTL_GET_HCD_DRIVERKEY_NAME),
            "{36FC9E60-C465-11CF-8056-444553540000}\\0000");
  EXPECT_EQ(GetKeyName(hcd.handle, IOCTL_USB_GET_ROOT_HUB_NAME), "USB#ROOT_HUB#1");

  auto calls = stack_.CallsWith(IOCTL_GET_HCD_DRIVERKEY_NAME);
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].inSize, 0u);
  EXPECT_EQ(calls[0].outSize, 6u);
  EXPECT_EQ(calls[1].inSize, 0u);
  EXPECT_EQ(calls[1].outSize, 4u + 2u * (43u + 1u));  // the size the probe reported
}

// Every malformed or failed answer gives an empty name, and a failed probe is
// not followed by a second request.
TEST_F(UsbQueries, ControllerNameFailures) {
  struct Case {
    const char *what;
    FakeNameFault fault;
    std::size_t requests;
  } cases[] = {
      {"probe fails", {true, false, false, 0, 0}, 1},
      {"second request fails", {false, true, false, 0, 0}, 2},
      {"size report 0", {false, false, true, 0, 0}, 1},
      {"size report only the length field", {false, false, true, 4, 0}, 1},
      {"size report beyond any name", {false, false, true, 0x7FFFFFFF, 0}, 1},
      {"second answer reports no bytes", {false, false, false, 0, 1}, 2},
  };
  OpenHandle hcd(OpenController());
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    stack_.calls.clear();
    stack_.nameFaults[{HostControllerPath(0), IOCTL_GET_HCD_DRIVERKEY_NAME}] = c.fault;
    EXPECT_EQ(GetKeyName(hcd.handle, IOCTL_GET_HCD_DRIVERKEY_NAME), "");
    EXPECT_EQ(stack_.calls.size(), c.requests);
  }
}

TEST_F(UsbQueries, NameIsCutWhereTheAnswerEnds) {
  OpenHandle hcd(OpenController());
  // The second answer reports the length field and 3 characters only.
  stack_.nameFaults[{HostControllerPath(0), IOCTL_USB_GET_ROOT_HUB_NAME}] = {false, false, false, 0,
                                                                             4 + 3 * 2};
  EXPECT_EQ(GetKeyName(hcd.handle, IOCTL_USB_GET_ROOT_HUB_NAME), "USB");
}

TEST_F(UsbQueries, ConnectionNamesCarryThePortNumberInBothRequests) {
  OpenHandle hub(OpenRootHub());
  ASSERT_NE(hub.handle, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetConnectionKeyName(hub.handle, IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, 1),
            "{36FC9E60-C465-11CF-8056-444553540000}\\0007");
  EXPECT_EQ(GetConnectionKeyName(hub.handle, IOCTL_USB_GET_NODE_CONNECTION_NAME, 2), "USB#HUB#2");
  // A device is no hub, a hub has no driver key here, port 3 does not exist.
  EXPECT_EQ(GetConnectionKeyName(hub.handle, IOCTL_USB_GET_NODE_CONNECTION_NAME, 1), "");
  EXPECT_EQ(GetConnectionKeyName(hub.handle, IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, 3), "");

  auto calls = stack_.CallsWith(IOCTL_USB_GET_NODE_CONNECTION_NAME);
  ASSERT_GE(calls.size(), 2u);
  for (std::size_t i = 0; i < 2; ++i) {
    ULONG index = 0;
    ASSERT_GE(calls[i].input.size(), 4u);
    std::memcpy(&index, calls[i].input.data(), 4);
    EXPECT_EQ(index, 2u) << "request " << i;
    EXPECT_EQ(calls[i].inSize, calls[i].outSize);
  }
  EXPECT_EQ(calls[0].inSize, 12u);
}

TEST_F(UsbQueries, ConnectionNameProbeFailureSendsNoSecondRequest) {
  OpenHandle hub(OpenRootHub());
  stack_.nameFaults[{"\\\\.\\USB#ROOT_HUB#1", IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME}] = {
      true, false, false, 0, 0};
  EXPECT_EQ(GetConnectionKeyName(hub.handle, IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, 1), "");
  EXPECT_EQ(stack_.calls.size(), 1u);
}

// The Plug and Play tree of the description tests:
//   root - A - A1 - A11
//            \ A2
//        - B (driver key "{X}\0002", no readable description)
//        - C ("{x}\0003")
class UsbDescriptions : public UsbQueries {
 protected:
  UsbDescriptions() {
    int a = stack_.AddDevNode(0, "{A}\\0000", "Controller A");
    int a1 = stack_.AddDevNode(a, "{A}\\0001", "Root hub A1");
    stack_.AddDevNode(a1, "{A}\\0011", "Serial device A11");
    stack_.AddDevNode(a, "", "no driver");
    stack_.AddDevNode(0, "{X}\\0002", "hidden", false);
    stack_.AddDevNode(0, "{x}\\0003", "Lower-case C");
  }
};

TEST_F(UsbDescriptions, WalkFindsNodesAtEveryDepth) {
  EXPECT_EQ(GetDescription("{A}\\0000"), "Controller A");
  EXPECT_EQ(GetDescription("{A}\\0011"), "Serial device A11");
  EXPECT_EQ(GetDescription("{x}\\0003"), "Lower-case C");
}

TEST_F(UsbDescriptions, NoMatchVisitsEveryNodeOnce) {
  EXPECT_EQ(GetDescription("{X}\\0003"), "");  // differs in letter case only
  EXPECT_EQ(stack_.propertyReads, static_cast<int>(stack_.devNodes.size()));
  EXPECT_EQ(GetDescription(""), "");
}

TEST_F(UsbDescriptions, UnreadableDescriptionEndsTheWalk) {
  EXPECT_EQ(GetDescription("{X}\\0002"), "");
  // Root, A, A1, A11, A2, B: driver keys; then B's description; C is not read.
  EXPECT_EQ(stack_.propertyReads, 7);
}

TEST_F(UsbDescriptions, MissingLibraryGivesEmptyTextsUntilItAppears) {
  stack_.cfgmgrMissing = true;
  EXPECT_EQ(GetDescription("{A}\\0000"), "");
  EXPECT_EQ(GetDescription("{A}\\0000"), "");
  EXPECT_EQ(stack_.cfgmgrLoads, 0);
  stack_.cfgmgrMissing = false;
  EXPECT_EQ(GetDescription("{A}\\0000"), "Controller A");
  EXPECT_EQ(GetDescription("{A}\\0011"), "Serial device A11");
  EXPECT_EQ(stack_.cfgmgrLoads, 1) << "bound once, then kept";
}

// A library without every entry point is given back at once and tried again
// at the next need; a binding that was made is given back when the seam goes.
TEST_F(UsbDescriptions, MissingEntryPointGivesEmptyTextAndTheLibraryBack) {
  stack_.missingEntry = "CM_Get_Sibling";
  EXPECT_EQ(GetDescription("{A}\\0000"), "");
  EXPECT_EQ(stack_.propertyReads, 0);
  EXPECT_EQ(stack_.cfgmgrLoads, 1);
  EXPECT_EQ(stack_.cfgmgrReleases, 1);
  stack_.missingEntry.clear();
  EXPECT_EQ(GetDescription("{A}\\0000"), "Controller A");
  EXPECT_EQ(GetDescription("{A}\\0011"), "Serial device A11");
  EXPECT_EQ(stack_.cfgmgrLoads, 2);
  EXPECT_EQ(stack_.cfgmgrReleases, 1);
  SetUsbSystem(nullptr);
  EXPECT_EQ(stack_.cfgmgrReleases, 2);
}

TEST_F(UsbDescriptions, ATreeGoingRoundInACircleEnds) {
  // C's child is A: the walk would never leave the tree.
  stack_.devNodes[6].children.push_back(1);
  EXPECT_EQ(GetDescription("{nowhere}"), "");
}

TEST_F(UsbQueries, ConfigDescriptorReadAsksForNineBytesThenTheWhole) {
  OpenHandle hub(OpenRootHub());
  std::vector<std::uint8_t> request = ReadConfigDescriptorRequest(hub.handle, 1, 0);
  ASSERT_EQ(request.size(), 12u + 18u);
  EXPECT_EQ(request[12 + 2], 18) << "wTotalLength";
  EXPECT_EQ(request[12 + 7], 0xC0) << "bmAttributes";
  EXPECT_EQ(request[12 + 8], 50) << "MaxPower";

  auto calls = stack_.CallsWith(IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION);
  ASSERT_EQ(calls.size(), 2u);
  struct Expected {
    DWORD size;
    USHORT wLength;
  } expected[] = {{21, 9}, {30, 18}};
  for (std::size_t i = 0; i < 2; ++i) {
    SCOPED_TRACE(i);
    USB_DESCRIPTOR_REQUEST r;
    ASSERT_GE(calls[i].input.size(), sizeof r);
    std::memcpy(&r, calls[i].input.data(), sizeof r);
    EXPECT_EQ(calls[i].inSize, expected[i].size);
    EXPECT_EQ(calls[i].outSize, expected[i].size);
    EXPECT_EQ(r.ConnectionIndex, 1u);
    EXPECT_EQ(r.SetupPacket.wValue, 0x0200);
    EXPECT_EQ(r.SetupPacket.wLength, expected[i].wLength);
    EXPECT_EQ(r.SetupPacket.bmRequest, 0);
    EXPECT_EQ(r.SetupPacket.bRequest, 0);
    EXPECT_EQ(r.SetupPacket.wIndex, 0);
  }

  EXPECT_EQ(GetConfigDescriptor(hub.handle, 1, 0), stack_.hubs[L"USB#ROOT_HUB#1"].ports[0].config);
  GetConfigDescriptor(hub.handle, 1, 3);
  USB_DESCRIPTOR_REQUEST r;
  std::memcpy(&r, stack_.calls.back().input.data(), sizeof r);
  EXPECT_EQ(r.SetupPacket.wValue, 0x0203) << "the configuration index in the low byte";
}

TEST_F(UsbQueries, ConfigDescriptorFailures) {
  OpenHandle hub(OpenRootHub());
  // Port 2 (a hub here) answers no descriptor.
  std::vector<std::uint8_t> request = ReadConfigDescriptorRequest(hub.handle, 2, 0);
  ASSERT_EQ(request.size(), 21u);
  EXPECT_EQ(std::vector<std::uint8_t>(request.begin() + 12, request.end()),
            std::vector<std::uint8_t>(9, 0));
  EXPECT_TRUE(GetConfigDescriptor(hub.handle, 2, 0).empty());

  // A wTotalLength below the descriptor's own 9 bytes: no second request.
  stack_.hubs[L"USB#ROOT_HUB#1"].ports[0].config = {9, 2, 4, 0, 1, 1, 0, 0x80, 10};
  stack_.calls.clear();
  request = ReadConfigDescriptorRequest(hub.handle, 1, 0);
  EXPECT_EQ(request.size(), 21u);
  EXPECT_EQ(stack_.calls.size(), 1u);
}

}  // namespace
