// TnrUsbPipe: one open pipe of a device, described by its entry in the
// port's connection information.
#pragma once

#include <windows.h>

#include <array>
#include <string>

#include "nrusbnode.h"
#include "nrusbw32.h"

enum TnrUsbTransferType { uttUnknown, uttControl, uttIsochronous, uttBulk, uttInterrupt };

// The transfer types' names, in the order of TnrUsbTransferType.
VAVEVI_API extern const std::array<const char *, 5> strUSBTransferType;

class VAVEVI_API TnrUsbPipe : public usbtree::Node<TnrUsbPipe, TnrUsbDevice> {
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

  TnrUsbDevice *GetDevice() const { return parent_; }
  const std::string &GetPipePath() const { return pipePath_; }
  int GetPipeIndex() const { return pipeIndex_; }
  const USB_PIPE_INFO *GetPipeInfo() const { return pipeInfo_; }
  TnrUsb *GetUsb() const;

 private:
  friend class TnrUsbDevice;
  std::string pipePath_;
  int pipeIndex_ = 0;
  const USB_PIPE_INFO *pipeInfo_ = nullptr;  // inside the port's connection information
};
