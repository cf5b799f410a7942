// TnrUsbPort: one port of a hub, with the device on it (a hub on a port is
// a hub of the host instead).
#pragma once

#include <windows.h>

#include <array>
#include <cstdint>
#include <string>

#include "nrusbnode.h"
#include "nrusbw32.h"

class VAVEVI_API TnrUsbPort : public usbtree::Branch<TnrUsbPort, TnrUsbHub, TnrUsbDevice> {
 public:
  TnrUsbPort();
  ~TnrUsbPort() override;

  int GetCount() const { return children_.Count(); }  // 0 or 1
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

  TnrUsbHub *GetHub() const { return parent_; }
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
  std::string portText_;
  std::string devicePath_;
  std::string connectionName_;
  int portNumber_ = 0;
  std::array<std::uint8_t, kUsbConnectionInfoSize> connectionInfo_{};
  int pipeInfoCount_ = 0;
};
