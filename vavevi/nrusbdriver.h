// TnrUsbDriver: the USB component's embedded kernel driver (the service
// "varaz", held as the resource "nrusbbin"), and the requests it answers.
#pragma once

#include <windows.h>

#include "nrddbasew32.h"
#include "nrexport.h"

// The port-cycle and open-by-name requests of the embedded driver.
constexpr DWORD kVarazCyclePort = 0x222004;
constexpr DWORD kVarazOpenByName = 0x222008;
// The port-cycle record: the handle (its 32 significant bits, as 64-bit
// Windows keeps handle values), 1, 0, 0 and 512 zero bytes.
constexpr DWORD kVarazCycleRecordSize = 528;

class VAVEVI_API TnrUsbDriver : public TnrDriverBase {
 public:
  TnrUsbDriver();
  HANDLE Open() override;
  void Close() override;
};

// Sends the driver's port-cycle request for a node's handle on the
// component's handle, after the "hUSB = %X hPipe = %X" line.
VAVEVI_API void UsbCyclePort(HANDLE usb, HANDLE node);
