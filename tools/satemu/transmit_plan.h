// How one answer goes out on the line: which bytes, in which pieces, after
// which pauses. The normal answer is a single data frame written at once;
// a fault reshapes it.
#pragma once

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "fault_plan.h"

namespace satemu {

struct TransmitStep {
  int delay_ms = 0;   // pause before these bytes
  std::string bytes;  // written in one write
};

struct TransmitPlan {
  std::vector<TransmitStep> steps;  // empty: nothing is sent
  bool vanish = false;              // close the line and end the device
  int unplug_ms = -1;               // >= 0: close the line, make it anew this much later
  int stall_ms = 0;                 // read nothing for this long after the command
};

// Silence that separates two frames (the library splits frames on 35 ms).
inline constexpr int kFrameGapMs = 60;

TransmitPlan plan_transmission(const std::optional<FaultRule> &fault, std::uint8_t sequence,
                               std::string_view payload, std::mt19937 &rng);

// The payload a `reply` or `salereply` fault sends instead of the device's
// answer, for the command with this session number.
std::string fault_payload(const FaultRule &fault, std::string_view session);

// True for faults whose answer replaces the device's: the command is then not
// carried out (the device was busy, went away, or a test scripted the answer).
bool fault_replaces_answer(const FaultRule &fault);

}  // namespace satemu
