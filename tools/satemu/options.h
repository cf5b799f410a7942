// The command line of satemu.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "fault_plan.h"

namespace satemu {

struct Options {
  std::string link;     // --link PATH
  std::string device;   // --device PATH
  std::string state;    // --state DIR (empty: a temporary state)
  std::string control;  // --control FILE
  std::vector<FaultRule> faults;
  bool verbose = false;
  bool help = false;
  // How a fresh device is made.
  bool activated = false;
  std::string codigo = "12345678";
  std::string cnpj = "11222333000181";
  int cuf = 35;
  std::string serial = "900004019";
  std::optional<std::uint32_t> seed;
};

// Nothing (and a message in `error`) when the command line is wrong.
std::optional<Options> parse_options(const std::vector<std::string> &args, std::string &error);

extern const char kUsage[];

}  // namespace satemu
