#include <windows.h>
#include <mmsystem.h>

#include <cstring>

#include "serialdevice.h"
#include "text.h"

namespace torvex::sat {
namespace {

// The port is opened synchronous with read time-outs that make ReadFile
// return at once, so the reader cannot block in a read (and a blocked read
// would hold up the caller's write on the same synchronous handle). Between
// empty reads the reader sleeps, with the system timer at 1 ms resolution
// while a port is open: 1 ms while the line has been silent for less than
// 50 ms, so a burst's end is seen within a millisecond or two; during a long
// silence (a device working on a command) 2 ms, then 3 ms, since every empty
// read is a system call. The reader checks its Terminated flag after every
// sleep, so closing the port waits at most 3 ms for it.
class Win32SerialDevice final : public SerialDevice {
 public:
  explicit Win32SerialDevice(HANDLE port) : port_(port) { timeBeginPeriod(1); }
  ~Win32SerialDevice() override {
    CloseHandle(port_);
    timeEndPeriod(1);
  }

  bool Write(const std::uint8_t *bytes, std::size_t count) override {
    DWORD written = 0;
    if (!WriteFile(port_, bytes, static_cast<DWORD>(count), &written, nullptr)) return false;
    return written == count;
  }

  std::size_t Read(std::uint8_t *buffer, std::size_t cap) override {
    DWORD got = 0;
    if (!ReadFile(port_, buffer, static_cast<DWORD>(cap), &got, nullptr)) return 0;
    if (got > 0) idleSince_ = GetTickCount();
    return got;
  }

  void WaitInput(std::int32_t ms) override {
    if (ms == 0) return;
    DWORD wait = 1;
    if (ms < 0) {
      // Nothing collected: the line has been silent since the last bytes
      // (or the open).
      DWORD idle = GetTickCount() - idleSince_;
      wait = idle < 50 ? 1 : idle < 200 ? 2 : 3;
    }
    Sleep(wait);
  }

  void Wake() override {}  // the reader sleeps at most 3 ms at a time

 private:
  HANDLE port_;
  DWORD idleSince_ = GetTickCount();
};

}  // namespace

bool SerialDevice::DevicePath(const char *name, char *out, std::size_t cap) {
  int n = FormatText(out, cap, "\\\\.\\%s", OrEmpty(name));
  return n >= 0 && static_cast<std::size_t>(n) < cap;
}

std::unique_ptr<SerialDevice> SerialDevice::Open(const char *name, std::uint32_t baudRate) {
  char path[64];
  if (!DevicePath(name, path, sizeof path)) return nullptr;
  HANDLE port = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                            nullptr);
  if (port == INVALID_HANDLE_VALUE) return nullptr;

  DCB dcb;
  std::memset(&dcb, 0, sizeof dcb);
  dcb.DCBlength = sizeof dcb;
  GetCommState(port, &dcb);
  dcb.BaudRate = baudRate;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fDtrControl = DTR_CONTROL_DISABLE;
  dcb.fRtsControl = RTS_CONTROL_DISABLE;
  if (!SetCommState(port, &dcb)) {
    CloseHandle(port);  // a port that cannot be set up is not kept
    return nullptr;
  }

  COMMTIMEOUTS timeouts;
  std::memset(&timeouts, 0, sizeof timeouts);
  GetCommTimeouts(port, &timeouts);
  timeouts.ReadIntervalTimeout = MAXDWORD;
  timeouts.ReadTotalTimeoutMultiplier = 0;
  timeouts.ReadTotalTimeoutConstant = 0;
  timeouts.WriteTotalTimeoutMultiplier = 1;
  timeouts.WriteTotalTimeoutConstant = 500;
  if (!SetCommTimeouts(port, &timeouts)) {
    CloseHandle(port);
    return nullptr;
  }

  PurgeComm(port, PURGE_RXCLEAR);
  FlushFileBuffers(port);

  return std::make_unique<Win32SerialDevice>(port);
}

}  // namespace torvex::sat
