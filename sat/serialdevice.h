// The platform's serial port, as the reader thread and the send operations
// use it. One implementation per platform (serialdevice_win32.cpp,
// serialdevice_posix.cpp), picked by the build.
//
// Windows: the port COMn is opened as "\\.\COMn" with CreateFileA
// (read/write, exclusive, synchronous), set to the given baud rate, 8 data
// bits, no parity, one stop bit, DTR and RTS off, with read time-outs that
// make a read return at once with whatever is buffered, and write time-outs
// of 500 ms plus 1 ms per byte. Pending input is purged on open.
//
// POSIX: the port COMn is the device file /dev/ttyACM<n-1> (where a USB CDC
// device appears), or <dir>/COMn when the environment variable
// TORVEX_PORT_DIR names a directory. It is opened exclusively in raw mode,
// 8N1, no flow control, without asserting DTR or RTS.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>

namespace torvex::sat {

class SerialDevice {
 public:
  // Opens and configures the named port (COMn). nullptr when it cannot be
  // opened or configured; nothing stays held then.
  static std::unique_ptr<SerialDevice> Open(const char *name, std::uint32_t baudRate);
  virtual ~SerialDevice() = default;  // closes the port

  // Writes all count bytes; true when all were written.
  virtual bool Write(const std::uint8_t *bytes, std::size_t count) = 0;
  // Reads what is buffered, up to cap bytes, without waiting. Returns the
  // count read (0 when nothing was there); a failing read counts as 0.
  virtual std::size_t Read(std::uint8_t *buffer, std::size_t cap) = 0;
  // Sleeps until input may be available, Wake is called, or ms pass
  // (ms < 0: no time limit). The Win32 port sleeps a few milliseconds at
  // most, and the caller reads again.
  virtual void WaitInput(std::int32_t ms) = 0;
  // Makes WaitInput return soon (POSIX: at once), now and for every later
  // call. Any thread.
  virtual void Wake() = 0;

  // The device path that Open uses for a port name (for messages and tests).
  static bool DevicePath(const char *name, char *out, std::size_t cap);
};

}  // namespace torvex::sat
