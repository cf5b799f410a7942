#include "nrusbdriver.h"

#include <array>
#include <cstdint>
#include <cstring>

#include "rtformat.h"

TnrUsbDriver::TnrUsbDriver() {
  SetServiceName("varaz");
  SetResourceName("nrusbbin");
}

HANDLE TnrUsbDriver::Open() { return TnrDriverBase::Open(); }

void TnrUsbDriver::Close() { TnrDriverBase::Close(); }

void UsbCyclePort(HANDLE usb, HANDLE node) {
  auto usbValue = static_cast<std::int64_t>(reinterpret_cast<std::uintptr_t>(usb));
  auto nodeValue = static_cast<std::int64_t>(reinterpret_cast<std::uintptr_t>(node));
  OutputDebugStringA(Format("hUSB = %X hPipe = %X", {usbValue, nodeValue}).c_str());
  std::array<std::uint8_t, kVarazCycleRecordSize> record{};
  auto handle32 = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(node));
  std::uint32_t one = 1;
  std::memcpy(record.data(), &handle32, 4);
  std::memcpy(record.data() + 4, &one, 4);
  DWORD returned = 0;
  DeviceIoControl(usb, kVarazCyclePort, record.data(), kVarazCycleRecordSize, nullptr, 0, &returned,
                  nullptr);
}
