// The reader of the serial port: a thread that collects the bytes the
// device sends and hands each burst to the reception side once the line has
// been quiet for the gap (35 ms): the device's frames are told apart by
// silence alone. When the line goes away (the device was unplugged or its
// end closed), the reader hands over what it has and says so once.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "satlimits.h"
#include "serial_device.h"

namespace torvex::sat {

// What the reader hands its bytes to. Both calls come on the reader's
// thread, one at a time.
class ReceptionSink {
 public:
  // The bytes collected so far. Returns how many of them it has dealt with;
  // the others (the start of a frame whose rest has not arrived yet) stay in
  // the receive buffer and are handed over again, with what follows them, at
  // the end of the next burst.
  virtual std::size_t Received(const std::uint8_t *bytes, std::size_t count) = 0;
  // The line is gone: nothing more will come. Called once.
  virtual void LineLost() = 0;

 protected:
  ~ReceptionSink() = default;
};

// Capacity of the reader's receive buffer: 2 MiB of payload plus the frame's
// 13-byte header and checksum, so that the largest frame fits in one burst.
inline constexpr std::size_t kReceiveBufferSize = kBufSize + kReplyHeader + 1;

// The reader. It owns its receive buffer and its thread; the port belongs to
// the serial port object. Destroying the reader terminates its thread and
// waits for it to end.
class TSerialReader {
 public:
  // Starts the thread once every field is set. Throws (std::bad_alloc,
  // std::system_error) when the buffer or the thread cannot be had.
  TSerialReader(SerialDevice &device, std::uint32_t gapMs, ReceptionSink &sink);
  ~TSerialReader();
  TSerialReader(const TSerialReader &) = delete;
  TSerialReader &operator=(const TSerialReader &) = delete;

  void Terminate();
  bool Terminated() const { return terminated_.load(std::memory_order_acquire); }

 private:
  static void Run(void *self);
  void Execute();
  // Hands the collected bytes to the sink and keeps what it left.
  void Deliver();

  SerialDevice &device_;
  std::uint32_t gap_;
  ReceptionSink &sink_;
  std::size_t count_ = 0;  // bytes in the buffer
  std::size_t held_ = 0;   // of which the sink left for later
  std::unique_ptr<std::uint8_t[]> buffer_;
  std::atomic<bool> terminated_{false};
  std::unique_ptr<ReaderThread> thread_;  // started last
};

}  // namespace torvex::sat
