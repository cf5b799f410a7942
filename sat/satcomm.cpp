#include "satcomm.h"

#include <cstring>

#include "clock.h"
#include "text.h"

namespace torvex::sat {

SerialPortType SerialPort;

TSerialReader::TSerialReader(SerialDevice &device, std::uint32_t gapMs, ReceptionHandler handler,
                             LineLostHandler lost)
    : device_(device),
      gap_(gapMs),
      handler_(handler),
      lost_(lost),
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

void TSerialReader::Deliver() {
  std::size_t used = handler_ ? handler_(buffer_.get(), count_) : count_;
  // A full buffer that the handler cannot use is dropped whole, so that
  // collection can go on.
  if (used > count_ || (used == 0 && count_ == kReceiveBufferSize)) used = count_;
  if (used < count_) std::memmove(buffer_.get(), buffer_.get() + used, count_ - used);
  count_ -= used;
  held_ = count_;
}

// Collects bytes in reads of up to 1024 bytes, blocking in the device until
// bytes come, the gap runs out or the port is being closed: it never spins.
// A burst is delivered once more than gap milliseconds have passed without
// new bytes. A burst that fills the receive buffer (a frame longer than any
// the device may send) is delivered at once as it stands, and the rest of
// that burst, up to the next gap, is dropped: it is the tail of the same
// over-long frame, not a frame of its own. Bytes the handler left (a frame
// still arriving) are handed over again only once new bytes have come.
void TSerialReader::Execute() {
  bool discarding = false;
  std::uint32_t last = TickMs();
  while (!Terminated()) {
    // While a burst is being collected, wait no longer than the gap; the
    // gap is judged only after a read found nothing more, so bytes already
    // waiting in the port are never mistaken for silence.
    bool collecting = count_ > held_ || discarding;
    std::int32_t wait = -1;
    if (collecting) {
      std::uint32_t elapsed = TickMs() - last;
      wait = elapsed > gap_ ? 0 : static_cast<std::int32_t>(gap_ - elapsed + 1);
    }
    std::size_t room = kReceiveBufferSize - count_;
    SerialDevice::ReadResult got =
        device_.ReadWait(buffer_.get() + count_, room < 1024 ? room : 1024, wait);
    if (got.lineLost) {
      // Nothing more will come: hand over what did, then say so.
      if (count_ > held_ && !discarding) Deliver();
      if (lost_) lost_();
      while (!Terminated()) device_.WaitWake(-1);
      break;
    }
    if (got.count > 0) {
      last = TickMs();
      if (discarding) continue;
      count_ += got.count;
      if (count_ == kReceiveBufferSize) {
        Deliver();
        if (count_ == 0) discarding = true;
        last = TickMs();
      } else if (got.burstEnded) {
        Deliver();  // the device saw the gap pass already
      }
    } else if (collecting && static_cast<std::uint32_t>(TickMs() - last) > gap_) {
      if (count_ > held_ && !discarding) Deliver();
      discarding = false;
    }
  }
  device_.StopReading();
}

void SerialPortType::PortInit() {
  open_ = false;
  GapTime = 35;
}

bool SerialPortType::PortOpen(const char *name, std::uint32_t baudRate, ReceptionHandler handler,
                              LineLostHandler lost) {
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
  std::unique_ptr<TSerialReader> reader =
      std::make_unique<TSerialReader>(*device, GapTime, handler, lost);
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
