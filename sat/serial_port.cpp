#include "serial_port.h"

#include <cstring>

#include "text.h"

namespace torvex::sat {

bool SerialPortType::PortOpen(const char *name, std::uint32_t baudRate, ReceptionSink &sink) {
  if (open_) return true;
  name = OrEmpty(name);
  if (std::strlen(name) >= sizeof name_) return false;
  CopyText(name_, sizeof name_, name);
  baudRate_ = baudRate;
  std::unique_ptr<SerialDevice> device = SerialDevice::Open(name_, baudRate_, GapTime);
  if (!device) return false;
  // The reader is created before the port counts as open: if it cannot be
  // (no memory for its buffer, no thread), the exception leaves the object
  // closed and the device is closed again by its owner going out of scope.
  std::unique_ptr<TSerialReader> reader = std::make_unique<TSerialReader>(*device, GapTime, sink);
  device_ = std::move(device);
  reader_ = std::move(reader);
  open_ = true;
  return true;
}

bool SerialPortType::PortWrite(const std::uint8_t *bytes, std::size_t count, std::int64_t limitMs) {
  if (!open_) return count == 0;
  return device_->Write(bytes, count, limitMs);
}

bool SerialPortType::PortClose() {
  if (open_) {
    reader_.reset();  // terminates the reader and joins it
    device_.reset();  // closes the port
  }
  open_ = false;
  return true;
}

}  // namespace torvex::sat
