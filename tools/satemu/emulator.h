// The device's main loop: waits (in poll, never spinning) for bytes from the
// library or a termination signal, cuts the bytes into command frames, has
// the device answer each command and sends the answer, shaped by the fault
// chosen for it.
#pragma once

#include <chrono>
#include <random>

#include "console_log.h"
#include "fault_plan.h"
#include "frame_codec.h"
#include "sat_device.h"
#include "serial_link.h"

namespace satemu {

class Emulator {
 public:
  // `stop_fd` becomes readable when the emulator must end (a signalfd).
  Emulator(SerialLink &link, SatDevice &device, FaultPlan &faults, ConsoleLog &log, int stop_fd,
           std::uint32_t seed);

  // Runs until a stop signal (returns 0), a `vanish` fault (0) or the loss of
  // the line (1).
  int run();

  // Silence after which a partial frame is dropped.
  static constexpr int kStaleMs = 500;
  // A write that makes no progress for this long is abandoned.
  static constexpr int kWriteStallMs = 3000;

 private:
  enum class Flow { Go, Stop, Vanish, Unplug };
  Flow answer(const CommandFrame &frame);
  Flow pause(int ms);  // sleeps, but wakes for a stop signal
  Flow write_all(std::string_view bytes);
  bool stop_requested();

  SerialLink &link_;
  SatDevice &device_;
  FaultPlan &faults_;
  ConsoleLog &log_;
  int stop_fd_;
  std::mt19937 rng_;
  CommandDecoder decoder_;
  int unplug_ms_ = 0;
  SequenceTracker sequence_;
};

}  // namespace satemu
