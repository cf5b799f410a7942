// TLock: the class library's lock, for std::lock_guard and std::unique_lock.
//
// On Windows a slim reader/writer lock of the system: constant-initialised,
// no handle and nothing to release, so a module that is loaded and unloaded
// many times leaves nothing behind (the C++ library's std::mutex keeps a
// record of the thread library per lock, and an event once contended, for
// good). Not recursive. Elsewhere a std::mutex.
#pragma once

#if defined(_WIN32)
#include <windows.h>

namespace rt {
class TLock {
 public:
  constexpr TLock() = default;
  TLock(const TLock &) = delete;
  TLock &operator=(const TLock &) = delete;
  void lock() { AcquireSRWLockExclusive(&lock_); }
  bool try_lock() { return TryAcquireSRWLockExclusive(&lock_) != 0; }
  void unlock() { ReleaseSRWLockExclusive(&lock_); }

 private:
  SRWLOCK lock_ = SRWLOCK_INIT;
};
}  // namespace rt
#else
#include <mutex>

namespace rt {
using TLock = std::mutex;
}  // namespace rt
#endif
