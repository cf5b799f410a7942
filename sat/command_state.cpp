#include "command_state.h"

namespace torvex::sat {

namespace {
// Made when the library is loaded; about 30 MiB, mostly zero pages that
// the system gives only once written.
CommandState g_commandState;
}  // namespace

CommandState &TheCommandState() { return g_commandState; }

}  // namespace torvex::sat
