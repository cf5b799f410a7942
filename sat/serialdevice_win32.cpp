#include <windows.h>
#include <mmsystem.h>

#include <cstring>

#include "serialdevice.h"
#include "text.h"

namespace torvex::sat {
namespace {

// The port is opened synchronous with read time-outs that make ReadFile
// return at once, so the reader cannot block in a read (a blocked read would
// also hold up the caller's write on the same synchronous handle). Between
// empty reads the reader sleeps, with the system timer at 1 ms resolution
// while a port is open:
//  - while a burst is being collected, and for 50 ms after the last bytes,
//    it waits 1 ms on its wake event: the end of a burst is seen within a
//    millisecond or two, and closing the port right after a reply does not
//    wait for a sleep to run out;
//  - during a longer silence (the device working on a command) it sleeps
//    2 ms up to 200 ms of silence, 5 ms up to a second and 10 ms after that,
//    since every empty read is a system call (under Wine, a round trip to
//    its server). A reply after a long silence is seen a few milliseconds
//    late at most, nothing beside the time the device took; the reader
//    checks its Terminated flag after every sleep.
class Win32SerialDevice final : public SerialDevice {
 public:
  Win32SerialDevice(HANDLE port, HANDLE wake) : port_(port), wake_(wake) { timeBeginPeriod(1); }
  ~Win32SerialDevice() override {
    CloseHandle(port_);
    CloseHandle(wake_);
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
    DWORD idle = GetTickCount() - idleSince_;
    if (ms > 0 || idle < 50) {
      // A burst is being collected, or has just ended: read again within a
      // millisecond, and wake at once when the port is being closed.
      WaitForSingleObject(wake_, 1);
    } else {
      // A long silence (the device is working on a command): every empty
      // read is a system call, so read less often.
      Sleep(idle < 200 ? 2 : idle < 1000 ? 5 : 10);
    }
  }

  void Wake() override { SetEvent(wake_); }

 private:
  HANDLE port_;
  HANDLE wake_;
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
  HANDLE port =
      CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
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

  HANDLE wake = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (wake == nullptr) {
    CloseHandle(port);
    return nullptr;
  }
  return std::make_unique<Win32SerialDevice>(port, wake);
}

}  // namespace torvex::sat
