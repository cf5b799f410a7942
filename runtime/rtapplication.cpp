#include "rtapplication.h"

#include <atomic>

#include "rtexcept.h"

namespace {
// The one application object of the process, as Application() gives it. A
// global by design: the components reach the application (its main thread
// and its queue) without being handed it.
std::atomic<TApplication *> g_application{nullptr};
}  // namespace

TApplication *Application() { return g_application.load(std::memory_order_acquire); }

TApplication::TApplication()
    : mainThreadId_(GetCurrentThreadId()), queued_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {
  TApplication *expected = nullptr;
  if (!queued_ || !g_application.compare_exchange_strong(expected, this)) {
    if (queued_) CloseHandle(queued_);
    throw Exception("An application object exists already");
  }
}

TApplication::~TApplication() {
  CheckSynchronize();
  TApplication *self = this;
  g_application.compare_exchange_strong(self, nullptr);
  CloseHandle(queued_);
}

void TApplication::Synchronize(const std::function<void()> &call) {
  if (GetCurrentThreadId() == mainThreadId_) {
    call();
    return;
  }
  HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (!done) throw Exception("Synchronize: no event");
  auto request = std::make_shared<Request>(call, done);
  {
    std::lock_guard guard(lock_);
    queue_.push_back(request);
    SetEvent(queued_);
  }
  // Wakes a main thread that waits in GetMessage.
  PostThreadMessageA(mainThreadId_, WM_NULL, 0, 0);
  WaitForSingleObject(request->done, INFINITE);
  if (request->error) std::rethrow_exception(request->error);
}

bool TApplication::CheckSynchronize() {
  if (GetCurrentThreadId() != mainThreadId_) return false;
  bool ran = false;
  for (;;) {
    std::shared_ptr<Request> request;
    {
      std::lock_guard guard(lock_);
      if (queue_.empty()) {
        ResetEvent(queued_);
        break;
      }
      request = queue_.front();
      queue_.pop_front();
    }
    try {
      request->call();
    } catch (...) {
      request->error = std::current_exception();
    }
    SetEvent(request->done);
    ran = true;
  }
  return ran;
}

DWORD TApplication::WaitFor(HANDLE object, DWORD timeout) {
  if (GetCurrentThreadId() != mainThreadId_) return WaitForSingleObject(object, timeout);
  const DWORD start = GetTickCount();
  for (;;) {
    DWORD waited = GetTickCount() - start;
    DWORD left = timeout == INFINITE ? INFINITE : (waited >= timeout ? 0 : timeout - waited);
    HANDLE handles[2] = {object, queued_};
    DWORD r = WaitForMultipleObjects(2, handles, FALSE, left);
    if (r != WAIT_OBJECT_0 + 1) return r;
    CheckSynchronize();
  }
}

int TApplication::Withdraw(DWORD threadId) {
  std::lock_guard guard(lock_);
  int dropped = 0;
  for (auto it = queue_.begin(); it != queue_.end();) {
    if ((*it)->threadId == threadId) {
      (*it)->error = std::make_exception_ptr(Exception("Synchronized call withdrawn"));
      SetEvent((*it)->done);
      it = queue_.erase(it);
      ++dropped;
    } else {
      ++it;
    }
  }
  if (queue_.empty()) ResetEvent(queued_);
  return dropped;
}

void TApplication::ProcessMessages() {
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
  CheckSynchronize();
}

void TApplication::ShowException(const std::exception &error) {
  MessageBoxA(nullptr, error.what(), "Error", MB_OK | MB_ICONERROR);
}

void ShowException(const std::exception &error) {
  if (TApplication *app = Application())
    app->ShowException(error);
  else
    MessageBoxA(nullptr, error.what(), "Error", MB_OK | MB_ICONERROR);
}
