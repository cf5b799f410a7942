// The platform's side of the serial port layer: the port itself, as the
// reader thread and the send operations use it, and the reader's thread.
// One implementation per platform (serial_device_win32.cpp,
// serial_device_posix.cpp), picked by the build.
//
// Windows: the port COMn is opened as "\\.\COMn" with CreateFileA
// (read/write, exclusive, overlapped), set to the given baud rate, 8 data
// bits, no parity, one stop bit, DTR and RTS off; reads end on an interval
// time-out of the reader's gap, writes are bounded by the command's limit.
// Pending input is purged on open.
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
  // quietMs is the silence that ends a burst (the reader's gap).
  static std::unique_ptr<SerialDevice> Open(const char *name, std::uint32_t baudRate,
                                            std::uint32_t quietMs);
  virtual ~SerialDevice() = default;  // closes the port

  struct ReadResult {
    std::size_t count;  // bytes read
    bool lineLost;      // the line is gone: nothing will ever come
    bool burstEnded;    // the line has already been quiet for quietMs after them
  };

  // Writes all count bytes, giving up after limitMs milliseconds (a device
  // that does not read must not hold the caller past its command's limit).
  // True when all were written. Runs on the caller's thread while the
  // reader may be blocked in ReadWait.
  virtual bool Write(const std::uint8_t *bytes, std::size_t count, std::int64_t limitMs) = 0;
  // Reads up to cap bytes. Blocks until at least one byte is there, ms pass
  // (ms < 0: no time limit) or Wake is called; returns what it read, 0 when
  // nothing came. Reports a line that is gone (hung up, device removed).
  virtual ReadResult ReadWait(std::uint8_t *buffer, std::size_t cap, std::int32_t ms) = 0;
  // Called by the reading thread when it stops reading, before it ends:
  // ends a read that is still in progress.
  virtual void StopReading() {}
  // Sleeps until Wake is called or ms pass (ms < 0: no time limit).
  virtual void WaitWake(std::int32_t ms) = 0;
  // Makes ReadWait and WaitWake return at once, now and for every later
  // call. Any thread.
  virtual void Wake() = 0;

  // The device path that Open uses for a port name (for messages and tests).
  static bool DevicePath(const char *name, char *out, std::size_t cap);
};

// The reader's thread, of the platform's own kind: on Windows a thread of
// the system (CreateThread, joined with WaitForSingleObject), which the C++
// library's threading never sees (see clock.h); on POSIX a std::thread.
class ReaderThread {
 public:
  using Body = void (*)(void *context);
  // Runs body(context) on a new thread. Throws std::system_error when the
  // system gives no thread.
  static std::unique_ptr<ReaderThread> Start(Body body, void *context);
  virtual ~ReaderThread() = default;  // waits for the thread to end
};

}  // namespace torvex::sat
