// Threads of the class library: Win32 threads with a Terminated flag.
// (Started with _beginthreadex, so they have a real Win32 handle and id.)
//
// A thread object is created suspended, so that its Win32 handle and thread
// id exist before it runs (another thread may already post messages to it);
// Start lets it run Execute. Terminate only sets the flag; Execute is expected
// to look at Terminated and return. A subclass may override Terminate to wake
// its thread as well (posting a quit message, signalling an event).
//
// Destruction terminates the thread and waits for it. Because a subclass's
// members are gone by the time the base destructor runs, a subclass whose
// Execute uses its own members calls Stop() at the start of its own
// destructor; Stop also reaches an overridden Terminate.
//
// Synchronize runs a call on the host's main thread when the host has an
// application object (see rtapplication.h), and directly otherwise.
#pragma once

#include <windows.h>

#include <atomic>
#include <exception>
#include <functional>

#include "rtcomponent.h"

class RT_API TThread : public TObject {
 public:
  TThread();
  ~TThread() override;

  void Start();              // lets a new thread run; later calls do nothing
  virtual void Terminate();  // sets Terminated
  bool Terminated() const { return terminated_.load(std::memory_order_acquire); }
  bool Finished() const { return finished_.load(std::memory_order_acquire); }
  void Stop();      // Terminate, then WaitFor
  DWORD WaitFor();  // waits for the thread to end; its exit code
                    // (raises when called on the thread itself)

  HANDLE Handle() const { return handle_; }
  DWORD ThreadID() const { return threadId_; }
  // An exception that escaped Execute, kept for whoever wants to know.
  std::exception_ptr FatalException() const { return fatal_; }

  static void Synchronize(const std::function<void()> &call);

 protected:
  virtual void Execute() = 0;

 private:
  static unsigned __stdcall ThreadProc(void *self);

  HANDLE handle_ = nullptr;
  DWORD threadId_ = 0;
  bool started_ = false;
  std::atomic<bool> terminated_{false};
  std::atomic<bool> finished_{false};
  std::exception_ptr fatal_;
};
