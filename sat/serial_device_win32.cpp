#include <windows.h>
#include <mmsystem.h>

#include <cstring>
#include <system_error>

#include "serial_device.h"
#include "text.h"

namespace torvex::sat {
namespace {

// The port is opened for overlapped I/O, so that the reader can block in a
// read while the caller writes, and either can be bounded in time:
//  - Reads have an interval time-out of the reader's gap (35 ms) and no
//    total time-out: a read waits as long as it takes for the first byte,
//    then returns with what came until the line was quiet for the gap (or
//    its buffer is full). A read that ends short of its buffer therefore
//    ends a burst, and the reader delivers it at once. (The "return at once"
//    setting would make an overlapped read complete empty at once, again
//    and again, on Windows; the documented "first byte" setting,
//    MAXDWORD/MAXDWORD/constant, is not honoured by Wine, whose reads then
//    wait for the whole buffer.) The reader waits on the read's event, its
//    wake event and the rest of the gap: it sleeps through silences and
//    wakes only for bytes, for the end of a burst and for the port's
//    closing. (With a 1 ms interval, Wine's server woke every millisecond
//    while the line was silent: 1.6 % of a core.)
//  - Writes wait at most the time the command has left, then are cancelled.
//  - A line that is gone (a USB serial device removed) makes reads, or
//    ClearCommError, fail. A read that completes with nothing (which these
//    time-outs never ask for) three times running counts as gone too: that
//    is how a closed line shows through some drivers.
// The system timer runs at 1 ms resolution while the port is open, so that
// the end of a burst is seen within a millisecond or two of the gap.
constexpr DWORD kChunk = 1024;
constexpr DWORD kWriteChunk = 4096;

class Win32SerialDevice final : public SerialDevice {
 public:
  Win32SerialDevice(HANDLE port, HANDLE wake, HANDLE readEvent, HANDLE writeEvent)
      : port_(port), wake_(wake), readEvent_(readEvent), writeEvent_(writeEvent) {
    timeBeginPeriod(1);
  }
  ~Win32SerialDevice() override {
    // Output the device never took (a write that gave up) is discarded, so
    // closing does not wait for it.
    if (writeGaveUp_) PurgeComm(port_, PURGE_TXABORT | PURGE_TXCLEAR);
    CloseHandle(port_);
    CloseHandle(wake_);
    CloseHandle(readEvent_);
    CloseHandle(writeEvent_);
    timeEndPeriod(1);
  }

  // Writes in pieces of kWriteChunk bytes, each waited for within what is
  // left of the limit: under Wine, overlapped writes of 64 KiB to a busy
  // line now and then put bytes on it out of order (4 KiB pieces never did
  // in our runs).
  bool Write(const std::uint8_t *bytes, std::size_t count, std::int64_t limitMs) override {
    DWORD start = GetTickCount();
    std::int64_t limit = limitMs < 0 ? 0 : limitMs;
    std::size_t done = 0;
    while (done < count) {
      DWORD piece = count - done < kWriteChunk ? static_cast<DWORD>(count - done) : kWriteChunk;
      std::int64_t left = limit - static_cast<std::int64_t>(GetTickCount() - start);
      DWORD written = 0;
      if (!WritePiece(bytes + done, piece, left < 0 ? 0 : static_cast<DWORD>(left), &written)) {
        writeGaveUp_ = true;
        return false;
      }
      done += written;
    }
    return true;
  }

  ReadResult ReadWait(std::uint8_t *buffer, std::size_t cap, std::int32_t ms) override {
    if (cap == 0) return {0, false, false};
    if (!readPending_) {
      want_ = cap < kChunk ? static_cast<DWORD>(cap) : kChunk;
      DWORD want = want_;
      std::memset(&readOv_, 0, sizeof readOv_);
      readOv_.hEvent = readEvent_;
      DWORD got = 0;
      if (ReadFile(port_, chunk_, want, &got, &readOv_)) return Completed(buffer, cap, got, true);
      DWORD error = GetLastError();
      if (error == ERROR_TIMEOUT) return Completed(buffer, cap, got, true);
      if (error != ERROR_IO_PENDING) return {0, Gone(error), false};
      readPending_ = true;
    }
    HANDLE handles[2] = {readEvent_, wake_};
    DWORD rc =
        WaitForMultipleObjects(2, handles, FALSE, ms < 0 ? INFINITE : static_cast<DWORD>(ms));
    if (rc != WAIT_OBJECT_0)
      return {0, false, false};  // woken, or the gap ran out: read stays pending
    readPending_ = false;
    DWORD got = 0;
    if (!GetOverlappedResult(port_, &readOv_, &got, FALSE)) {
      // Wine ends a read whose interval time-out ran with ERROR_TIMEOUT,
      // the bytes it read counted all the same; Windows with success.
      DWORD error = GetLastError();
      if (error != ERROR_TIMEOUT) return {0, Gone(error), false};
    }
    return Completed(buffer, cap, got, false);
  }

  // One overlapped write, waited for up to waitMs and cancelled after that.
  // True when it wrote something; *written says how much.
  bool WritePiece(const std::uint8_t *bytes, DWORD count, DWORD waitMs, DWORD *written) {
    OVERLAPPED ov;
    std::memset(&ov, 0, sizeof ov);
    ov.hEvent = writeEvent_;
    if (!WriteFile(port_, bytes, count, written, &ov)) {
      if (GetLastError() != ERROR_IO_PENDING) return false;
      if (WaitForSingleObject(writeEvent_, waitMs) != WAIT_OBJECT_0) CancelIo(port_);  // ours only
      if (!GetOverlappedResult(port_, &ov, written, TRUE) && GetLastError() != ERROR_TIMEOUT)
        return false;
    }
    return *written > 0;
  }

  // CancelIo cancels the calling thread's own I/O: the read is cancelled on
  // the thread that started it.
  void StopReading() override {
    if (!readPending_) return;
    DWORD got = 0;
    CancelIo(port_);
    GetOverlappedResult(port_, &readOv_, &got, TRUE);
    readPending_ = false;
  }

  void WaitWake(std::int32_t ms) override {
    WaitForSingleObject(wake_, ms < 0 ? INFINITE : static_cast<DWORD>(ms));
  }

  void Wake() override { SetEvent(wake_); }

 private:
  // A read that brought got bytes; atOnce when it ended without waiting.
  ReadResult Completed(std::uint8_t *buffer, std::size_t cap, DWORD got, bool atOnce) {
    if (got > 0 || !atOnce) {
      // Wine may end a read that waited with nothing (its interval timer);
      // only reads that come back empty at once, again and again, say
      // that the line is gone.
      emptyAtOnce_ = 0;
      std::size_t n = got < cap ? got : cap;
      std::memcpy(buffer, chunk_, n);
      // A read that ended before its buffer was full ended on the interval
      // time-out: the line has been quiet for the gap.
      return {n, false, got > 0 && got < want_};
    }
    DWORD errors = 0;
    COMSTAT stat;
    if (!ClearCommError(port_, &errors, &stat) || ++emptyAtOnce_ >= 3) return {0, true, false};
    WaitForSingleObject(wake_, 10);  // not a spin while it is being judged
    return {0, false, false};
  }

  // Whether a failed read means the line is gone. A read cancelled because
  // the port is being closed does not.
  static bool Gone(DWORD error) { return error != ERROR_OPERATION_ABORTED; }

  HANDLE port_;
  HANDLE wake_;
  HANDLE readEvent_;
  HANDLE writeEvent_;
  OVERLAPPED readOv_{};
  bool readPending_ = false;
  DWORD want_ = 0;
  int emptyAtOnce_ = 0;
  bool writeGaveUp_ = false;
  std::uint8_t chunk_[kChunk];
};

// A thread of the system. The reader's code touches the C runtime (the trace
// log's files, time stamps) only through msvcrt.dll, which sets up and
// releases its own per-thread data for any thread, and never the thread
// library of the C++ runtime.
class Win32ReaderThread final : public ReaderThread {
 public:
  Win32ReaderThread(Body body, void *context) : body_(body), context_(context) {
    thread_ = CreateThread(nullptr, 0, &Run, this, 0, nullptr);
    if (thread_ == nullptr)
      throw std::system_error(static_cast<int>(GetLastError()), std::system_category(),
                              "CreateThread");
  }
  ~Win32ReaderThread() override {
    WaitForSingleObject(thread_, INFINITE);
    CloseHandle(thread_);
  }

 private:
  static DWORD WINAPI Run(LPVOID self) {
    auto *thread = static_cast<Win32ReaderThread *>(self);
    thread->body_(thread->context_);
    return 0;
  }

  Body body_;
  void *context_;
  HANDLE thread_ = nullptr;
};

}  // namespace

std::unique_ptr<ReaderThread> ReaderThread::Start(Body body, void *context) {
  return std::make_unique<Win32ReaderThread>(body, context);
}

bool SerialDevice::DevicePath(const char *name, char *out, std::size_t cap) {
  int n = FormatText(out, cap, "\\\\.\\%s", OrEmpty(name));
  return n >= 0 && static_cast<std::size_t>(n) < cap;
}

std::unique_ptr<SerialDevice> SerialDevice::Open(const char *name, std::uint32_t baudRate,
                                                 std::uint32_t quietMs) {
  char path[64];
  if (!DevicePath(name, path, sizeof path)) return nullptr;
  HANDLE port = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OVERLAPPED, nullptr);
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
  timeouts.ReadIntervalTimeout = quietMs;
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

  HANDLE events[3] = {};
  for (HANDLE &e : events) {
    e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (e == nullptr) {
      for (HANDLE made : events)
        if (made != nullptr) CloseHandle(made);
      CloseHandle(port);
      return nullptr;
    }
  }
  try {
    return std::make_unique<Win32SerialDevice>(port, events[0], events[1], events[2]);
  } catch (...) {
    for (HANDLE e : events) CloseHandle(e);
    CloseHandle(port);  // a port that is not ours to use is not kept held
    throw;
  }
}

}  // namespace torvex::sat
