// Once-only calls and thread-local variables for the C++ runtime of a module
// that is loaded and unloaded many times (see rtcrt_win32.h).
#include "rtcrt_win32.h"

#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "rtunits.h"

namespace __gnu_cxx {
// Frees the reserve the C++ runtime keeps for raising exceptions when memory
// runs out (about 70 KiB, allocated at load).
void __freeres();
}  // namespace __gnu_cxx

extern "C" {
// The MinGW-w64 C runtime runs these at the end of every thread of the
// module (and of the thread that unloads it) with the slot's value.
int __mingwthr_key_dtor(DWORD key, void (*dtor)(void *));
int __mingwthr_remove_key_dtor(DWORD key);
}

namespace {

// ---------------------------------------------------------------- once

// One slim lock and condition variable for every once-only call of the
// module: statically initialised, no handle, nothing to release. A call
// that finds another thread running the same initialisation sleeps on the
// condition variable until it is done.
SRWLOCK g_onceLock = SRWLOCK_INIT;
CONDITION_VARIABLE g_onceDone = CONDITION_VARIABLE_INIT;

enum : long { kOnceFresh = 0, kOnceRunning = 1, kOnceDone = 2 };

void SetOnce(volatile long *once, long state) {
  AcquireSRWLockExclusive(&g_onceLock);
  __atomic_store_n(once, state, __ATOMIC_RELEASE);
  ReleaseSRWLockExclusive(&g_onceLock);
  WakeAllConditionVariable(&g_onceDone);
}

// ------------------------------------------------------- thread-locals

// The layout the compiler gives each thread-local variable (GCC's emulated
// thread-local storage). `index` is 0 until the variable is first used,
// then its place (from 1) in every thread's block.
struct EmutlsObject {
  std::uintptr_t size;
  std::uintptr_t align;
  std::uintptr_t index;
  const void *initial;  // the initial bytes, or null for zeros
};

// One thread's variables. Every block is on one list, so that unloading the
// module frees the blocks of threads that are still running.
struct Block {
  Block *prev;
  Block *next;
  std::size_t count;
  void *variables[1];  // count entries; each null until first used
};

// Globals by design: the runtime's thread-local variables belong to the whole
// module, and unloading it must find and free every thread's block.
SRWLOCK g_tlsLock = SRWLOCK_INIT;
// Under g_tlsLock (the slot is also read without it, atomically).
DWORD g_slot = TLS_OUT_OF_INDEXES;
std::uintptr_t g_lastIndex = 0;
Block *g_blocks = nullptr;
std::size_t g_blockCount = 0;

std::size_t BlockBytes(std::size_t count) { return sizeof(Block) + (count - 1) * sizeof(void *); }

void Link(Block *b) {
  b->prev = nullptr;
  b->next = g_blocks;
  if (g_blocks) g_blocks->prev = b;
  g_blocks = b;
  ++g_blockCount;
}

void Unlink(Block *b) {
  if (b->prev)
    b->prev->next = b->next;
  else
    g_blocks = b->next;
  if (b->next) b->next->prev = b->prev;
  --g_blockCount;
}

// A variable's storage: aligned, with the allocation's own address kept
// just before it.
void *NewVariable(const EmutlsObject *obj) {
  std::size_t align = obj->align < sizeof(void *) ? sizeof(void *) : obj->align;
  std::size_t size = obj->size;
  if (size > SIZE_MAX - align - sizeof(void *)) return nullptr;
  void *raw = std::malloc(size + align + sizeof(void *));
  if (!raw) return nullptr;
  std::uintptr_t at = (reinterpret_cast<std::uintptr_t>(raw) + sizeof(void *) + align - 1) &
                      ~static_cast<std::uintptr_t>(align - 1);
  void *p = reinterpret_cast<void *>(at);
  static_cast<void **>(p)[-1] = raw;
  if (obj->initial)
    std::memcpy(p, obj->initial, size);
  else
    std::memset(p, 0, size);
  return p;
}

void FreeBlock(Block *b) {
  for (std::size_t i = 0; i < b->count; ++i)
    if (b->variables[i]) std::free(static_cast<void **>(b->variables[i])[-1]);
  std::free(b);
}

// The end of a thread: its block goes.
void ThreadEnded(void *value) {
  auto *b = static_cast<Block *>(value);
  AcquireSRWLockExclusive(&g_tlsLock);
  Unlink(b);
  ReleaseSRWLockExclusive(&g_tlsLock);
  FreeBlock(b);
}

DWORD Slot() {
  DWORD slot = __atomic_load_n(&g_slot, __ATOMIC_ACQUIRE);
  if (slot != TLS_OUT_OF_INDEXES) return slot;
  AcquireSRWLockExclusive(&g_tlsLock);
  if (g_slot == TLS_OUT_OF_INDEXES) {
    slot = TlsAlloc();
    if (slot != TLS_OUT_OF_INDEXES) {
      __mingwthr_key_dtor(slot, &ThreadEnded);
      __atomic_store_n(&g_slot, slot, __ATOMIC_RELEASE);
    }
  }
  slot = g_slot;
  ReleaseSRWLockExclusive(&g_tlsLock);
  return slot;
}

std::uintptr_t IndexOf(EmutlsObject *obj) {
  std::uintptr_t index = __atomic_load_n(&obj->index, __ATOMIC_ACQUIRE);
  if (index) return index;
  AcquireSRWLockExclusive(&g_tlsLock);
  index = obj->index;
  if (!index) {
    index = ++g_lastIndex;
    __atomic_store_n(&obj->index, index, __ATOMIC_RELEASE);
  }
  ReleaseSRWLockExclusive(&g_tlsLock);
  return index;
}

// The calling thread's block, grown to hold `index` variables.
Block *BlockFor(DWORD slot, std::uintptr_t index) {
  auto *b = static_cast<Block *>(TlsGetValue(slot));
  if (b && b->count >= index) return b;
  std::size_t count = b ? b->count : 0;
  std::size_t wanted = index + 16 > count * 2 ? index + 16 : count * 2;
  AcquireSRWLockExclusive(&g_tlsLock);
  if (b) Unlink(b);
  auto *grown = static_cast<Block *>(std::realloc(b, BlockBytes(wanted)));
  if (!grown) {
    if (b) Link(b);
    ReleaseSRWLockExclusive(&g_tlsLock);
    return nullptr;
  }
  std::memset(&grown->variables[count], 0, (wanted - count) * sizeof(void *));
  grown->count = wanted;
  Link(grown);
  ReleaseSRWLockExclusive(&g_tlsLock);
  TlsSetValue(slot, grown);
  return grown;
}

// The module is being unloaded: the exception reserve, every block that is
// left, and the slot go back to the process. Runs after every other unit
// and static object of the module. A thread-local used after this (nothing
// does) would start over with a new slot.
void Release() {
  __gnu_cxx::__freeres();
  AcquireSRWLockExclusive(&g_tlsLock);
  DWORD slot = g_slot;
  Block *blocks = g_blocks;
  g_blocks = nullptr;
  g_blockCount = 0;
  __atomic_store_n(&g_slot, TLS_OUT_OF_INDEXES, __ATOMIC_RELEASE);
  ReleaseSRWLockExclusive(&g_tlsLock);
  while (blocks) {
    Block *next = blocks->next;
    FreeBlock(blocks);
    blocks = next;
  }
  if (slot != TLS_OUT_OF_INDEXES) {
    __mingwthr_remove_key_dtor(slot);
    TlsSetValue(slot, nullptr);
    TlsFree(slot);
  }
}

const TUnitInit g_unit RT_UNIT_PLACE(kUnitCrt)(nullptr, &Release);

}  // namespace

// Called by the C++ runtime in place of the thread library's once-only
// call (the module is linked with -Wl,--wrap=pthread_once).
extern "C" int __wrap_pthread_once(volatile long *once, void (*init)(void)) {
  if (__atomic_load_n(once, __ATOMIC_ACQUIRE) == kOnceDone) return 0;
  AcquireSRWLockExclusive(&g_onceLock);
  while (*once == kOnceRunning) SleepConditionVariableSRW(&g_onceDone, &g_onceLock, INFINITE, 0);
  if (*once == kOnceDone) {
    ReleaseSRWLockExclusive(&g_onceLock);
    return 0;
  }
  *once = kOnceRunning;
  ReleaseSRWLockExclusive(&g_onceLock);
  try {
    init();
  } catch (...) {
    SetOnce(once, kOnceFresh);  // another caller may try again
    throw;
  }
  SetOnce(once, kOnceDone);
  return 0;
}

// Thread-safe initialisation of function-local statics, called by code the
// compiler generates, in place of the C++ runtime's (the module is linked
// with -Wl,--wrap for the three): that one waits on the thread library's
// condition variable, which gives a waiting thread a record of its own.
// The guard's first byte says "done" (read without the lock by the
// compiler's fast path), its second "being initialised".
extern "C" int __wrap___cxa_guard_acquire(std::uint64_t *guard) {
  auto *bytes = reinterpret_cast<volatile unsigned char *>(guard);
  if (__atomic_load_n(&bytes[0], __ATOMIC_ACQUIRE)) return 0;
  AcquireSRWLockExclusive(&g_onceLock);
  for (;;) {
    if (bytes[0]) {
      ReleaseSRWLockExclusive(&g_onceLock);
      return 0;
    }
    if (!bytes[1]) {
      bytes[1] = 1;  // this thread initialises
      ReleaseSRWLockExclusive(&g_onceLock);
      return 1;
    }
    SleepConditionVariableSRW(&g_onceDone, &g_onceLock, INFINITE, 0);
  }
}

extern "C" void __wrap___cxa_guard_release(std::uint64_t *guard) {
  auto *bytes = reinterpret_cast<volatile unsigned char *>(guard);
  AcquireSRWLockExclusive(&g_onceLock);
  bytes[1] = 0;
  __atomic_store_n(&bytes[0], 1, __ATOMIC_RELEASE);
  ReleaseSRWLockExclusive(&g_onceLock);
  WakeAllConditionVariable(&g_onceDone);
}

// The initialiser threw: another caller may try again.
extern "C" void __wrap___cxa_guard_abort(std::uint64_t *guard) {
  auto *bytes = reinterpret_cast<volatile unsigned char *>(guard);
  AcquireSRWLockExclusive(&g_onceLock);
  bytes[1] = 0;
  ReleaseSRWLockExclusive(&g_onceLock);
  WakeAllConditionVariable(&g_onceDone);
}

// The address of the calling thread's copy of a thread-local variable
// (called by code the compiler generates for every thread_local access).
extern "C" void *__emutls_get_address(EmutlsObject *obj) {
  const DWORD lastError = GetLastError();  // TlsGetValue clears it
  void *p = nullptr;
  DWORD slot = Slot();
  if (slot != TLS_OUT_OF_INDEXES) {
    std::uintptr_t index = IndexOf(obj);
    if (Block *b = BlockFor(slot, index)) {
      p = b->variables[index - 1];
      if (!p) p = b->variables[index - 1] = NewVariable(obj);
    }
  }
  SetLastError(lastError);
  if (!p) std::abort();  // as the runtime's own version does: no memory, no slot
  return p;
}

namespace rt {

std::size_t CrtThreadBlocks() {
  AcquireSRWLockShared(&g_tlsLock);
  std::size_t n = g_blockCount;
  ReleaseSRWLockShared(&g_tlsLock);
  return n;
}

}  // namespace rt
