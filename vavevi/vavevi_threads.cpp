// Vavevi: the comm thread, the message thread, and how the component starts
// and stops them.
#include <initializer_list>

#include "nrreport.h"
#include "nrunits.h"
#include "rtapplication.h"
#include "rtexcept.h"
#include "vavevi_comm.h"
#include "vavevi_commthread.h"
#include "vavevi_msgthread.h"
#include "vavevi_portside.h"

namespace {

// Registered by the unit's initialisation when the library is loaded; the
// numbers hold for the process.
UINT g_commEventMessage = 0;
UINT g_quitMessage = 0;
void Initialization() {
  g_commEventMessage = RegisterWindowMessageA("vaVeviMsgComEvent");
  g_quitMessage = RegisterWindowMessageA("vaVeviMsgQuitComEvent");
}
const TUnitInit g_unit RT_UNIT_PLACE(kUnitVavevi)(&Initialization, nullptr);

// The second parameter of a comm-event message that asks the thread running
// WinProc to halt the port (the comm thread's wait on it has failed). Port
// events carry 0 there.
constexpr LPARAM kHaltRequest = 1;

// The text of the error a synchronised call gets when the component, being
// closed, withdrew it (TApplication::Withdraw).
const char *const kWithdrawnCall = "Synchronized call withdrawn";

constexpr DWORD kMessageThreadLimit = 1000;  // ms a message thread gets to end

// While a wait on a silent line lasts, the comm thread looks once in this
// many ms whether the port is still there: Wine does not always end a
// pending wait when the line is hung up (a hang-up seen while no wait was
// pending is not seen again), and a removed device need not end it either.
constexpr DWORD kPortCheckInterval = 1000;

// False when the device behind the handle has gone. GetCommState reads the
// line settings only: unlike ClearCommError it clears no line errors that
// WinProc has yet to report.
bool PortPresent(HANDLE port) {
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  return GetCommState(port, &dcb) != FALSE;
}

// Ends a pending wait on the port and waits until it has really completed:
// emptying the event mask completes it. Not GetOverlappedResult with its
// wait flag: Wine reports success as soon as the record's event is set, even
// while the operation is still pending, and here others set the event to
// wake the thread. Not a cancel either: Wine's serial wait may still store
// the mask after a cancelled wait has been reported as ended. (The mask is
// set again while the wait lasts: a mask that was already empty when the
// wait began may not end it on the first try.) Gives up after about
// kWaitEndLimit ms: the caller then keeps the record.
constexpr DWORD kWaitEndLimit = 5000;

bool EndWait(HANDLE port, OVERLAPPED &ov) {
  ResetEvent(ov.hEvent);
  TnrElapsed elapsed;
  while (!HasOverlappedIoCompleted(&ov)) {
    if (elapsed.Ms() >= kWaitEndLimit) return false;
    // A port that has gone takes no mask: its wait is cancelled instead.
    if (!SetCommMask(port, 0) || !PortPresent(port)) CancelIo(port);
    WaitForSingleObject(ov.hEvent, 100);
  }
  return true;
}

// Waits up to limit ms for a cancelled wait to complete.
bool WaitCancelled(OVERLAPPED &ov, DWORD limit) {
  TnrElapsed elapsed;
  while (!HasOverlappedIoCompleted(&ov)) {
    if (elapsed.Ms() >= limit) return false;
    WaitForSingleObject(ov.hEvent, 10);
  }
  return true;
}

// Waits for an object while handling the messages that other threads send
// to this thread's windows: the message thread may be sending one to a
// terminal edit of this thread, and would wait for this thread for ever.
DWORD WaitHandlingSent(HANDLE object, DWORD ms) {
  TnrElapsed elapsed;
  for (;;) {
    std::uint64_t passed = elapsed.Ms();
    DWORD left = passed >= ms ? 0 : static_cast<DWORD>(ms - passed);
    DWORD r = MsgWaitForMultipleObjects(1, &object, FALSE, left, QS_SENDMESSAGE);
    if (r != WAIT_OBJECT_0 + 1) return r;
    MSG msg;
    PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
  }
}

// Closes the handles that are set; for constructors that fail half-way.
void CloseAll(std::initializer_list<HANDLE> handles) {
  for (HANDLE h : handles)
    if (h) CloseHandle(h);
}

// How one wait on the port ended.
enum class WaitEnd {
  kReported,  // it completed: its event bits, 0 for none
  kFailed,    // it completed with an error, or at once with nothing
  kAgain,     // the event mask is being emptied by a halt: looked at again
  kHalt,      // the port has gone: it is halted
  kStop,      // the thread was told to end, or the handle is not valid
};

// The comm thread's watch over the port: the state it carries from one wait
// to the next, and the steps of each round (TCommThread::Execute).
class PortWatch {
 public:
  PortWatch(const TThread &thread, TCommPortSide port, HANDLE handle, OVERLAPPED &wait, DWORD &mask,
            HANDLE watching, HANDLE stop, HANDLE handled)
      : thread_(thread),
        port_(port),
        handle_(handle),
        wait_(wait),
        mask_(mask),
        watching_(watching),
        stop_(stop),
        handled_(handled) {}

  // The thread goes on watching.
  bool Watching() const {
    return !thread_.Terminated() && port_.InUse() && handle_ != INVALID_HANDLE_VALUE;
  }

  // One message at a time: the next wait starts when WinProc has read what
  // the last one reported. Events meanwhile are kept by the driver. False
  // when the thread was told to end meanwhile.
  bool AwaitHandled() const {
    HANDLE handles[2] = {handled_, stop_};
    WaitForMultipleObjects(2, handles, FALSE, INFINITE);
    return !thread_.Terminated();
  }

  // Wine reports received bytes again at once as long as they stay queued;
  // when WinProc left bytes unread, the next report waits 1 ms. Waits that
  // keep ending without events are spaced the same way: the thread never
  // spins.
  void Pace() const {
    if (port_.HasUnread() || empty_ >= 3) Sleep(1);
  }

  // Starts a wait on the port and sees it end; events gets what it reported.
  WaitEnd WaitOnce(DWORD &events) {
    HANDLE wake = wait_.hEvent;
    wait_ = OVERLAPPED{};
    wait_.hEvent = wake;
    mask_ = 0;
    maskChanges_ = port_.MaskChanges();
    BOOL immediate = WaitCommEvent(handle_, &mask_, &wait_);
    SetEvent(watching_);
    if (immediate) {
      events = mask_;
      return events == 0 ? Failure() : WaitEnd::kReported;
    }
    DWORD error = GetLastError();
    if (error == 0 || error == ERROR_IO_PENDING) return AwaitCompletion(events);
    if (error == ERROR_INVALID_PARAMETER && mask_ == 0) return WaitEnd::kAgain;
    if (error == ERROR_INVALID_HANDLE) return WaitEnd::kStop;
    return WaitEnd::kHalt;
  }

  // Counts the wait among the ones that showed a port not working; true
  // when the port is to be halted. Once may be a cancelled wait; twice in a
  // row is taken as a port that has gone (Wine reports a hung-up line
  // either way).
  bool Tally(WaitEnd end, DWORD events) {
    if (end == WaitEnd::kFailed) ++failures_;
    if (events != 0) {
      failures_ = 0;
      empty_ = 0;
    } else {
      ++empty_;
    }
    return end == WaitEnd::kHalt || failures_ >= 2;
  }

 private:
  // A wait ended by a new event mask (SetTraceState, also inside
  // WaitForBytes) is no sign of a port that has gone: it is waited again.
  WaitEnd Failure() const {
    return port_.MaskChanges() == maskChanges_ ? WaitEnd::kFailed : WaitEnd::kReported;
  }

  // A pending wait: until it completes, the port is looked at once in
  // kPortCheckInterval ms, and a wake that was not the wait's completion
  // (a new mask, Terminate) lets it go on unless the thread is to end.
  WaitEnd AwaitCompletion(DWORD &events) {
    HANDLE woken[2] = {wait_.hEvent, stop_};
    while (!HasOverlappedIoCompleted(&wait_)) {
      DWORD woke = WaitForMultipleObjects(2, woken, FALSE, kPortCheckInterval);
      if (HasOverlappedIoCompleted(&wait_)) break;
      if (woke == WAIT_TIMEOUT && !PortPresent(handle_)) {
        // The port has gone under a wait that goes on: the wait is
        // cancelled (it must have ended before its record goes away) and
        // the port is halted.
        CancelIo(handle_);
        WaitCancelled(wait_, 1000);  // a wait still pending keeps its record
        return WaitEnd::kHalt;
      }
      if (thread_.Terminated()) {
        // The wait must have ended before its record goes away.
        EndWait(handle_, wait_);
        return WaitEnd::kStop;
      }
      // Woken early: the wait goes on. The completion is looked at again
      // after the reset, so that one just then is not missed.
      ResetEvent(wait_.hEvent);
    }
    DWORD transferred = 0;
    if (!GetOverlappedResult(handle_, &wait_, &transferred, FALSE)) return Failure();
    events = mask_;  // 0 when the event mask was changed
    return WaitEnd::kReported;
  }

  const TThread &thread_;
  TCommPortSide port_;
  HANDLE handle_;
  OVERLAPPED &wait_;
  DWORD &mask_;
  HANDLE watching_;
  HANDLE stop_;
  HANDLE handled_;
  std::uint32_t maskChanges_ = 0;  // at the start of the current wait
  int failures_ = 0;               // waits in a row that showed a port not working
  int empty_ = 0;                  // waits in a row that reported no event
};

}  // namespace

UINT CommEventMessage() { return g_commEventMessage; }
UINT QuitCommEventMessage() { return g_quitMessage; }

// ---------------------------------------------------------------------------
// The comm thread

TCommThread::TCommThread(TnrCustomComm *comm, TMsgThread *target)
    : comm_(comm), target_(target), handle_(comm->GetHandle()), wait_(new WaitRecord{}) {
  // The wake event is the event of the overlapped wait: the port sets it when
  // the wait completes; Terminate and StartThreads set it to wake the thread.
  wait_->overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  watching_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  stop_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (!wait_->overlapped.hEvent || !watching_ || !stop_) {
    CloseAll({wait_->overlapped.hEvent, watching_, stop_});
    delete wait_;
    throw Exception("Comm thread: no event");
  }
  Start();
}

TCommThread::~TCommThread() {
  Stop();
  CloseHandle(stop_);
  CloseHandle(watching_);
  if (wait_ && HasOverlappedIoCompleted(&wait_->overlapped)) {
    CloseHandle(wait_->overlapped.hEvent);
    delete wait_;
  }
  // Otherwise the system may still complete the wait: its record and event
  // stay (a few dozen bytes and one handle, only for a driver that never
  // ended a cancelled wait).
}

bool TCommThread::WaitWatching(DWORD ms) const {
  HANDLE handles[2] = {watching_, Handle()};
  return WaitForMultipleObjects(2, handles, FALSE, ms) != WAIT_TIMEOUT;
}

void TCommThread::Terminate() {
  TThread::Terminate();
  // The stop event, not only the wake event: starting a wait resets the
  // wake event, and a wake given just before would be lost.
  SetEvent(stop_);
  SetEvent(wait_->overlapped.hEvent);
}

bool TCommThread::Post(WPARAM events, LPARAM request) {
  // The message thread has its queue before this thread starts; a post can
  // still fail when the queue is full. It is tried again every millisecond
  // while the port is in use.
  for (;;) {
    if (PostThreadMessageA(target_->ThreadID(), g_commEventMessage, events, request)) return true;
    if (Terminated() || !TCommPortSide(*comm_).InUse()) return false;
    Sleep(1);
  }
}

void TCommThread::Execute() {
  TCommPortSide port(*comm_);
  PortWatch watch(*this, port, handle_, wait_->overlapped, wait_->mask, watching_, stop_,
                  target_->HandledEvent());
  bool outstanding = false;  // a posted message WinProc has not finished
  while (watch.Watching()) {
    if (outstanding) {
      if (!watch.AwaitHandled()) break;
      outstanding = false;
    }
    watch.Pace();
    DWORD events = 0;
    const WaitEnd end = watch.WaitOnce(events);
    if (end == WaitEnd::kStop) break;
    if (end == WaitEnd::kAgain) continue;
    if (watch.Tally(end, events)) {
      // The halt releases the receive buffer: it belongs to the thread that
      // runs WinProc, which ends after it. Without a message thread to take
      // it, it is done here.
      if (Post(0, kHaltRequest)) return;
      port.Halt();
      break;
    }
    if (events != 0) {
      port.SignalLine();
      outstanding = Post(events, 0);
    }
  }
  target_->Terminate();
}

// ---------------------------------------------------------------------------
// The message thread

TMsgThread::TMsgThread(TnrCustomComm *comm)
    : comm_(comm),
      ready_(CreateEventA(nullptr, TRUE, FALSE, nullptr)),
      handled_(CreateEventA(nullptr, FALSE, FALSE, nullptr)) {
  if (!ready_ || !handled_) {
    CloseAll({ready_, handled_});
    throw Exception("Message thread: no event");
  }
  Start();
}

TMsgThread::~TMsgThread() {
  Stop();
  CloseHandle(handled_);
  CloseHandle(ready_);
}

void TMsgThread::Terminate() {
  TThread::Terminate();
  quitPosted_ = PostThreadMessageA(ThreadID(), g_quitMessage, 0, 0) != FALSE;
}

void TMsgThread::ProcessMess() { TCommPortSide(*comm_).HandleMessage(message_); }

void TMsgThread::Execute() {
  // The first call of a message function gives the thread its queue.
  MSG peek;
  PeekMessageA(&peek, nullptr, 0, 0, PM_NOREMOVE);
  SetEvent(ready_);
  if (!comm_) return;
  while (!Terminated()) {
    // Only registered messages (0xC000 to 0xFFFF) wake this thread.
    BOOL got = GetMessageA(&message_, nullptr, 0xC000, 0xFFFF);
    if (got == 0 || got == -1) break;
    bool halt =
        !message_.hwnd && message_.message == g_commEventMessage && message_.lParam == kHaltRequest;
    // A halt request is handled even when the thread has been told to end:
    // the port must be closed by this thread.
    if (message_.message == g_quitMessage || (Terminated() && !halt)) break;
    if (!message_.hwnd && message_.message == g_commEventMessage) {
      if (!halt && !TCommPortSide(*comm_).Open()) {
        SetEvent(handled_);
        break;
      }
      try {
        if (Application())
          Synchronize([this] { ProcessMess(); });
        else
          ProcessMess();
      } catch (...) {
        // WinProc reports every error of its handlers itself; what arrives
        // here is a synchronised call that was withdrawn (the component is
        // being closed: no failure) or could not be made, which is reported
        // on the component's road. Nothing leaves the thread's body.
        if (!nr_detail::IsOwnRaise(kWithdrawnCall)) {
          std::string text = nrCaughtText("Unknown exception in the message thread");
          nrReportAtEdge("Serial message thread", text,
                         [&] { comm_->DoFatalErrors(1, 0, text, false); });
        }
        SetEvent(handled_);
        break;
      }
      SetEvent(handled_);
      if (halt) break;  // the port is closed
    } else {
      DispatchMessageA(&message_);
    }
  }
}

// ---------------------------------------------------------------------------
// Starting and stopping

void TnrCustomComm::RequestHalt() { ForceHalt(); }

void TnrCustomComm::StartThreads() {
  ReapThreads(false);
  ResetEvent(lineEvent_);
  Guard guard(threadsLock_);
  // Both threads start at once. The comm thread's posts are tried again
  // until the message thread has its queue; Open returns with the port
  // watched, so that a line change right after it is not lost (Wine only
  // reports changes against the state at the start of a wait).
  if (!msgThread_) msgThread_ = std::make_unique<TMsgThread>(this);
  if (!commThread_) commThread_ = std::make_unique<TCommThread>(this, msgThread_.get());
  msgThread_->WaitReady(5000);
  commThread_->WaitWatching(5000);
  SetEvent(commThread_->WakeEvent());
}

void TnrCustomComm::StopCommThread() {
  std::unique_ptr<TCommThread> thread;
  {
    Guard guard(threadsLock_);
    if (commThread_ && commThread_->ThreadID() == GetCurrentThreadId()) return;
    thread = std::move(commThread_);
  }
  thread.reset();  // terminates, wakes and waits for it
}

void TnrCustomComm::StopThreads() {
  {
    // The message thread is told first, so that both threads end at once.
    Guard guard(threadsLock_);
    if (msgThread_) msgThread_->Terminate();
  }
  StopCommThread();
  std::unique_ptr<TMsgThread> thread;
  {
    Guard guard(threadsLock_);
    thread = std::move(msgThread_);
  }
  if (thread) {
    thread->Terminate();
    // On the message thread itself, or inside WinProc that it waits for: it
    // cannot end before this call returns. It has been told to end and is
    // freed later.
    if (thread->ThreadID() == GetCurrentThreadId() ||
        winProcThread_.load() == GetCurrentThreadId()) {
      Guard guard(threadsLock_);
      leftovers_.push_back(std::move(thread));
      return;
    }
    TApplication *app = Application();
    auto wait = [&](DWORD ms) {
      return app ? app->WaitFor(thread->Handle(), ms) : WaitHandlingSent(thread->Handle(), ms);
    };
    DWORD start = GetTickCount();
    DWORD result = WAIT_TIMEOUT;
    // A quit message that could not be posted (a full queue) is posted again
    // as the queue drains.
    while (result == WAIT_TIMEOUT) {
      DWORD waited = GetTickCount() - start;
      if (waited >= kMessageThreadLimit) break;
      DWORD slice = thread->QuitPosted() ? kMessageThreadLimit - waited : 5;
      result = wait(slice);
      if (result == WAIT_TIMEOUT && !thread->QuitPosted()) thread->Terminate();
    }
    if (result == WAIT_TIMEOUT) {
      // A thread waiting for the main thread is released first; one that is
      // stuck anyway is ended forcibly, and this waits until it has ended.
      if (app && app->Withdraw(thread->ThreadID()) > 0) result = wait(100);
      if (result == WAIT_TIMEOUT) {
        TerminateThread(thread->Handle(), 0);
        WaitForSingleObject(thread->Handle(), INFINITE);
        // It may have died inside WinProc, holding the lock that keeps
        // WinProc and the release of the port apart. Nothing else can hold
        // it now (the comm thread has ended, WinProc does not run on this
        // thread): it is made anew for the next open.
        DeleteCriticalSection(&procLock_);
        InitializeCriticalSection(&procLock_);
      }
    }
    thread.reset();
  }
  ReapThreads(false);
}

void TnrCustomComm::ReapThreads(bool wait) {
  std::vector<std::unique_ptr<TMsgThread>> done;
  {
    Guard guard(threadsLock_);
    for (auto it = leftovers_.begin(); it != leftovers_.end();) {
      if (wait || (*it)->Finished()) {
        done.push_back(std::move(*it));
        it = leftovers_.erase(it);
      } else {
        ++it;
      }
    }
  }
  done.clear();  // joins them (at once for finished ones)
}
