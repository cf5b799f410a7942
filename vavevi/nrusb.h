// TnrUsb: the USB component. It builds the tree of the machine's USB
// topology (nrusbnode.h), flattens it into its device list for display and
// selection, and opens its embedded kernel driver (nrusbdriver.h) as its own
// handle.
#pragma once

#include <windows.h>

#include <array>
#include <memory>
#include <string_view>

#include "nrclasses.h"
#include "nrusbdriver.h"
#include "nrusbnode.h"
#include "rtlists.h"
#include "rtset.h"

enum TnrUsbOption { uoShowHost, uoShowHub, uoShowPort, uoShowClass };
using TnrUsbOptions = TSet<TnrUsbOption>;

template <>
struct EnumNames<TnrUsbOption> {
  static constexpr std::array<std::string_view, 4> names{"uoShowHost", "uoShowHub", "uoShowPort",
                                                         "uoShowClass"};
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
