// Vavevi: the message thread of the serial component (vavevi_threads.cpp).
#pragma once

#include <windows.h>

#include <atomic>

#include "nrexport.h"
#include "rtthread.h"

class TnrCustomComm;

// Runs a message loop and has the component's WinProc handle each
// comm-event message.
class VAVEVI_API TMsgThread : public TThread {
 public:
  explicit TMsgThread(TnrCustomComm *comm);
  ~TMsgThread() override;
  // Sets the terminated flag and posts the quit message; the post's result
  // is kept in QuitPosted.
  void Terminate() override;
  bool QuitPosted() const { return quitPosted_; }
  // Waits until the thread has its message queue.
  bool WaitReady(DWORD ms) const { return WaitForSingleObject(ready_, ms) == WAIT_OBJECT_0; }
  // Set each time WinProc has finished a comm-event message (auto reset).
  HANDLE HandledEvent() const { return handled_; }

 protected:
  void Execute() override;
  void ProcessMess();

 private:
  TnrCustomComm *comm_;
  MSG message_{};
  HANDLE ready_;
  HANDLE handled_;
  std::atomic<bool> quitPosted_{false};
};
