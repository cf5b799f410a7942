#include "command_state.h"

#include "platform.h"

namespace torvex::sat {

namespace {
// Made when the library is loaded; about 30 MiB, mostly zero pages that
// the system gives only once written.
CommandState g_commandState;

// The compression library, loaded on first need, is given back when the
// library is unloaded: a host that loads and unloads it again and again
// would otherwise pile up references to zlib, which then never leaves the
// process. (Made after the state, so it goes first.)
struct ZlibRelease {
  ~ZlibRelease() {
    FreeZlibModule(g_commandState.ZlibModule);
    g_commandState.ZlibModule = nullptr;
  }
} g_zlibRelease;
}  // namespace

CommandState &TheCommandState() { return g_commandState; }

}  // namespace torvex::sat
