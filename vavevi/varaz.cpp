// The USB component: its tree's hosts, the device list made from the tree,
// the selection, the nested open and the driver's diagnostic requests.
#include "varaz.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "nrwin32.h"

namespace {

TComponentClassRegistrar<TnrUsb> g_registrar("TnrUsb");

void DebugOut(const std::string &text) { OutputDebugStringA(text.c_str()); }

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

TnrUsbHost *TnrUsb::GetHost(int index) const {
  return index >= 0 && index < hosts_.Count() ? hosts_.Items(index) : nullptr;
}

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
