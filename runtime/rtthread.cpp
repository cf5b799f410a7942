#include "rtthread.h"

#include <process.h>

#include "rtapplication.h"
#include "rtexcept.h"

TThread::TThread() {
  // _beginthreadex rather than CreateThread: the C runtime then sets up and
  // releases its per-thread data for the thread.
  unsigned id = 0;
  handle_ = reinterpret_cast<HANDLE>(
      _beginthreadex(nullptr, 0, &ThreadProc, this, CREATE_SUSPENDED, &id));
  if (!handle_) throw Exception("Thread creation error: " + std::to_string(GetLastError()));
  threadId_ = id;
}

TThread::~TThread() {
  if (!finished_.load(std::memory_order_acquire)) {
    terminated_.store(true, std::memory_order_release);
    Start();  // a thread that never ran still has to end
    WaitForSingleObject(handle_, INFINITE);
  }
  CloseHandle(handle_);
}

void TThread::Start() {
  if (started_) return;
  started_ = true;
  ResumeThread(handle_);
}

void TThread::Terminate() { terminated_.store(true, std::memory_order_release); }

void TThread::Stop() {
  Terminate();
  WaitFor();
}

DWORD TThread::WaitFor() {
  if (GetCurrentThreadId() == threadId_) throw Exception("A thread cannot wait for itself");
  Start();  // a thread that never ran is let run, so that it can end
  WaitForSingleObject(handle_, INFINITE);
  DWORD code = 0;
  GetExitCodeThread(handle_, &code);
  return code;
}

unsigned __stdcall TThread::ThreadProc(void *param) {
  auto *self = static_cast<TThread *>(param);
  if (!self->Terminated()) {
    try {
      self->Execute();
    } catch (...) {
      self->fatal_ = std::current_exception();
    }
  }
  self->finished_.store(true, std::memory_order_release);
  return 0;
}

void TThread::Synchronize(const std::function<void()> &call) {
  if (TApplication *app = Application())
    app->Synchronize(call);
  else
    call();
}
