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
#include <mutex>

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
  // On the main thread: dispatches the waiting window messages, then runs
  // the waiting synchronised calls.
  void ProcessMessages();

  // The standard error display: a message box with the error's text.
  virtual void ShowException(const std::exception &error);

 private:
  struct Request {
    const std::function<void()> *call;
    HANDLE done;
    std::exception_ptr error;
  };
  DWORD mainThreadId_;
  std::mutex lock_;
  std::deque<Request *> queue_;
};

// The process's application object, or nullptr.
RT_API TApplication *Application();

// Shows an error through the application object, or in a message box with
// no owner window when there is none.
RT_API void ShowException(const std::exception &error);
