// TnrUsbDevice: the device on a port, with its open pipes and its
// configuration descriptor.
#pragma once

#include <windows.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "nrusbnode.h"
#include "nrusbw32.h"

enum TnrUSBSpeed { usLow, usFull, usHigh };

// The speeds' names, in the order of TnrUSBSpeed.
VAVEVI_API extern const std::array<const char *, 3> strUSBSpeeds;

class VAVEVI_API TnrUsbDevice : public usbtree::Branch<TnrUsbDevice, TnrUsbPort, TnrUsbPipe> {
 public:
  TnrUsbDevice();
  ~TnrUsbDevice() override;

  int GetPipeCount() const { return children_.Count(); }
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

  TnrUsbPort *GetPort() const { return parent_; }
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
  std::string description_;
  std::vector<std::uint8_t> descriptorRequest_;
  std::uint16_t productId_ = 0, vendorId_ = 0, maxPacketSize0_ = 0;
  TnrUSBSpeed speed_ = usLow;
  std::uint8_t versionLow_ = 0, versionHigh_ = 0;
};
