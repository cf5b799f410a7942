// The application object: optional, one per process, created by a host
// program that has a main thread with a message loop.
//
// Threads hand calls to the main thread through Synchronize; the main thread
// runs them in ProcessMessages or CheckSynchronize. A host without an
// application object (a DLL called from a plain program) gets no
// synchronisation: Synchronize then runs the call on the calling thread.
#pragma once

#include <windows.h>

#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>

#include "rtlock.h"

#include "rtcomponent.h"

class RT_API TApplication : public TObject {
 public:
  TApplication();  // the creating thread becomes the main thread
  ~TApplication() override;

  DWORD MainThreadID() const { return mainThreadId_; }

  // Runs the call on the main thread and waits for it; an exception raised
  // by the call is raised again in the caller. On the main thread itself the
  // call runs at once.
  void Synchronize(const std::function<void()> &call);
  // On the main thread: runs every call waiting for it. True when one ran.
  bool CheckSynchronize();
  // Waits up to timeout ms for a kernel object (a thread's handle). On the
  // main thread the synchronised calls that arrive meanwhile are run, so a
  // thread that synchronises with the main thread can still end while the
  // main thread waits for it; nothing else is dispatched. Elsewhere a plain
  // wait. The result of WaitForSingleObject.
  DWORD WaitFor(HANDLE object, DWORD timeout);
  // Withdraws the calls that a thread has queued and that have not started:
  // they never run, and a thread still waiting for one gets an Exception
  // ("Synchronized call withdrawn"). For a thread that is to be ended
  // forcibly. The number withdrawn.
  int Withdraw(DWORD threadId);
  // On the main thread: dispatches the waiting window messages, then runs
  // the waiting synchronised calls.
  void ProcessMessages();

  // The standard error display: a message box with the error's text.
  virtual void ShowException(const std::exception &error);

 private:
  // Shared by the waiting thread and the queue, so that a request outlives a
  // waiter that was ended forcibly.
  struct Request {
    Request(const std::function<void()> &c, HANDLE d)
        : call(c), threadId(GetCurrentThreadId()), done(d) {}
    Request(const Request &) = delete;
    Request &operator=(const Request &) = delete;
    ~Request() { CloseHandle(done); }
    std::function<void()> call;
    DWORD threadId;
    HANDLE done;
    std::exception_ptr error;
  };
  DWORD mainThreadId_;
  rt::TLock lock_;
  std::deque<std::shared_ptr<Request>> queue_;
  HANDLE queued_;  // manual reset: set while the queue holds requests
};

// The process's application object, or nullptr.
RT_API TApplication *Application();

// Shows an error through the application object, or in a message box with
// no owner window when there is none.
RT_API void ShowException(const std::exception &error);
