#include "serial_reader.h"

#include <cstring>

#include "clock.h"

namespace torvex::sat {

TSerialReader::TSerialReader(SerialDevice &device, std::uint32_t gapMs, ReceptionSink &sink)
    : device_(device),
      gap_(gapMs),
      sink_(sink),
      buffer_(new std::uint8_t[kReceiveBufferSize]),
      thread_(ReaderThread::Start(&TSerialReader::Run, this)) {}

TSerialReader::~TSerialReader() {
  Terminate();
  thread_.reset();  // joins
}

void TSerialReader::Terminate() {
  terminated_.store(true, std::memory_order_release);
  device_.Wake();
}

void TSerialReader::Run(void *self) { static_cast<TSerialReader *>(self)->Execute(); }

void TSerialReader::Deliver() {
  std::size_t used = sink_.Received(buffer_.get(), count_);
  // A full buffer that the sink cannot use is dropped whole, so that
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
// over-long frame, not a frame of its own. Bytes the sink left (a frame
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
      sink_.LineLost();
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

}  // namespace torvex::sat
