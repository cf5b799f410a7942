// TnrUsbHost: one USB host controller of the tree, with the hubs below it.
#pragma once

#include <windows.h>

#include <string>

#include "nrusbnode.h"

class VAVEVI_API TnrUsbHost : public usbtree::Branch<TnrUsbHost, TnrUsb, TnrUsbHub> {
 public:
  explicit TnrUsbHost(TnrUsb *usb);
  ~TnrUsbHost() override;

  int GetCount() const { return children_.Count(); }
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

  TnrUsb *GetUsb() const { return parent_; }
  const std::string &GetDevicePath() const { return devicePath_; }
  const std::string &GetDescription() const { return description_; }
  const std::string &GetDriverKey() const { return driverKey_; }

 private:
  friend class TnrUsb;
  std::string devicePath_;
  std::string description_;
  std::string driverKey_;
};
