// Varaz: the USB component. TnrUsb builds a tree of the machine's USB
// topology - host controllers, their hubs, the hubs' ports, the device on each
// port and its open pipes - through the system queries of Nrusbw32, flattens
// it into its device list for display and selection, and opens the embedded
// kernel driver (TnrUsbDriver, the service "varaz") as its own handle. Through
// that handle it can ask the driver to cycle the USB port of a device it has
// opened (the device is taken off its port and enumerated again).
//
// The tree nodes are plain objects, each owned by its parent. Opening a node
// opens the component first (nested: the component stays open while any node
// holds an open request). Diagnostics go to the debugger output.
//
// Everything runs on the caller's thread; nothing here takes a lock.
#pragma once

#include <windows.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "nrclasses.h"
#include "nrddbasew32.h"
#include "nrusbw32.h"
#include "rtlists.h"
#include "rtset.h"

enum TnrUsbOption { uoShowHost, uoShowHub, uoShowPort, uoShowClass };
using TnrUsbOptions = TSet<TnrUsbOption>;

template <>
struct EnumNames<TnrUsbOption> {
  static constexpr std::array<std::string_view, 4> names{"uoShowHost", "uoShowHub", "uoShowPort",
                                                         "uoShowClass"};
};

enum TnrUSBSpeed { usLow, usFull, usHigh };
enum TnrUsbTransferType { uttUnknown, uttControl, uttIsochronous, uttBulk, uttInterrupt };

VAVEVI_API extern const std::array<const char *, 3> strUSBSpeeds;
VAVEVI_API extern const std::array<const char *, 5> strUSBTransferType;

// The port-cycle and open-by-name requests of the embedded driver.
constexpr DWORD kVarazCyclePort = 0x222004;
constexpr DWORD kVarazOpenByName = 0x222008;
// The port-cycle record: the handle (its 32 significant bits, as 64-bit
// Windows keeps handle values), 1, 0, 0 and 512 zero bytes.
constexpr DWORD kVarazCycleRecordSize = 528;

class TnrUsb;
class TnrUsbHost;
class TnrUsbHub;
class TnrUsbPort;
class TnrUsbDevice;
class TnrUsbPipe;

// The embedded USB driver: service "varaz", resource "nrusbbin".
class VAVEVI_API TnrUsbDriver : public TnrDriverBase {
 public:
  TnrUsbDriver();
  HANDLE Open() override;
  void Close() override;
};

// The open state that every node shares: its handle and whether it holds an
// open request on the component. A node holds at most one request, so a node
// opened twice, or closed without having been opened, never unbalances the
// component's count. A node destroyed while open closes.
class VAVEVI_API TnrUsbNodeHandle {
 public:
  TnrUsbNodeHandle() = default;
  TnrUsbNodeHandle(const TnrUsbNodeHandle &) = delete;
  TnrUsbNodeHandle &operator=(const TnrUsbNodeHandle &) = delete;

  HANDLE Get() const { return handle_; }
  bool Valid() const { return handle_ != INVALID_HANDLE_VALUE; }
  // Requests the component's open (once) and, when it is active, opens path
  // for reading and writing, unshared. On failure, errorPrefix (when given)
  // followed by shownPath goes to the debugger output.
  void Open(TnrUsb *usb, const std::string &path, const char *errorPrefix,
            const std::string &shownPath);
  void Close(TnrUsb *usb);

 private:
  HANDLE handle_ = INVALID_HANDLE_VALUE;
  bool requested_ = false;
};

class VAVEVI_API TnrUsbHost : public TObject {
 public:
  explicit TnrUsbHost(TnrUsb *usb);
  ~TnrUsbHost() override;

  int GetCount() const { return hubs_.Count(); }
  TnrUsbHub *GetHub(int index) const;  // none outside 0 to count - 1
  int Add();                           // an empty hub; its index
  void Clear();

  // Rebuilds the hub list from the controller: the root hub, then every hub
  // below it in depth-first order of discovery.
  void ReloadHubs(HANDLE controller);
  // Opens "\\.\" + name and, when it opens, appends the hub and enumerates
  // its ports (and with them every hub below); the hub's index, or -1.
  int AddHubWithName(const std::string &name, TnrUsbPort *parentPort);

  void Open();
  void Close();
  bool GetActive() const { return handle_.Valid(); }
  void SetActive(bool active);
  HANDLE GetHandle() const { return handle_.Get(); }

  TnrUsb *GetUsb() const { return usb_; }
  const std::string &GetDevicePath() const { return devicePath_; }
  const std::string &GetDescription() const { return description_; }
  const std::string &GetDriverKey() const { return driverKey_; }

 private:
  friend class TnrUsb;
  TObjectList<TnrUsbHub> hubs_;
  TnrUsb *usb_;
  TnrUsbNodeHandle handle_;
  std::string devicePath_;
  std::string description_;
  std::string driverKey_;
};

class VAVEVI_API TnrUsbHub : public TObject {
 public:
  TnrUsbHub();
  ~TnrUsbHub() override;

  int GetCount() const { return ports_.Count(); }
  TnrUsbPort *GetPort(int index) const;
  int Add();
  void Clear();

  // Rebuilds the ports from the hub's node information, one per port.
  void Update(HANDLE hub);

  // bHubControlCurrent of the hub descriptor.
  int GetMaxPower() const;
  // True when the hub does not take its power from the bus.
  bool GetIsSelfPower() const;

  void Open();
  void Close();
  bool GetActive() const { return handle_.Valid(); }
  void SetActive(bool active);
  HANDLE GetHandle() const { return handle_.Get(); }

  TnrUsbHost *GetHost() const { return host_; }
  TnrUsbPort *GetParentPort() const { return parentPort_; }  // none for a root hub
  const std::string &GetDevicePath() const { return devicePath_; }
  const std::string &GetDisplayName() const { return displayName_; }  // "Root Hub" or ""
  const USB_NODE_INFORMATION &GetNodeInfo() const;
  TnrUsb *GetUsb() const;
  // How many hubs this one hangs below its root hub (0 for the root hub).
  int Depth() const;

 private:
  friend class TnrUsbHost;
  TObjectList<TnrUsbPort> ports_;
  std::string devicePath_;
  std::string displayName_;
  TnrUsbHost *host_ = nullptr;
  TnrUsbPort *parentPort_ = nullptr;
  std::array<std::uint8_t, kUsbNodeInfoSize> nodeInfo_{};
  TnrUsbNodeHandle handle_;
};

class VAVEVI_API TnrUsbPort : public TObject {
 public:
  TnrUsbPort();
  ~TnrUsbPort() override;

  int GetCount() const { return devices_.Count(); }  // 0 or 1
  TnrUsbDevice *GetDevice(int index) const;
  int Add();
  void Clear();

  // Queries the port's connection and builds its text and its device (or
  // the hub on it, through the host).
  void EnumDevices(HANDLE hub);

  void Open();
  void Close();
  bool GetActive() const { return handle_.Valid(); }
  void SetActive(bool active);
  HANDLE GetHandle() const { return handle_.Get(); }
  // Asks the driver to cycle this port (only while the port is open).
  void TestPort();

  TnrUsbHub *GetHub() const { return hub_; }
  int GetPortNumber() const { return portNumber_; }
  const std::string &GetPortText() const { return portText_; }
  const std::string &GetDevicePath() const { return devicePath_; }
  const std::string &GetConnectionName() const { return connectionName_; }
  // The connection information as the last request left it (365 bytes).
  const USB_NODE_CONNECTION_INFORMATION &GetConnectionInfo() const;
  // The pipe entries that the answer holds: at most 30 (the buffer's room),
  // and never more than the answer's length covers, whatever
  // NumberOfOpenPipes says.
  int GetPipeInfoCount() const { return pipeInfoCount_; }
  const USB_PIPE_INFO *GetPipeInfo(int index) const;  // none outside the entries
  TnrUsb *GetUsb() const;

 private:
  friend class TnrUsbHub;
  TObjectList<TnrUsbDevice> devices_;
  std::string portText_;
  std::string devicePath_;
  std::string connectionName_;
  TnrUsbHub *hub_ = nullptr;
  int portNumber_ = 0;
  std::array<std::uint8_t, kUsbConnectionInfoSize> connectionInfo_{};
  int pipeInfoCount_ = 0;
  TnrUsbNodeHandle handle_;
};

class VAVEVI_API TnrUsbDevice : public TObject {
 public:
  TnrUsbDevice();
  ~TnrUsbDevice() override;

  int GetPipeCount() const { return pipes_.Count(); }
  TnrUsbPipe *GetPipe(int index) const;
  int Add();
  void Clear();  // also drops the descriptor

  // Reads the device's values from its port's connection information, makes
  // its pipes and reads its configuration descriptor through the hub.
  void Update();

  // MaxPower x 2 mA when a descriptor is held and bit 7 of bmAttributes is
  // set, else 0; the flags are bits 6, 5 and 7 of bmAttributes (false
  // without a descriptor).
  int GetMaxPower() const;
  bool GetIsSelfPower() const;
  bool GetIsWakeUp() const;
  bool GetIsBusPower() const;

  void Open();
  void Close();
  bool GetActive() const { return handle_.Valid(); }
  void SetActive(bool active);
  HANDLE GetHandle() const { return handle_.Get(); }

  TnrUsbPort *GetPort() const { return port_; }
  const std::string &GetDescription() const { return description_; }
  // The last configuration-descriptor request buffer (header and
  // descriptor), empty before the first Update.
  const std::vector<std::uint8_t> &GetDescriptorRequest() const { return descriptorRequest_; }
  // The descriptor at offset 12 of that buffer, or none.
  const USB_CONFIGURATION_DESCRIPTOR *GetConfigDescriptor() const;
  std::uint16_t GetProductId() const { return productId_; }
  std::uint16_t GetVendorId() const { return vendorId_; }
  std::uint16_t GetMaxPacketSize0() const { return maxPacketSize0_; }
  TnrUSBSpeed GetSpeed() const { return speed_; }
  std::uint8_t GetVersionLow() const { return versionLow_; }    // bcdUSB AND 0x0F
  std::uint8_t GetVersionHigh() const { return versionHigh_; }  // bcdUSB >> 8
  TnrUsb *GetUsb() const;

 private:
  friend class TnrUsbPort;
  TObjectList<TnrUsbPipe> pipes_;
  TnrUsbPort *port_ = nullptr;
  std::string description_;
  std::vector<std::uint8_t> descriptorRequest_;
  std::uint16_t productId_ = 0, vendorId_ = 0, maxPacketSize0_ = 0;
  TnrUSBSpeed speed_ = usLow;
  std::uint8_t versionLow_ = 0, versionHigh_ = 0;
  TnrUsbNodeHandle handle_;
};

class VAVEVI_API TnrUsbPipe : public TObject {
 public:
  explicit TnrUsbPipe(TnrUsbDevice *device);
  ~TnrUsbPipe() override;

  int GetMaxPacketSize() const;  // wMaxPacketSize, 0 without PipeInfo
  TnrUsbTransferType GetTransferType() const;
  bool GetDirectIn() const;
  bool GetDirectOut() const;

  void Open();
  void Close();
  bool GetActive() const { return handle_.Valid(); }
  void SetActive(bool active);
  HANDLE GetHandle() const { return handle_.Get(); }
  // Whether PipePath opens (it is closed again at once).
  bool TryPipe();
  // Asks the driver to cycle the port of this pipe (only while open).
  void TestPipe();

  TnrUsbDevice *GetDevice() const { return device_; }
  const std::string &GetPipePath() const { return pipePath_; }
  int GetPipeIndex() const { return pipeIndex_; }
  const USB_PIPE_INFO *GetPipeInfo() const { return pipeInfo_; }
  TnrUsb *GetUsb() const;

 private:
  friend class TnrUsbDevice;
  std::string pipePath_;
  int pipeIndex_ = 0;
  const USB_PIPE_INFO *pipeInfo_ = nullptr;  // inside the port's connection information
  TnrUsbNodeHandle handle_;
  TnrUsbDevice *device_;
};

class VAVEVI_API TnrUsb : public TnrBaseIO {
 public:
  explicit TnrUsb(TComponent *owner);
  ~TnrUsb() override;

  // Rebuilds the tree and the device list, then notifies code 3.
  void Update() override;
  // Rebuilds the device list from the tree and copies it into list.
  void GetDeviceList(TStringList *list) override;
  void SetDeviceIndex(int index) override;
  int GetDeviceIndex() override;
  void Open() override;
  void Close() override;
  HANDLE RequestDeviceHandle() override;  // Driver.Open

  TnrUsbOptions GetOptions() const { return options_; }
  // Stores, rebuilds (even for the same value) and notifies code 3.
  void SetOptions(TnrUsbOptions options);
  TnrUsbDevice *GetUsbDevice() const { return usbDevice_; }
  void SetUsbDevice(TnrUsbDevice *device) { usbDevice_ = device; }
  TnrUsbDriver &GetDriver() { return *driver_; }
  int GetOpenCount() const { return openCount_; }

  int GetCount() const { return hosts_.Count(); }
  TnrUsbHost *GetHost(int index) const;
  int AddHost();
  // Destroys every host, and with them the tree; the device list, whose
  // entries point into it, is emptied and the selected device dropped.
  void Clear();
  // Rebuilds the host list from the controllers that open. A device that
  // was selected is looked for in the new tree (same hub, port and
  // identity) and stays selected when found.
  void ReloadHosts();
  // Opens the host controller with that index, or gives the invalid handle.
  HANDLE OpenHostController(int index);

  // Nested open and close, used by the nodes: the component opens with the
  // first request and closes with the last release.
  void RequestOpen();
  void RequestClose();

  bool ReadChar(char &ch);
  bool WriteChar(char ch);
  // Diagnostic: the open-by-name and port-cycle requests for the first port
  // of the first hub of the first host.
  void SendCommand();

  // Sent by a node that is going away: a selection or device-list entry
  // that refers to it is dropped.
  void NodeGone(TObject *node);

  const TPropertyTable &Published() const override;

 private:
  TObjectList<TnrUsbHost> hosts_;
  int deviceIndex_ = 0;
  TnrUsbOptions options_{uoShowHost, uoShowHub, uoShowPort};
  TnrUsbDevice *usbDevice_ = nullptr;
  std::unique_ptr<TnrUsbDriver> driver_;
  int openCount_ = 0;
};

// Sends the driver's port-cycle request for a node's handle on the
// component's handle, after the "hUSB = %X hPipe = %X" line.
VAVEVI_API void UsbCyclePort(HANDLE usb, HANDLE node);
