// Running the test thread's messages while waiting for something: the
// component library's windows, timers and synchronised calls all arrive as
// messages on the thread that made them.
#pragma once

#include <windows.h>

#include <functional>

#include "rtapplication.h"

// Runs the calling thread's messages (and an application's synchronised
// calls) until done() holds or the limit passes; true when it held.
inline bool PumpUntil(const std::function<bool()> &done, DWORD limit = 10000) {
  DWORD start = GetTickCount();
  for (;;) {
    if (done()) return true;
    if (GetTickCount() - start > limit) return done();
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 1, QS_ALLINPUT);
    if (TApplication *app = Application())
      app->ProcessMessages();
    else {
      MSG msg;
      while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
    }
  }
}

// Runs them for about ms milliseconds.
inline void PumpFor(DWORD ms) {
  DWORD start = GetTickCount();
  PumpUntil([&] { return GetTickCount() - start >= ms; }, ms + 1000);
}
