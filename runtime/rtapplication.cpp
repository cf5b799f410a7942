#include "rtapplication.h"

#include <atomic>

#include "rtexcept.h"

namespace {
std::atomic<TApplication *> g_application{nullptr};
}

TApplication *Application() { return g_application.load(std::memory_order_acquire); }

TApplication::TApplication() : mainThreadId_(GetCurrentThreadId()) {
  TApplication *expected = nullptr;
  if (!g_application.compare_exchange_strong(expected, this))
    throw Exception("An application object exists already");
}

TApplication::~TApplication() {
  CheckSynchronize();
  TApplication *self = this;
  g_application.compare_exchange_strong(self, nullptr);
}

void TApplication::Synchronize(const std::function<void()> &call) {
  if (GetCurrentThreadId() == mainThreadId_) {
    call();
    return;
  }
  Request request{&call, CreateEventA(nullptr, TRUE, FALSE, nullptr), nullptr};
  if (!request.done) throw Exception("Synchronize: no event");
  {
    std::lock_guard guard(lock_);
    queue_.push_back(&request);
  }
  // Wakes a main thread that waits in GetMessage.
  PostThreadMessageA(mainThreadId_, WM_NULL, 0, 0);
  WaitForSingleObject(request.done, INFINITE);
  CloseHandle(request.done);
  if (request.error) std::rethrow_exception(request.error);
}

bool TApplication::CheckSynchronize() {
  if (GetCurrentThreadId() != mainThreadId_) return false;
  bool ran = false;
  for (;;) {
    Request *request;
    {
      std::lock_guard guard(lock_);
      if (queue_.empty()) break;
      request = queue_.front();
      queue_.pop_front();
    }
    try {
      (*request->call)();
    } catch (...) {
      request->error = std::current_exception();
    }
    SetEvent(request->done);
    ran = true;
  }
  return ran;
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
