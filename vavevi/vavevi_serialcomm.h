// Vavevi: the serial port component (vavevi_serialport.cpp).
//
// TnrCustomSerialComm makes the core a component for one numbered COM port:
// it opens "\\?\COM<n>" (or adopts a handle opened elsewhere), writes the
// whole line-settings block at every open, lists the machine's ports, reads
// the plug-and-play identity of an external serial device, and saves and
// restores its port number, line settings and time-outs as a registry value.
// TvaVevi is the concrete class that forms build by name.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "vavevi_comm.h"

// The configuration value of SaveConfig and LoadConfig: 49 bytes, little
// endian, on both architectures.
//   offset 0   the port number's low 8 bits
//   offset 1   the device-control block (DCB) as held in memory, 28 bytes
//   offset 29  the time-out record (COMMTIMEOUTS), 20 bytes
inline constexpr int kSerialConfigSize = 49;

class VAVEVI_API TnrCustomSerialComm : public TnrCustomComm {
 public:
  // Defaults, in this order: the log prefix "vaVevi: "; the system's default
  // configuration for COM1; COM1; 19200 baud, 8 data bits, no parity, one
  // stop bit; hardware handshake; event character 0. The rest as the core
  // sets it (queues of 4096, TimeoutRead 0, TimeoutWrite 100, echo on).
  explicit TnrCustomSerialComm(TComponent *owner);
  ~TnrCustomSerialComm() override;

  // The port number (1 for COM1). Writing it closes the port, stores the
  // number, reopens the port when it was open, then notifies code 3.
  std::uint16_t GetComPortNo() const { return comPortNo_; }
  void SetComPortNo(std::uint16_t portNo);
  // cpCOM1..cpCOM8 for ports 1 to 8; cpCOMxx for any other number (port 0
  // included). Writing cpCOMxx changes nothing.
  TComPort GetComPort() const;
  void SetComPort(TComPort port);

  // Opens the component on a port handle opened elsewhere for overlapped
  // I/O; the component closes it at its next close. The handle serves this
  // one open; later opens use the port number again. 0 and
  // INVALID_HANDLE_VALUE do nothing.
  void SetExtHandle(HANDLE handle);

  // While open: DTR on, RTS off, then up to 200 ms for DSR. With DSR, RTS
  // goes on; without, the fatal error "Device Connect Initialization Error".
  void InitDeviceConnect();
  // Wakes an external plug-and-play serial device (line toggling at 1200
  // baud, 7N1) and gives its identity text with both markers ("(" ... ")"),
  // or "" when it does not answer. Opens the port when needed; the line
  // settings, trace states and open state are as before afterwards. No DSR
  // within 200 ms is the fatal error "Device Connect Initialization Error",
  // before any setting is changed: the port then stays open, also when it
  // was opened for the call.
  std::string GetPNPDeviceString();

  // The configuration value (see kSerialConfigSize) under root\key, named
  // name; the key is made when missing. LoadConfig takes the port number and
  // the time-outs from a value of exactly 49 bytes and ignores any other.
  // Registry failures are the fatal errors "Error on save config information
  // from registry" and "Error on load config information from registry".
  virtual void SaveConfig(HKEY root, const std::string &key, const std::string &name);
  virtual void LoadConfig(HKEY root, const std::string &key, const std::string &name);

  // The device list is the machine's port list (GetPortList), read on first
  // need and again by Update; each entry is a name with its port number.
  void SetDeviceIndex(int index) override;  // selects that entry's port
  int GetDeviceIndex() override;            // the entry of the port, or -1
  void Update() override;
  void GetDeviceList(TStringList *list) override;
  HANDLE RequestDeviceHandle() override;
  std::string GetPortName() override;  // "COM<n>"
  // The core's steps, then the whole block with abort-on-error written to
  // the port.
  void InitAfterOpen() override;

 protected:
  // After a form has set the properties: the terminal and its usage again,
  // then Active as streamed. An error goes to the standard error display
  // (ShowException: a message box "Error") and loading goes on.
  void Loaded() override;

 private:
  std::uint16_t comPortNo_ = 1;
  HANDLE extHandle_ = nullptr;  // for the next open only
};
