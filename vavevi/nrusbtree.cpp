// The USB tree: host controllers, hubs, ports, devices and pipes, each built
// from the answers of the system queries (Nrusbw32) and each opened through
// the component's nested open.
#include <cstring>
#include <string>

#include "nrusb.h"
#include "nrusbdevice.h"
#include "nrusbdriver.h"
#include "nrusbhost.h"
#include "nrusbhub.h"
#include "nrusbpipe.h"
#include "nrusbport.h"
#include "rtformat.h"

const std::array<const char *, 3> strUSBSpeeds = {"Low", "Full", "High"};
const std::array<const char *, 5> strUSBTransferType = {"Unknown", "Control", "Isochronous", "Bulk",
                                                        "Interrupt"};

namespace {

// USB allows five hubs in a chain below the root hub. A deeper chain is a
// malformed answer (a hub that names itself or its parent as the hub on one
// of its ports would otherwise be enumerated without end).
constexpr int kMaxHubDepth = 5;

void DebugOut(const std::string &text) { OutputDebugStringA(text.c_str()); }

}  // namespace

template <class Self, class Parent>
void usbtree::Node<Self, Parent>::ReleaseNode() {
  TnrUsb *usb = NodeUsb();
  handle_.Close(usb);
  if (usb) usb->NodeGone(this);
}

// ---------------------------------------------------------------------------
// Node handles

void TnrUsbNodeHandle::Open(TnrUsb *usb, const std::string &path, const char *errorPrefix,
                            const std::string &shownPath) {
  if (Valid() || !usb) return;
  if (!requested_) {
    usb->RequestOpen();  // may raise the driver's fatal error: then nothing is counted
    requested_ = true;
  }
  if (usb->IsHandleValid()) handle_ = GetUsbSystem().Open(path, GENERIC_READ | GENERIC_WRITE, 0);
  if (!Valid() && errorPrefix) DebugOut(errorPrefix + shownPath);
}

void TnrUsbNodeHandle::Close(TnrUsb *usb) {
  if (Valid()) GetUsbSystem().Close(handle_);
  handle_ = INVALID_HANDLE_VALUE;
  if (requested_) {
    requested_ = false;
    if (usb) usb->RequestClose();
  }
}

// ---------------------------------------------------------------------------
// Hosts

TnrUsbHost::TnrUsbHost(TnrUsb *usb) : Branch(usb) {}

TnrUsbHost::~TnrUsbHost() { ReleaseNode(); }

TnrUsbHub *TnrUsbHost::GetHub(int index) const { return ChildAt(index); }

int TnrUsbHost::Add() { return AddChild(); }

void TnrUsbHost::Clear() { children_.Clear(); }

void TnrUsbHost::ReloadHubs(HANDLE controller) {
  Clear();
  std::string root = GetKeyName(controller, IOCTL_USB_GET_ROOT_HUB_NAME);
  if (AddHubWithName(root, nullptr) >= 0) children_.Items(0)->displayName_ = "Root Hub";
}

int TnrUsbHost::AddHubWithName(const std::string &name, TnrUsbPort *parentPort) {
  if (parentPort && parentPort->GetHub() && parentPort->GetHub()->Depth() >= kMaxHubDepth)
    return -1;
  std::string path = "\\\\.\\" + name;
  UsbSystem &sys = GetUsbSystem();
  HANDLE h = sys.Open(path, GENERIC_WRITE, FILE_SHARE_WRITE);
  if (h == INVALID_HANDLE_VALUE) return -1;
  int index = Add();
  TnrUsbHub *hub = children_.Items(index);
  hub->devicePath_ = path;
  hub->parentPort_ = parentPort;
  hub->Update(h);
  sys.Close(h);
  return index;
}

void TnrUsbHost::Open() { OpenNode(devicePath_, "USB Host Open Error:", devicePath_); }

void TnrUsbHost::Close() { CloseNode(); }

void TnrUsbHost::SetActive(bool active) { SetNodeActive(active); }

// ---------------------------------------------------------------------------
// Hubs

TnrUsbHub::TnrUsbHub() = default;

TnrUsbHub::~TnrUsbHub() { ReleaseNode(); }

TnrUsbPort *TnrUsbHub::GetPort(int index) const { return ChildAt(index); }

int TnrUsbHub::Add() { return AddChild(); }

void TnrUsbHub::Clear() { children_.Clear(); }

TnrUsb *TnrUsbHub::GetUsb() const { return NodeUsb(); }

int TnrUsbHub::Depth() const {
  int depth = 0;
  for (const TnrUsbHub *hub = this; hub && hub->parentPort_; hub = hub->parentPort_->GetHub())
    ++depth;
  return depth;
}

const USB_NODE_INFORMATION &TnrUsbHub::GetNodeInfo() const {
  return *reinterpret_cast<const USB_NODE_INFORMATION *>(nodeInfo_.data());
}

void TnrUsbHub::Update(HANDLE hub) {
  Clear();
  nodeInfo_.fill(0);
  DWORD returned = 0;
  if (!GetUsbSystem().Control(hub, IOCTL_USB_GET_NODE_INFORMATION, nodeInfo_.data(),
                              kUsbNodeInfoSize, nodeInfo_.data(), kUsbNodeInfoSize, &returned) ||
      returned < sizeof(USB_NODE_INFORMATION)) {
    nodeInfo_.fill(0);  // no ports, and no values from half an answer
    return;
  }
  int ports = GetNodeInfo().u.HubInformation.HubDescriptor.bNumberOfPorts;
  for (int n = 1; n <= ports; ++n) {
    TnrUsbPort *port = children_.Items(Add());
    port->portNumber_ = n;
    port->EnumDevices(hub);
  }
}

int TnrUsbHub::GetMaxPower() const {
  return GetNodeInfo().u.HubInformation.HubDescriptor.bHubControlCurrent;
}

bool TnrUsbHub::GetIsSelfPower() const { return !GetNodeInfo().u.HubInformation.HubIsBusPowered; }

void TnrUsbHub::Open() { OpenNode(devicePath_, "USB Hub Open Error:", devicePath_); }

void TnrUsbHub::Close() { CloseNode(); }

void TnrUsbHub::SetActive(bool active) { SetNodeActive(active); }

// ---------------------------------------------------------------------------
// Ports

TnrUsbPort::TnrUsbPort() = default;

TnrUsbPort::~TnrUsbPort() { ReleaseNode(); }

TnrUsbDevice *TnrUsbPort::GetDevice(int index) const { return ChildAt(index); }

int TnrUsbPort::Add() { return AddChild(); }

void TnrUsbPort::Clear() { children_.Clear(); }

TnrUsb *TnrUsbPort::GetUsb() const { return NodeUsb(); }

const USB_NODE_CONNECTION_INFORMATION &TnrUsbPort::GetConnectionInfo() const {
  return *reinterpret_cast<const USB_NODE_CONNECTION_INFORMATION *>(connectionInfo_.data());
}

const USB_PIPE_INFO *TnrUsbPort::GetPipeInfo(int index) const {
  if (index < 0 || index >= pipeInfoCount_) return nullptr;
  return reinterpret_cast<const USB_PIPE_INFO *>(
      connectionInfo_.data() + sizeof(USB_NODE_CONNECTION_INFORMATION) +
      static_cast<std::size_t>(index) * sizeof(USB_PIPE_INFO));
}

void TnrUsbPort::EnumDevices(HANDLE hub) {
  Clear();
  pipeInfoCount_ = 0;
  // What named the device that was here goes with it: a port that is free
  // now (or does not answer) must not keep the old device's path, which the
  // port's Open and the diagnostic requests would still use.
  connectionName_.clear();
  devicePath_.clear();
  connectionInfo_.fill(0);
  ULONG index = static_cast<ULONG>(portNumber_);
  std::memcpy(connectionInfo_.data() + offsetof(USB_NODE_CONNECTION_INFORMATION, ConnectionIndex),
              &index, sizeof index);
  DWORD returned = 0;
  if (!GetUsbSystem().Control(hub, IOCTL_USB_GET_NODE_CONNECTION_INFORMATION,
                              connectionInfo_.data(), kUsbConnectionInfoSize,
                              connectionInfo_.data(), kUsbConnectionInfoSize, &returned) ||
      returned < sizeof(USB_NODE_CONNECTION_INFORMATION)) {
    portText_ = "Error";
    return;
  }
  const USB_NODE_CONNECTION_INFORMATION &info = GetConnectionInfo();
  std::size_t answered = returned < kUsbConnectionInfoSize ? returned : kUsbConnectionInfoSize;
  std::size_t room = (answered - sizeof info) / sizeof(USB_PIPE_INFO);
  pipeInfoCount_ = static_cast<int>(info.NumberOfOpenPipes < room ? info.NumberOfOpenPipes : room);

  portText_ = "Port #" + std::to_string(portNumber_) + " ";
  if (info.ConnectionStatus == NoDeviceConnected) {
    portText_ += "(free)";
    return;
  }
  TnrUsbHub *hubNode = GetHub();
  TnrUsbHost *host = hubNode ? hubNode->GetHost() : nullptr;
  std::string hubPath = hubNode ? hubNode->GetDevicePath() : std::string();
  if (info.DeviceIsHub) {
    connectionName_ = GetConnectionKeyName(hub, IOCTL_USB_GET_NODE_CONNECTION_NAME, index);
    devicePath_ = hubPath + "\\" + connectionName_;
    if (host) host->AddHubWithName(connectionName_, this);
    portText_ += "(hub connected: ";
  } else {
    TnrUsbDevice *device = children_.Items(Add());
    connectionName_ =
        GetConnectionKeyName(hub, IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, index);
    devicePath_ = hubPath + "\\" + connectionName_;
    if (!connectionName_.empty()) device->description_ = GetDescription(connectionName_);
    device->Update();
    portText_ += "(device connected: ";
  }
  std::string key = GetConnectionKeyName(hub, IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, index);
  if (!key.empty())
    portText_ += GetDescription(key) + ")";
  else
    portText_ += " unknown)";
  portText_ += " =" + std::to_string(info.NumberOfOpenPipes);
}

void TnrUsbPort::Open() {
  const std::string &path =
      devicePath_.empty() && GetHub() ? GetHub()->GetDevicePath() : devicePath_;
  OpenNode(path, "USB Port Open Error:", devicePath_);
}

void TnrUsbPort::Close() { CloseNode(); }

void TnrUsbPort::SetActive(bool active) { SetNodeActive(active); }

void TnrUsbPort::TestPort() {
  TnrUsb *usb = GetUsb();
  if (usb && GetActive()) UsbCyclePort(usb->GetHandle(), GetHandle());
}

// ---------------------------------------------------------------------------
// Devices

TnrUsbDevice::TnrUsbDevice() = default;

TnrUsbDevice::~TnrUsbDevice() { ReleaseNode(); }

TnrUsbPipe *TnrUsbDevice::GetPipe(int index) const { return ChildAt(index); }

int TnrUsbDevice::Add() { return AddChild(); }

void TnrUsbDevice::Clear() {
  descriptorRequest_.clear();
  children_.Clear();
}

TnrUsb *TnrUsbDevice::GetUsb() const { return NodeUsb(); }

const USB_CONFIGURATION_DESCRIPTOR *TnrUsbDevice::GetConfigDescriptor() const {
  if (descriptorRequest_.size() <
      kUsbDescriptorRequestHeader + sizeof(USB_CONFIGURATION_DESCRIPTOR))
    return nullptr;
  return reinterpret_cast<const USB_CONFIGURATION_DESCRIPTOR *>(descriptorRequest_.data() +
                                                                kUsbDescriptorRequestHeader);
}

void TnrUsbDevice::Update() {
  Clear();
  TnrUsbPort *port = GetPort();
  if (!port) return;
  const USB_NODE_CONNECTION_INFORMATION &info = port->GetConnectionInfo();
  for (int i = 0; i < port->GetPipeInfoCount(); ++i) {
    TnrUsbPipe *pipe = children_.Items(Add());
    pipe->pipePath_ = port->GetDevicePath() + Format("\\PIPE%.2u", {i});
    pipe->TryPipe();
    pipe->pipeIndex_ = i;
    pipe->pipeInfo_ = port->GetPipeInfo(i);
  }

  USHORT bcd = info.DeviceDescriptor.bcdUSB;
  versionLow_ = static_cast<std::uint8_t>(bcd & 0x0F);
  versionHigh_ = static_cast<std::uint8_t>(bcd >> 8);
  // Before USB 2.0 the byte is a low-speed flag; from 2.0 on it is read as
  // the speed itself. A value past the fastest speed known here (a newer
  // speed, or a malformed answer) is shown as that speed.
  std::uint8_t speed = info.LowSpeed;
  if (bcd < 0x0200)
    speed_ = speed ? usLow : usFull;
  else
    speed_ = speed > usHigh ? usHigh : static_cast<TnrUSBSpeed>(speed);
  productId_ = info.DeviceDescriptor.idProduct;
  vendorId_ = info.DeviceDescriptor.idVendor;
  maxPacketSize0_ = info.DeviceDescriptor.bMaxPacketSize0;

  // The request as it would be sent, kept as it is when the hub does not
  // open: a header that names the port and the descriptor, zero data bytes.
  descriptorRequest_ = ConfigDescriptorRequest(static_cast<ULONG>(port->GetPortNumber()), 0);
  TnrUsbHub *hub = port->GetHub();
  if (!hub) return;
  UsbSystem &sys = GetUsbSystem();
  HANDLE h = sys.Open(hub->GetDevicePath(), GENERIC_READ | GENERIC_WRITE, 0);
  if (h == INVALID_HANDLE_VALUE) return;
  descriptorRequest_ = ReadConfigDescriptorRequest(h, static_cast<ULONG>(port->GetPortNumber()), 0);
  sys.Close(h);
}

int TnrUsbDevice::GetMaxPower() const {
  const USB_CONFIGURATION_DESCRIPTOR *d = GetConfigDescriptor();
  return d && (d->bmAttributes & 0x80) ? d->MaxPower * 2 : 0;
}

bool TnrUsbDevice::GetIsSelfPower() const {
  const USB_CONFIGURATION_DESCRIPTOR *d = GetConfigDescriptor();
  return d && (d->bmAttributes & 0x40);
}

bool TnrUsbDevice::GetIsWakeUp() const {
  const USB_CONFIGURATION_DESCRIPTOR *d = GetConfigDescriptor();
  return d && (d->bmAttributes & 0x20);
}

bool TnrUsbDevice::GetIsBusPower() const {
  const USB_CONFIGURATION_DESCRIPTOR *d = GetConfigDescriptor();
  return d && (d->bmAttributes & 0x80);
}

void TnrUsbDevice::Open() {
  OpenNode(GetPort() ? GetPort()->GetDevicePath() : std::string(), nullptr, {});
}

void TnrUsbDevice::Close() { CloseNode(); }

void TnrUsbDevice::SetActive(bool active) { SetNodeActive(active); }

// ---------------------------------------------------------------------------
// Pipes

TnrUsbPipe::TnrUsbPipe(TnrUsbDevice *device) : Node(device) {}

TnrUsbPipe::~TnrUsbPipe() { ReleaseNode(); }

TnrUsb *TnrUsbPipe::GetUsb() const { return NodeUsb(); }

int TnrUsbPipe::GetMaxPacketSize() const {
  return pipeInfo_ ? pipeInfo_->EndpointDescriptor.wMaxPacketSize : 0;
}

TnrUsbTransferType TnrUsbPipe::GetTransferType() const {
  if (!pipeInfo_) return uttUnknown;
  return static_cast<TnrUsbTransferType>((pipeInfo_->EndpointDescriptor.bmAttributes & 3) + 1);
}

bool TnrUsbPipe::GetDirectIn() const {
  return pipeInfo_ && (pipeInfo_->EndpointDescriptor.bEndpointAddress & 0x80);
}

bool TnrUsbPipe::GetDirectOut() const {
  return pipeInfo_ && !(pipeInfo_->EndpointDescriptor.bEndpointAddress & 0x80);
}

void TnrUsbPipe::Open() {
  const TnrUsbPort *port = GetDevice() ? GetDevice()->GetPort() : nullptr;
  OpenNode(port ? port->GetDevicePath() : std::string(), nullptr, {});
}

void TnrUsbPipe::Close() { CloseNode(); }

void TnrUsbPipe::SetActive(bool active) { SetNodeActive(active); }

bool TnrUsbPipe::TryPipe() {
  UsbSystem &sys = GetUsbSystem();
  HANDLE h = sys.Open(pipePath_, GENERIC_READ | GENERIC_WRITE, 0);
  if (h == INVALID_HANDLE_VALUE) return false;
  sys.Close(h);
  return true;
}

void TnrUsbPipe::TestPipe() {
  TnrUsb *usb = GetUsb();
  if (usb && GetActive()) UsbCyclePort(usb->GetHandle(), GetHandle());
}
