// The one plain serial port through which every command reaches the device,
// and its reader thread. The port is opened and closed around every command.
// While it is open, a TSerialReader collects the bytes the device sends and
// hands each burst to the reception handler once the line has been quiet for
// GapTime milliseconds: the device's frames are told apart by silence alone.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <thread>

#include "satlimits.h"
#include "serialdevice.h"

namespace torvex::sat {

using ReceptionHandler = void (*)(const std::uint8_t *bytes, std::size_t count);

// Capacity of the reader's receive buffer: 2 MiB of payload plus the frame's
// 13-byte header and checksum, so that the largest frame fits in one burst.
inline constexpr std::size_t kReceiveBufferSize = kBufSize + kReplyHeader + 1;

// The reader thread. It owns its receive buffer; the port belongs to the
// SerialPort. Destroying it terminates the thread and waits for it to end.
class TSerialReader {
 public:
  TSerialReader(SerialDevice &device, std::uint32_t gapMs, ReceptionHandler handler);
  ~TSerialReader();
  TSerialReader(const TSerialReader &) = delete;
  TSerialReader &operator=(const TSerialReader &) = delete;

  void Terminate();
  bool Terminated() const { return terminated_.load(std::memory_order_acquire); }

 private:
  void Execute();

  SerialDevice &device_;
  std::uint32_t gap_;
  ReceptionHandler handler_;
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
  // than 9 characters is refused.
  bool PortOpen(const char *name, std::uint32_t baudRate, ReceptionHandler handler);
  // True when all count bytes were written; on a closed port only count 0
  // is "written".
  bool PortWrite(const std::uint8_t *bytes, std::size_t count);
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
inline bool PortOpen(const char *name, std::uint32_t baud, ReceptionHandler handler) {
  return SerialPort.PortOpen(name, baud, handler);
}
inline bool PortWrite(const std::uint8_t *bytes, std::size_t count) {
  return SerialPort.PortWrite(bytes, count);
}
inline bool PortClose() { return SerialPort.PortClose(); }

}  // namespace torvex::sat
