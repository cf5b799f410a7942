// What the C++ runtime needs from the thread system, in a module that is
// loaded and unloaded many times in one process (Windows).
//
// A DLL that links the C and C++ runtimes statically carries its own
// copy of the runtime's thread-dependent parts. Two of them, as the MinGW-w64
// runtime ships them, take something from the process that an unload never
// gives back:
//
// - Once-only initialisation (`pthread_once`, behind the exception
//   unwinder's lock, the locale set-up and thread-safe function-local
//   statics): the thread library gives the calling thread a record of its
//   own, with a thread-local slot of the process and an event, that outlives
//   the module. On 32-bit Windows the unwinder registers the module's frame
//   tables while the module loads, so every load lost a slot and a handle,
//   and after about a thousand loads the process had no slot left.
// - Thread-local variables (`thread_local`, and the C++ runtime's own
//   per-thread exception record, used by every throw): kept under a key of
//   that same thread library (or a system slot of their own), never freed.
//
// This unit replaces both with versions that hold nothing of the process
// once the module is gone (and frees the C++ runtime's reserve for raising
// exceptions without memory, about 70 KiB kept from load on):
//
// - `__wrap_pthread_once` (the module is linked with
//   `-Wl,--wrap=pthread_once`): a once-only call that waits on a
//   statically initialised slim lock and condition variable. No record, no
//   handle, nothing to give back.
// - `__emutls_get_address` (defined here, so the runtime's own version is
//   never linked): thread-local variables live in one block per thread
//   under one system thread-local slot. A thread's block is freed when the
//   thread ends; at unload every block that is left and the slot are given
//   back.
//
// The build links this unit into every module that is loaded and unloaded
// (the library's DLL), and checks the link map of each: neither the thread
// library's thread records nor the runtime's own thread-local variables
// may be linked (cmake/TorvexModuleRuntime.cmake).
#pragma once

#include <cstddef>

namespace rt {

// Thread-local blocks alive now (one per thread that has used a
// thread-local variable of the module and not yet ended). For tests.
std::size_t CrtThreadBlocks();

}  // namespace rt
