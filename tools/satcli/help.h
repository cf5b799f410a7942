// The help texts of satcli, made from the command table.
#pragma once

#include "command_table.h"

#include <string>

namespace satcli {

// The general help: usage, global options and every command with its
// arguments.
[[nodiscard]] std::string generalHelp();

// One command's help: its usage line, what it does, its options.
[[nodiscard]] std::string commandHelp(const CommandRow &command);

// "satcli NAME [--sessao N] --opt VALUE ..." for one command.
[[nodiscard]] std::string usageLine(const CommandRow &command);

}  // namespace satcli
