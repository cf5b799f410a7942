// The one plain serial port through which every command reaches the device.
// The port is opened and closed around every command; while it is open, a
// TSerialReader (serial_reader.h) collects what the device sends and hands
// it to the reception side given at the open.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>

#include "satlimits.h"
#include "serial_device.h"
#include "serial_reader.h"

namespace torvex::sat {

// A new object is what PortInit makes of it: closed, gap time 35 ms.
class SerialPortType {
 public:
  SerialPortType() = default;
  ~SerialPortType() { PortClose(); }
  SerialPortType(const SerialPortType &) = delete;
  SerialPortType &operator=(const SerialPortType &) = delete;

  // Opens the named port and starts its reader, which hands what it reads
  // to sink. True when open; if the port is open already, true at once
  // whatever name is passed. A name longer than 9 characters is refused.
  // Throws (std::bad_alloc, std::system_error) when the reader cannot be
  // created; the port is then left closed.
  bool PortOpen(const char *name, std::uint32_t baudRate, ReceptionSink &sink);
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

}  // namespace torvex::sat
