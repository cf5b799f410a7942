#include "fake_usb_stack.h"

#include <cstring>

FakeUsbStack *FakeUsbStack::current = nullptr;

namespace {

const HMODULE kFakeCfgMgr = reinterpret_cast<HMODULE>(static_cast<std::uintptr_t>(0x7B000000));

CONFIGRET WINAPI FakeLocate(PDEVINST node, DEVINSTID_A, ULONG) {
  return FakeUsbStack::current->Locate(node);
}
CONFIGRET WINAPI FakeProperty(DEVINST node, ULONG property, PULONG, PVOID buffer, PULONG length,
                              ULONG) {
  return FakeUsbStack::current->Property(node, property, buffer, length);
}
CONFIGRET WINAPI FakeChild(PDEVINST out, DEVINST node, ULONG) {
  return FakeUsbStack::current->Relative(out, node, 0);
}
CONFIGRET WINAPI FakeSibling(PDEVINST out, DEVINST node, ULONG) {
  return FakeUsbStack::current->Relative(out, node, 1);
}
CONFIGRET WINAPI FakeParent(PDEVINST out, DEVINST node, ULONG) {
  return FakeUsbStack::current->Relative(out, node, 2);
}

template <class F>
FARPROC AsProc(F f) {
  return reinterpret_cast<FARPROC>(reinterpret_cast<void *>(f));
}

std::wstring Widen(const std::string &s) { return std::wstring(s.begin(), s.end()); }

void Put(void *out, std::size_t offset, const void *data, std::size_t size, DWORD outSize) {
  if (offset >= outSize) return;
  std::size_t n = size < outSize - offset ? size : outSize - offset;
  std::memcpy(static_cast<std::uint8_t *>(out) + offset, data, n);
}

}  // namespace

FakeUsbStack::FakeUsbStack() {
  devNodes.push_back({"", "root", true, {}, -1});
  current = this;
}

FakeUsbStack::~FakeUsbStack() {
  if (current == this) current = nullptr;
}

int FakeUsbStack::AddDevNode(int parent, std::string driverKey, std::string description,
                             bool descriptionReadable) {
  devNodes.push_back(
      {std::move(driverKey), std::move(description), descriptionReadable, {}, parent});
  int index = static_cast<int>(devNodes.size()) - 1;
  devNodes[static_cast<std::size_t>(parent)].children.push_back(index);
  return index;
}

std::vector<FakeCall> FakeUsbStack::CallsWith(DWORD code) const {
  std::vector<FakeCall> out;
  for (const auto &c : calls)
    if (c.code == code) out.push_back(c);
  return out;
}

HANDLE FakeUsbStack::Open(const std::string &path, DWORD, DWORD share) {
  opens.push_back(path);
  if (failOpens.count(path) || path.rfind("\\\\.\\", 0) != 0) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  std::string rest = path.substr(4);
  Handle h;
  h.kind = Kind::Node;
  h.path = path;
  if (rest.rfind("HCD", 0) == 0) {
    int index = -1;
    try {
      std::size_t used = 0;
      index = std::stoi(rest.substr(3), &used);
      if (used != rest.size() - 3) index = -1;
    } catch (...) {
    }
    if (!controllers.count(index)) {
      SetLastError(ERROR_FILE_NOT_FOUND);
      return INVALID_HANDLE_VALUE;
    }
    h.kind = Kind::Controller;
    h.controller = index;
  } else {
    std::string hubName = rest.substr(0, rest.find('\\'));
    auto hub = hubs.find(Widen(hubName));
    if (hub == hubs.end() || hub->second.failOpen ||
        (hub->second.failExclusiveOpen && share == 0)) {
      SetLastError(ERROR_FILE_NOT_FOUND);
      return INVALID_HANDLE_VALUE;
    }
    h.hub = hub->first;
    if (hubName == rest) h.kind = Kind::Hub;
  }
  HANDLE handle = reinterpret_cast<HANDLE>(nextHandle_);
  nextHandle_ += 4;
  handles_[handle] = h;
  return handle;
}

BOOL FakeUsbStack::Close(HANDLE handle) {
  if (!handles_.erase(handle)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

BOOL FakeUsbStack::Control(HANDLE device, DWORD code, void *in, DWORD inSize, void *out,
                           DWORD outSize, DWORD *returned) {
  *returned = 0;
  auto it = handles_.find(device);
  if (it == handles_.end()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  const Handle &h = it->second;
  FakeCall call{h.path, code, inSize, outSize, {}};
  if (in && inSize) {
    auto *bytes = static_cast<const std::uint8_t *>(in);
    call.input.assign(bytes, bytes + inSize);
  }
  calls.push_back(call);
  SetLastError(ERROR_INVALID_FUNCTION);

  if (h.kind == Kind::Controller) {
    const FakeController &c = controllers.at(h.controller);
    if (code == IOCTL_GET_HCD_DRIVERKEY_NAME)
      return Name(h, code, c.driverKey, false, out, outSize, returned);
    if (code == IOCTL_USB_GET_ROOT_HUB_NAME)
      return Name(h, code, c.rootHub, false, out, outSize, returned);
    return FALSE;
  }
  if (h.kind != Kind::Hub) return FALSE;
  const FakeHub &hub = hubs.at(h.hub);
  switch (code) {
    case IOCTL_USB_GET_NODE_INFORMATION:
      return NodeInfo(hub, out, outSize, returned);
    case IOCTL_USB_GET_NODE_CONNECTION_INFORMATION:
      return Connection(hub, out, outSize, returned);
    case IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION:
      return Descriptor(hub, out, outSize, returned);
    case IOCTL_USB_GET_NODE_CONNECTION_NAME:
    case IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME: {
      const FakePort *port = PortOf(hub, in, inSize);
      if (!port || port->status == NoDeviceConnected) return FALSE;
      if (code == IOCTL_USB_GET_NODE_CONNECTION_NAME && !port->isHub) return FALSE;
      const std::wstring &name =
          code == IOCTL_USB_GET_NODE_CONNECTION_NAME ? port->hubName : port->driverKey;
      if (code == IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME && name.empty()) return FALSE;
      return Name(h, code, name, true, out, outSize, returned);
    }
    default:
      return FALSE;
  }
}

// The name records: [ConnectionIndex] ActualLength, then the zero-terminated
// UTF-16 name. A buffer too small for the whole record gets the size report
// only, as the USB stack answers a probe.
BOOL FakeUsbStack::Name(const Handle &h, DWORD code, const std::wstring &name, bool withIndex,
                        void *out, DWORD outSize, DWORD *returned) {
  std::size_t header = withIndex ? 8 : 4;
  ULONG actual = static_cast<ULONG>(header + (name.size() + 1) * sizeof(WCHAR));
  FakeNameFault fault;
  if (auto f = nameFaults.find({h.path, code}); f != nameFaults.end()) fault = f->second;
  bool probe = outSize < actual;
  if (outSize < header + 2) return FALSE;
  if ((probe && fault.failProbe) || (!probe && fault.failSecond)) return FALSE;
  ULONG reported = fault.reportActualLength ? fault.actualLength : actual;
  Put(out, header - 4, &reported, 4, outSize);
  if (probe) {
    *returned = static_cast<DWORD>(header + 2);
    return TRUE;
  }
  std::vector<WCHAR> text(name.begin(), name.end());
  text.push_back(0);
  Put(out, header, text.data(), text.size() * sizeof(WCHAR), outSize);
  *returned = fault.secondReturned ? fault.secondReturned : actual;
  return TRUE;
}

BOOL FakeUsbStack::NodeInfo(const FakeHub &hub, void *out, DWORD outSize, DWORD *returned) {
  if (hub.failNodeInfo || outSize < sizeof(USB_NODE_INFORMATION)) return FALSE;
  USB_NODE_INFORMATION info{};
  info.NodeType = UsbHub;
  info.u.HubInformation.HubDescriptor.bDescriptorLength = 9;
  info.u.HubInformation.HubDescriptor.bDescriptorType = 0x29;
  info.u.HubInformation.HubDescriptor.bNumberOfPorts = static_cast<UCHAR>(hub.ports.size());
  info.u.HubInformation.HubDescriptor.bHubControlCurrent = hub.controlCurrent;
  info.u.HubInformation.HubIsBusPowered = hub.busPowered;
  DWORD n = hub.nodeInfoReturned ? hub.nodeInfoReturned : sizeof info;
  Put(out, 0, &info, n < sizeof info ? n : sizeof info, outSize);
  *returned = n;
  return TRUE;
}

const FakePort *FakeUsbStack::PortOf(const FakeHub &hub, const void *in, DWORD inSize) const {
  if (!in || inSize < 4) return nullptr;
  ULONG index = 0;
  std::memcpy(&index, in, 4);
  if (index < 1 || index > hub.ports.size()) return nullptr;
  return &hub.ports[index - 1];
}

BOOL FakeUsbStack::Connection(const FakeHub &hub, void *out, DWORD outSize, DWORD *returned) {
  const FakePort *port = PortOf(hub, out, outSize);
  if (!port || port->failConnection || outSize < sizeof(USB_NODE_CONNECTION_INFORMATION))
    return FALSE;
  USB_NODE_CONNECTION_INFORMATION info{};
  std::memcpy(&info.ConnectionIndex, out, 4);
  info.ConnectionStatus = port->status;
  if (port->status != NoDeviceConnected) {
    info.DeviceDescriptor.bLength = 18;
    info.DeviceDescriptor.bDescriptorType = 1;
    info.DeviceDescriptor.bcdUSB = port->bcdUSB;
    info.DeviceDescriptor.bMaxPacketSize0 = port->maxPacket0;
    info.DeviceDescriptor.idVendor = port->vendor;
    info.DeviceDescriptor.idProduct = port->product;
    info.LowSpeed = port->lowSpeed;
    info.DeviceIsHub = port->isHub;
    info.NumberOfOpenPipes = port->reportedPipes >= 0 ? static_cast<ULONG>(port->reportedPipes)
                                                      : static_cast<ULONG>(port->pipes.size());
  }
  Put(out, 0, &info, sizeof info, outSize);
  DWORD n = sizeof info;
  for (const FakeEndpoint &e : port->pipes) {
    if (n + sizeof(USB_PIPE_INFO) > outSize) break;
    USB_PIPE_INFO pipe{};
    pipe.EndpointDescriptor.bLength = 7;
    pipe.EndpointDescriptor.bDescriptorType = 5;
    pipe.EndpointDescriptor.bEndpointAddress = e.address;
    pipe.EndpointDescriptor.bmAttributes = e.attributes;
    pipe.EndpointDescriptor.wMaxPacketSize = e.maxPacket;
    Put(out, n, &pipe, sizeof pipe, outSize);
    n += sizeof pipe;
  }
  *returned = port->connectionReturned ? port->connectionReturned : n;
  return TRUE;
}

BOOL FakeUsbStack::Descriptor(const FakeHub &hub, void *out, DWORD outSize, DWORD *returned) {
  const FakePort *port = PortOf(hub, out, outSize);
  if (!port || port->config.empty() || outSize < sizeof(USB_DESCRIPTOR_REQUEST)) return FALSE;
  USB_DESCRIPTOR_REQUEST request;
  std::memcpy(&request, out, sizeof request);
  if (request.SetupPacket.wValue >> 8 != USB_CONFIGURATION_DESCRIPTOR_TYPE) return FALSE;
  std::size_t n = request.SetupPacket.wLength;
  if (n > port->config.size()) n = port->config.size();
  if (n > outSize - sizeof request) n = outSize - sizeof request;
  Put(out, sizeof request, port->config.data(), n, outSize);
  *returned = static_cast<DWORD>(sizeof request + n);
  return TRUE;
}

HMODULE FakeUsbStack::LoadModule(const char *name) {
  if (std::string(name) != "cfgmgr32.dll" || cfgmgrMissing) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  ++cfgmgrLoads;
  return kFakeCfgMgr;
}

FARPROC FakeUsbStack::FindEntry(HMODULE module, const char *name) {
  std::string n = name;
  if (module != kFakeCfgMgr || n == missingEntry) return nullptr;
  if (n == "CM_Locate_DevNodeA") return AsProc(&FakeLocate);
  if (n == "CM_Get_DevNode_Registry_PropertyA") return AsProc(&FakeProperty);
  if (n == "CM_Get_Child") return AsProc(&FakeChild);
  if (n == "CM_Get_Sibling") return AsProc(&FakeSibling);
  if (n == "CM_Get_Parent") return AsProc(&FakeParent);
  return nullptr;
}

BOOL FakeUsbStack::ReleaseModule(HMODULE module) {
  if (module != kFakeCfgMgr) return FALSE;
  ++cfgmgrReleases;
  return TRUE;
}

// Device instances are node index + 1.
CONFIGRET FakeUsbStack::Locate(PDEVINST node) {
  *node = 1;
  return CR_SUCCESS;
}

CONFIGRET FakeUsbStack::Property(DEVINST node, ULONG property, PVOID buffer, PULONG length) {
  ++propertyReads;
  if (node < 1 || node > devNodes.size()) return CR_NO_SUCH_DEVINST;
  const FakeDevNode &n = devNodes[node - 1];
  const std::string *text = nullptr;
  if (property == CM_DRP_DRIVER && !n.driverKey.empty()) text = &n.driverKey;
  if (property == CM_DRP_DEVICEDESC && n.descriptionReadable) text = &n.description;
  if (!text) return CR_NO_SUCH_VALUE;
  ULONG need = static_cast<ULONG>(text->size() + 1);
  if (*length < need) {
    *length = need;
    return CR_BUFFER_SMALL;
  }
  std::memcpy(buffer, text->c_str(), need);
  *length = need;
  return CR_SUCCESS;
}

CONFIGRET FakeUsbStack::Relative(PDEVINST out, DEVINST node, int which) {
  if (node < 1 || node > devNodes.size()) return CR_NO_SUCH_DEVINST;
  int index = static_cast<int>(node) - 1;
  const FakeDevNode &n = devNodes[static_cast<std::size_t>(index)];
  int found = -1;
  if (which == 0 && !n.children.empty()) found = n.children.front();
  if (which == 2) found = n.parent;
  if (which == 1 && n.parent >= 0) {
    const auto &siblings = devNodes[static_cast<std::size_t>(n.parent)].children;
    for (std::size_t i = 0; i + 1 < siblings.size(); ++i)
      if (siblings[i] == index) found = siblings[i + 1];
  }
  if (found < 0) return CR_NO_SUCH_DEVNODE;
  *out = static_cast<DEVINST>(found + 1);
  return CR_SUCCESS;
}

std::vector<std::uint8_t> FakeConfig(std::uint8_t attributes, std::uint8_t maxPower,
                                     std::vector<std::uint8_t> extra) {
  auto total = static_cast<std::uint16_t>(9 + extra.size());
  std::vector<std::uint8_t> d = {9,
                                 2,
                                 static_cast<std::uint8_t>(total & 0xFF),
                                 static_cast<std::uint8_t>(total >> 8),
                                 1,
                                 1,
                                 0,
                                 attributes,
                                 maxPower};
  for (std::uint8_t b : extra) d.push_back(b);
  return d;
}
