// TnrUsbHub: one hub of the USB tree (a root hub or one on a port), with
// its ports.
#pragma once

#include <windows.h>

#include <array>
#include <cstdint>
#include <string>

#include "nrusbnode.h"
#include "nrusbw32.h"

class VAVEVI_API TnrUsbHub : public usbtree::Branch<TnrUsbHub, TnrUsbHost, TnrUsbPort> {
 public:
  TnrUsbHub();
  ~TnrUsbHub() override;

  int GetCount() const { return children_.Count(); }
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

  TnrUsbHost *GetHost() const { return parent_; }
  TnrUsbPort *GetParentPort() const { return parentPort_; }  // none for a root hub
  const std::string &GetDevicePath() const { return devicePath_; }
  const std::string &GetDisplayName() const { return displayName_; }  // "Root Hub" or ""
  const USB_NODE_INFORMATION &GetNodeInfo() const;
  TnrUsb *GetUsb() const;
  // How many hubs this one hangs below its root hub (0 for the root hub).
  int Depth() const;

 private:
  friend class TnrUsbHost;
  std::string devicePath_;
  std::string displayName_;
  TnrUsbPort *parentPort_ = nullptr;
  std::array<std::uint8_t, kUsbNodeInfoSize> nodeInfo_{};
};
