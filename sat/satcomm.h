// The one plain serial port through which every command reaches the device,
// and its reader thread. The port is opened and closed around every command.
// While it is open, a TSerialReader collects the bytes the device sends and
// hands each burst to the reception handler once the line has been quiet for
// GapTime milliseconds: the device's frames are told apart by silence alone.
// When the line goes away (the device was unplugged or its end closed), the
// reader delivers what it has and calls the line-lost handler once.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <thread>

#include "satlimits.h"
#include "serialdevice.h"

namespace torvex::sat {

// Called on the reader thread with the bytes collected so far. Returns how
// many of them it has dealt with; the others (the start of a frame whose
// rest has not arrived yet) stay in the receive buffer and are handed over
// again, with what follows them, at the end of the next burst.
using ReceptionHandler = std::size_t (*)(const std::uint8_t *bytes, std::size_t count);
// Called on the reader thread, once, when the line is gone.
using LineLostHandler = void (*)();

// Capacity of the reader's receive buffer: 2 MiB of payload plus the frame's
// 13-byte header and checksum, so that the largest frame fits in one burst.
inline constexpr std::size_t kReceiveBufferSize = kBufSize + kReplyHeader + 1;

// The reader thread. It owns its receive buffer; the port belongs to the
// SerialPort. Destroying it terminates the thread and waits for it to end.
class TSerialReader {
 public:
  TSerialReader(SerialDevice &device, std::uint32_t gapMs, ReceptionHandler handler,
                LineLostHandler lost);
  ~TSerialReader();
  TSerialReader(const TSerialReader &) = delete;
  TSerialReader &operator=(const TSerialReader &) = delete;

  void Terminate();
  bool Terminated() const { return terminated_.load(std::memory_order_acquire); }

 private:
  void Execute();
  // Hands the collected bytes to the handler and keeps what it left.
  void Deliver();

  SerialDevice &device_;
  std::uint32_t gap_;
  ReceptionHandler handler_;
  LineLostHandler lost_;
  std::size_t count_ = 0;  // bytes in the buffer
  std::size_t held_ = 0;   // of which the handler left for later
  std::unique_ptr<std::uint8_t[]> buffer_;
  std::atomic<bool> terminated_{false};
  std::thread thread_;  // started last, once every field is set
};

class SerialPortType {
 public:
  // Port closed, gap time 35 ms. Run once when the library is loaded.
  void PortInit();
  // Opens the named port and starts its reader. True when open; if the port
  // is open already, true at once whatever name is passed. A name longer
  // than 9 characters is refused. Throws (std::bad_alloc, std::system_error)
  // when the reader cannot be created; the port is then left closed.
  bool PortOpen(const char *name, std::uint32_t baudRate, ReceptionHandler handler,
                LineLostHandler lost = nullptr);
  // True when all count bytes were written within limitMs milliseconds; on a
  // closed port only count 0 is "written".
  bool PortWrite(const std::uint8_t *bytes, std::size_t count, std::int64_t limitMs);
  // Stops the reader, waits for it to end, closes the port. Bytes collected
  // but not yet delivered are dropped. Harmless on a closed port.
  bool PortClose();

  bool IsOpen() const { return open_; }
  const char *Name() const { return name_; }
  std::uint32_t GapTime = 35;

 private:
  char name_[kSerialNameSize] = {};
  std::uint32_t baudRate_ = 0;
  bool open_ = false;
  std::unique_ptr<SerialDevice> device_;
  std::unique_ptr<TSerialReader> reader_;
};

extern SerialPortType SerialPort;

inline void PortInit() { SerialPort.PortInit(); }
inline bool PortOpen(const char *name, std::uint32_t baud, ReceptionHandler handler,
                     LineLostHandler lost = nullptr) {
  return SerialPort.PortOpen(name, baud, handler, lost);
}
inline bool PortWrite(const std::uint8_t *bytes, std::size_t count, std::int64_t limitMs) {
  return SerialPort.PortWrite(bytes, count, limitMs);
}
inline bool PortClose() { return SerialPort.PortClose(); }

}  // namespace torvex::sat
