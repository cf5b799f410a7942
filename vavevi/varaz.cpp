#include "varaz.h"

#include <cstring>
#include <tuple>

#include "nrwin32.h"
#include "rtformat.h"

const std::array<const char *, 3> strUSBSpeeds = {"Low", "Full", "High"};
const std::array<const char *, 5> strUSBTransferType = {"Unknown", "Control", "Isochronous", "Bulk",
                                                        "Interrupt"};

namespace {

TComponentClassRegistrar<TnrUsb> g_registrar("TnrUsb");

// USB allows five hubs in a chain below the root hub. A deeper chain is a
// malformed answer (a hub that names itself or its parent as the hub on one
// of its ports would otherwise be enumerated without end).
constexpr int kMaxHubDepth = 5;

void DebugOut(const std::string &text) { OutputDebugStringA(text.c_str()); }

template <class T>
T *ItemOf(const TObjectList<T> &list, int index) {
  return index >= 0 && index < list.Count() ? list.Items(index) : nullptr;
}

template <class T>
T ReadAt(const std::uint8_t *bytes, std::size_t offset) {
  T value;
  std::memcpy(&value, bytes + offset, sizeof value);
  return value;
}

TStringList::Slot SlotOf(TObject *node) { return reinterpret_cast<TStringList::Slot>(node); }
TObject *NodeOf(TStringList::Slot slot) { return reinterpret_cast<TObject *>(slot); }

// Where a selected device sits and what it is, to find it again in a
// rebuilt tree.
struct DeviceIdentity {
  std::string hostPath, hubPath;
  int port = 0;
  std::uint16_t vendor = 0, product = 0;
  std::string description;
  auto Key() const { return std::tie(hostPath, hubPath, port, vendor, product, description); }
};

DeviceIdentity IdentityOf(const TnrUsbDevice &d) {
  DeviceIdentity id;
  const TnrUsbPort *port = d.GetPort();
  const TnrUsbHub *hub = port ? port->GetHub() : nullptr;
  const TnrUsbHost *host = hub ? hub->GetHost() : nullptr;
  id.hostPath = host ? host->GetDevicePath() : std::string();
  id.hubPath = hub ? hub->GetDevicePath() : std::string();
  id.port = port ? port->GetPortNumber() : 0;
  id.vendor = d.GetVendorId();
  id.product = d.GetProductId();
  id.description = d.GetDescription();
  return id;
}

}  // namespace

// ---------------------------------------------------------------------------
// The driver and the port-cycle request

TnrUsbDriver::TnrUsbDriver() {
  SetServiceName("varaz");
  SetResourceName("nrusbbin");
}

HANDLE TnrUsbDriver::Open() { return TnrDriverBase::Open(); }

void TnrUsbDriver::Close() { TnrDriverBase::Close(); }

void UsbCyclePort(HANDLE usb, HANDLE node) {
  auto usbValue = static_cast<std::int64_t>(reinterpret_cast<std::uintptr_t>(usb));
  auto nodeValue = static_cast<std::int64_t>(reinterpret_cast<std::uintptr_t>(node));
  DebugOut(Format("hUSB = %X hPipe = %X", {usbValue, nodeValue}));
  std::array<std::uint8_t, kVarazCycleRecordSize> record{};
  auto handle32 = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(node));
  std::uint32_t one = 1;
  std::memcpy(record.data(), &handle32, 4);
  std::memcpy(record.data() + 4, &one, 4);
  DWORD returned = 0;
  DeviceIoControl(usb, kVarazCyclePort, record.data(), kVarazCycleRecordSize, nullptr, 0, &returned,
                  nullptr);
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

TnrUsbHost::TnrUsbHost(TnrUsb *usb) : usb_(usb) {}

TnrUsbHost::~TnrUsbHost() {
  Clear();
  handle_.Close(usb_);
  if (usb_) usb_->NodeGone(this);
}

TnrUsbHub *TnrUsbHost::GetHub(int index) const { return ItemOf(hubs_, index); }

int TnrUsbHost::Add() {
  auto hub = std::make_unique<TnrUsbHub>();
  hub->host_ = this;
  return hubs_.Add(std::move(hub));
}

void TnrUsbHost::Clear() { hubs_.Clear(); }

void TnrUsbHost::ReloadHubs(HANDLE controller) {
  Clear();
  std::string root = GetKeyName(controller, IOCTL_USB_GET_ROOT_HUB_NAME);
  if (AddHubWithName(root, nullptr) >= 0) hubs_.Items(0)->displayName_ = "Root Hub";
}

int TnrUsbHost::AddHubWithName(const std::string &name, TnrUsbPort *parentPort) {
  if (parentPort && parentPort->GetHub() && parentPort->GetHub()->Depth() >= kMaxHubDepth)
    return -1;
  std::string path = "\\\\.\\" + name;
  UsbSystem &sys = GetUsbSystem();
  HANDLE h = sys.Open(path, GENERIC_WRITE, FILE_SHARE_WRITE);
  if (h == INVALID_HANDLE_VALUE) return -1;
  int index = Add();
  TnrUsbHub *hub = hubs_.Items(index);
  hub->devicePath_ = path;
  hub->parentPort_ = parentPort;
  hub->Update(h);
  sys.Close(h);
  return index;
}

void TnrUsbHost::Open() { handle_.Open(usb_, devicePath_, "USB Host Open Error:", devicePath_); }

void TnrUsbHost::Close() { handle_.Close(usb_); }

void TnrUsbHost::SetActive(bool active) {
  if (active == GetActive()) return;
  active ? Open() : Close();
}

// ---------------------------------------------------------------------------
// Hubs

TnrUsbHub::TnrUsbHub() = default;

TnrUsbHub::~TnrUsbHub() {
  Clear();
  TnrUsb *usb = GetUsb();
  handle_.Close(usb);
  if (usb) usb->NodeGone(this);
}

TnrUsbPort *TnrUsbHub::GetPort(int index) const { return ItemOf(ports_, index); }

int TnrUsbHub::Add() {
  auto port = std::make_unique<TnrUsbPort>();
  port->hub_ = this;
  return ports_.Add(std::move(port));
}

void TnrUsbHub::Clear() { ports_.Clear(); }

TnrUsb *TnrUsbHub::GetUsb() const { return host_ ? host_->GetUsb() : nullptr; }

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
    TnrUsbPort *port = ports_.Items(Add());
    port->portNumber_ = n;
    port->EnumDevices(hub);
  }
}

int TnrUsbHub::GetMaxPower() const {
  return GetNodeInfo().u.HubInformation.HubDescriptor.bHubControlCurrent;
}

bool TnrUsbHub::GetIsSelfPower() const { return !GetNodeInfo().u.HubInformation.HubIsBusPowered; }

void TnrUsbHub::Open() { handle_.Open(GetUsb(), devicePath_, "USB Hub Open Error:", devicePath_); }

void TnrUsbHub::Close() { handle_.Close(GetUsb()); }

void TnrUsbHub::SetActive(bool active) {
  if (active == GetActive()) return;
  active ? Open() : Close();
}

// ---------------------------------------------------------------------------
// Ports

TnrUsbPort::TnrUsbPort() = default;

TnrUsbPort::~TnrUsbPort() {
  Clear();
  TnrUsb *usb = GetUsb();
  handle_.Close(usb);
  if (usb) usb->NodeGone(this);
}

TnrUsbDevice *TnrUsbPort::GetDevice(int index) const { return ItemOf(devices_, index); }

int TnrUsbPort::Add() {
  auto device = std::make_unique<TnrUsbDevice>();
  device->port_ = this;
  return devices_.Add(std::move(device));
}

void TnrUsbPort::Clear() { devices_.Clear(); }

TnrUsb *TnrUsbPort::GetUsb() const { return hub_ ? hub_->GetUsb() : nullptr; }

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
  TnrUsbHost *host = hub_ ? hub_->GetHost() : nullptr;
  std::string hubPath = hub_ ? hub_->GetDevicePath() : std::string();
  if (info.DeviceIsHub) {
    connectionName_ = GetConnectionKeyName(hub, IOCTL_USB_GET_NODE_CONNECTION_NAME, index);
    devicePath_ = hubPath + "\\" + connectionName_;
    if (host) host->AddHubWithName(connectionName_, this);
    portText_ += "(hub connected: ";
  } else {
    TnrUsbDevice *device = devices_.Items(Add());
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
  const std::string &path = devicePath_.empty() && hub_ ? hub_->GetDevicePath() : devicePath_;
  handle_.Open(GetUsb(), path, "USB Port Open Error:", devicePath_);
}

void TnrUsbPort::Close() { handle_.Close(GetUsb()); }

void TnrUsbPort::SetActive(bool active) {
  if (active == GetActive()) return;
  active ? Open() : Close();
}

void TnrUsbPort::TestPort() {
  TnrUsb *usb = GetUsb();
  if (usb && GetActive()) UsbCyclePort(usb->GetHandle(), GetHandle());
}

// ---------------------------------------------------------------------------
// Devices

TnrUsbDevice::TnrUsbDevice() = default;

TnrUsbDevice::~TnrUsbDevice() {
  Clear();
  TnrUsb *usb = GetUsb();
  handle_.Close(usb);
  if (usb) usb->NodeGone(this);
}

TnrUsbPipe *TnrUsbDevice::GetPipe(int index) const { return ItemOf(pipes_, index); }

int TnrUsbDevice::Add() { return pipes_.Add(std::make_unique<TnrUsbPipe>(this)); }

void TnrUsbDevice::Clear() {
  descriptorRequest_.clear();
  pipes_.Clear();
}

TnrUsb *TnrUsbDevice::GetUsb() const { return port_ ? port_->GetUsb() : nullptr; }

const USB_CONFIGURATION_DESCRIPTOR *TnrUsbDevice::GetConfigDescriptor() const {
  if (descriptorRequest_.size() <
      kUsbDescriptorRequestHeader + sizeof(USB_CONFIGURATION_DESCRIPTOR))
    return nullptr;
  return reinterpret_cast<const USB_CONFIGURATION_DESCRIPTOR *>(descriptorRequest_.data() +
                                                                kUsbDescriptorRequestHeader);
}

void TnrUsbDevice::Update() {
  Clear();
  if (!port_) return;
  const USB_NODE_CONNECTION_INFORMATION &info = port_->GetConnectionInfo();
  for (int i = 0; i < port_->GetPipeInfoCount(); ++i) {
    TnrUsbPipe *pipe = pipes_.Items(Add());
    pipe->pipePath_ = port_->GetDevicePath() + Format("\\PIPE%.2u", {i});
    pipe->TryPipe();
    pipe->pipeIndex_ = i;
    pipe->pipeInfo_ = port_->GetPipeInfo(i);
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
  descriptorRequest_ = ConfigDescriptorRequest(static_cast<ULONG>(port_->GetPortNumber()), 0);
  TnrUsbHub *hub = port_->GetHub();
  if (!hub) return;
  UsbSystem &sys = GetUsbSystem();
  HANDLE h = sys.Open(hub->GetDevicePath(), GENERIC_READ | GENERIC_WRITE, 0);
  if (h == INVALID_HANDLE_VALUE) return;
  descriptorRequest_ =
      ReadConfigDescriptorRequest(h, static_cast<ULONG>(port_->GetPortNumber()), 0);
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
  handle_.Open(GetUsb(), port_ ? port_->GetDevicePath() : std::string(), nullptr, {});
}

void TnrUsbDevice::Close() { handle_.Close(GetUsb()); }

void TnrUsbDevice::SetActive(bool active) {
  if (active == GetActive()) return;
  active ? Open() : Close();
}

// ---------------------------------------------------------------------------
// Pipes

TnrUsbPipe::TnrUsbPipe(TnrUsbDevice *device) : device_(device) {}

TnrUsbPipe::~TnrUsbPipe() {
  TnrUsb *usb = GetUsb();
  handle_.Close(usb);
  if (usb) usb->NodeGone(this);
}

TnrUsb *TnrUsbPipe::GetUsb() const { return device_ ? device_->GetUsb() : nullptr; }

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
  const TnrUsbPort *port = device_ ? device_->GetPort() : nullptr;
  handle_.Open(GetUsb(), port ? port->GetDevicePath() : std::string(), nullptr, {});
}

void TnrUsbPipe::Close() { handle_.Close(GetUsb()); }

void TnrUsbPipe::SetActive(bool active) {
  if (active == GetActive()) return;
  active ? Open() : Close();
}

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

// ---------------------------------------------------------------------------
// The component

TnrUsb::TnrUsb(TComponent *owner) : TnrBaseIO(owner), driver_(std::make_unique<TnrUsbDriver>()) {}

TnrUsb::~TnrUsb() {
  // The nodes first: each gives back its open request, which may close the
  // component (and with it the driver) on its own.
  Clear();
  if (IsHandleValid()) Close();
  driver_.reset();
}

const TPropertyTable &TnrUsb::Published() const {
  static const TPropertyTable table = TPropertyTable(TComponent::Published())
                                          .Add<&TnrUsb::SetOptions>("Options")
                                          .Add<&TnrBaseIO::SetDeviceIndex>("DeviceIndex")
                                          .Add<&TnrBaseIO::SetDataProcessor>("DataProcessor")
                                          .Add<&TnrBaseIO::SetLog>("Log")
                                          .Add<&TnrBaseIO::SetOnFatalError>("OnFatalError");
  return table;
}

TnrUsbHost *TnrUsb::GetHost(int index) const { return ItemOf(hosts_, index); }

int TnrUsb::AddHost() { return hosts_.Add(std::make_unique<TnrUsbHost>(this)); }

void TnrUsb::Clear() {
  ClearDeviceList();
  usbDevice_ = nullptr;
  hosts_.Clear();
}

void TnrUsb::NodeGone(TObject *node) {
  if (usbDevice_ == node) usbDevice_ = nullptr;
  TStringList &list = DeviceList();
  for (int i = 0; i < list.Count(); ++i) {
    if (NodeOf(list.Objects(i)) == node) {
      // The list describes a tree that is going: none of it may be used.
      ClearDeviceList();
      return;
    }
  }
}

HANDLE TnrUsb::OpenHostController(int index) {
  return GetUsbSystem().Open(HostControllerPath(index), GENERIC_READ | GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE);
}

void TnrUsb::ReloadHosts() {
  bool reselect = usbDevice_ != nullptr;
  DeviceIdentity selected = reselect ? IdentityOf(*usbDevice_) : DeviceIdentity();
  Clear();
  UsbSystem &sys = GetUsbSystem();
  for (int n = 0; n < MaxNumberUsbPorts; ++n) {
    HANDLE controller = OpenHostController(n);
    if (controller == INVALID_HANDLE_VALUE) continue;
    TnrUsbHost *host = hosts_.Items(AddHost());
    host->devicePath_ = HostControllerPath(n);
    host->driverKey_ = GetKeyName(controller, IOCTL_GET_HCD_DRIVERKEY_NAME);
    host->description_ = GetDescription(host->driverKey_);
    host->ReloadHubs(controller);
    sys.Close(controller);
  }
  if (!reselect) return;
  for (int h = 0; TnrUsbHost *host = GetHost(h); ++h)
    for (int b = 0; TnrUsbHub *hub = host->GetHub(b); ++b)
      for (int p = 0; TnrUsbPort *port = hub->GetPort(p); ++p)
        if (TnrUsbDevice *d = port->GetDevice(0); d && IdentityOf(*d).Key() == selected.Key()) {
          usbDevice_ = d;
          return;
        }
  deviceIndex_ = -1;  // the device has gone: nothing is selected
}

void TnrUsb::Update() {
  ClearDeviceList();
  ReloadHosts();
  GetDeviceList(nullptr);
  TnrBaseIO::Update();
}

void TnrUsb::GetDeviceList(TStringList *list) {
  ClearDeviceList();
  bool classes = options_.Contains(uoShowClass);
  std::string hostPrefix = classes ? "USB Host Controller: " : "";
  std::string hubPrefix = classes ? "USB Hub: " : "";
  std::string portPrefix = classes ? "USB Port: " : "";
  std::string devicePrefix = classes ? "USB Device: " : "";
  TStringList &entries = DeviceList();
  for (int h = 0; TnrUsbHost *host = GetHost(h); ++h) {
    if (options_.Contains(uoShowHost))
      entries.AddObject(hostPrefix + host->GetDescription(), SlotOf(host));
    for (int b = 0; TnrUsbHub *hub = host->GetHub(b); ++b) {
      if (options_.Contains(uoShowHub))
        entries.AddObject(hubPrefix + hub->GetDisplayName(), SlotOf(hub));
      for (int p = 0; TnrUsbPort *port = hub->GetPort(p); ++p) {
        if (options_.Contains(uoShowPort))
          entries.AddObject(portPrefix + port->GetPortText(), SlotOf(port));
        if (TnrUsbDevice *device = port->GetDevice(0))
          entries.AddObject(devicePrefix + device->GetDescription(), SlotOf(device));
      }
    }
  }
  TnrBaseIO::GetDeviceList(list);
}

void TnrUsb::SetOptions(TnrUsbOptions options) {
  options_ = options;
  Update();
  DoNotify(nrNotifyDeviceChanged);
}

void TnrUsb::SetDeviceIndex(int index) {
  deviceIndex_ = -1;
  TStringList &entries = DeviceList();
  if (index >= 0 && index < entries.Count()) {
    usbDevice_ = dynamic_cast<TnrUsbDevice *>(NodeOf(entries.Objects(index)));
    deviceIndex_ = index;
  }
  TnrBaseIO::SetDeviceIndex(index);
}

int TnrUsb::GetDeviceIndex() {
  if (!usbDevice_) return deviceIndex_;
  TStringList &entries = DeviceList();
  for (int i = 0; i < entries.Count(); ++i)
    if (NodeOf(entries.Objects(i)) == usbDevice_) return i;
  return -1;
}

void TnrUsb::Open() {
  DebugOut("Open ...");
  TnrBaseIO::Open();
}

void TnrUsb::Close() {
  DebugOut("Closing ...");
  driver_->Close();
  TnrBaseIO::Close();
}

HANDLE TnrUsb::RequestDeviceHandle() { return driver_->Open(); }

void TnrUsb::RequestOpen() {
  if (openCount_ == 0) Open();
  ++openCount_;
}

void TnrUsb::RequestClose() {
  if (openCount_ <= 0) return;
  if (--openCount_ == 0) Close();
}

bool TnrUsb::ReadChar(char &ch) { return ReadSync(GetHandle(), &ch, 1); }

bool TnrUsb::WriteChar(char ch) { return WriteSync(GetHandle(), &ch, 1); }

void TnrUsb::SendCommand() {
  TnrUsbHost *host = GetHost(0);
  TnrUsbHub *hub = host ? host->GetHub(0) : nullptr;
  TnrUsbPort *port = hub ? hub->GetPort(0) : nullptr;
  if (!port || port->GetDevicePath().size() <= 3) {
    // A free port has no path: there is no device to name.
    DebugOut("UM: no port");
    return;
  }
  std::string name = "\\DosDevices" + port->GetDevicePath().substr(3);
  std::vector<char> input(name.begin(), name.end());
  input.push_back('\0');
  std::array<char, 128> output{};
  auto send = [&](DWORD code) {
    DWORD returned = 0;
    if (DeviceIoControl(GetHandle(), code, input.data(), static_cast<DWORD>(input.size()),
                        output.data(), static_cast<DWORD>(output.size()), &returned, nullptr)) {
      DebugOut("UM: OK");
      DebugOut(std::string(output.data(), strnlen(output.data(), output.size())));
    } else {
      DebugOut("UM: Error");
    }
  };
  send(kVarazOpenByName);
  send(kVarazCyclePort);
}
