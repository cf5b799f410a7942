// Vavevi: the comm thread of the serial component (vavevi_threads.cpp).
#pragma once

#include <windows.h>

#include "nrexport.h"
#include "rtthread.h"

class TnrCustomComm;

// Waits on the port and posts each set of event bits to the message thread.
class VAVEVI_API TMsgThread;

class VAVEVI_API TCommThread : public TThread {
 public:
  // Posts to target, which outlives this thread.
  TCommThread(TnrCustomComm *comm, TMsgThread *target);
  ~TCommThread() override;
  void Terminate() override;  // also wakes the thread
  HANDLE WakeEvent() const { return wait_->overlapped.hEvent; }
  // Waits until the thread has started its first wait on the port (or has
  // ended).
  bool WaitWatching(DWORD ms) const;

 protected:
  void Execute() override;

 private:
  bool Post(WPARAM events, LPARAM request);

  // The record of the overlapped wait and the mask it fills. The system
  // writes both until the wait has completed; a wait that a cancel did not
  // end in time keeps its record (and event) for the rest of the process
  // rather than have the system write into freed memory.
  struct WaitRecord {
    OVERLAPPED overlapped;
    DWORD mask;
  };

  TnrCustomComm *comm_;
  TMsgThread *target_;
  HANDLE handle_;
  WaitRecord *wait_ = nullptr;
  HANDLE watching_ = nullptr;
  HANDLE stop_ = nullptr;  // set by Terminate
};
