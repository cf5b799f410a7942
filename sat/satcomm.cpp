#include "satcomm.h"

#include <cstring>

#include "clock.h"
#include "text.h"

namespace torvex::sat {

SerialPortType SerialPort;

TSerialReader::TSerialReader(SerialDevice &device, std::uint32_t gapMs, ReceptionHandler handler)
    : device_(device),
      gap_(gapMs),
      handler_(handler),
      buffer_(new std::uint8_t[kReceiveBufferSize]),
      thread_([this] { Execute(); }) {}

TSerialReader::~TSerialReader() {
  Terminate();
  if (thread_.joinable()) thread_.join();
}

void TSerialReader::Terminate() {
  terminated_.store(true, std::memory_order_release);
  device_.Wake();
}

// Collects bytes in 1024-byte reads. A burst is delivered once more than gap
// milliseconds have passed without new bytes. A burst that fills the receive
// buffer (a frame longer than any the device may send) is delivered at once
// as it stands, and the rest of that burst, up to the next gap, is dropped:
// it is the tail of the same over-long frame, not a frame of its own.
// Between reads that bring nothing the thread sleeps until input may be
// there or the gap runs out; it never spins.
void TSerialReader::Execute() {
  std::size_t count = 0;
  bool discarding = false;
  std::uint32_t last = TickMs();
  for (;;) {
    std::size_t room = kReceiveBufferSize - count;
    std::size_t got = device_.Read(buffer_.get() + count, room < 1024 ? room : 1024);
    if (got > 0) {
      last = TickMs();
      if (!discarding) {
        count += got;
        if (count == kReceiveBufferSize) {
          if (handler_) handler_(buffer_.get(), count);
          count = 0;
          discarding = true;
        }
      }
    } else if ((count != 0 || discarding) && static_cast<std::uint32_t>(TickMs() - last) > gap_) {
      if (count != 0 && handler_) handler_(buffer_.get(), count);
      count = 0;
      discarding = false;
    }
    if (Terminated()) break;
    if (got == 0) {
      std::int32_t wait = -1;
      if (count != 0 || discarding) {
        std::uint32_t elapsed = TickMs() - last;
        wait = elapsed > gap_ ? 0 : static_cast<std::int32_t>(gap_ - elapsed + 1);
      }
      device_.WaitInput(wait);
    }
  }
}

void SerialPortType::PortInit() {
  open_ = false;
  GapTime = 35;
}

bool SerialPortType::PortOpen(const char *name, std::uint32_t baudRate, ReceptionHandler handler) {
  if (open_) return true;
  name = OrEmpty(name);
  if (std::strlen(name) >= sizeof name_) return false;
  CopyText(name_, sizeof name_, name);
  baudRate_ = baudRate;
  device_ = SerialDevice::Open(name_, baudRate_);
  if (!device_) return false;
  open_ = true;
  reader_ = std::make_unique<TSerialReader>(*device_, GapTime, handler);
  return true;
}

bool SerialPortType::PortWrite(const std::uint8_t *bytes, std::size_t count) {
  if (!open_) return count == 0;
  return device_->Write(bytes, count);
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
