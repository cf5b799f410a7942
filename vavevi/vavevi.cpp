// Vavevi: the serial communication core (TnrCustomComm): opening and
// closing, the receive path, sending, reading and waiting, the line
// settings. The threads are in vavevi_threads.cpp, the terminal and the
// indicators in vavevi_terminal.cpp.
#include "vavevi_comm.h"
#include "vavevi_portside.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <optional>

#include "nrreport.h"
#include "nrsysutils.h"
#include "nrwin32.h"
#include "rtapplication.h"
#include "rtexcept.h"
#include "rtproperties.h"

// The records the component keeps and the saved configuration relies on have
// these sizes on both architectures.
static_assert(sizeof(DCB) == 28, "device-control block");
static_assert(sizeof(COMMCONFIG) == 52, "communication-configuration record");
static_assert(sizeof(COMMTIMEOUTS) == 20, "time-out record");
static_assert(offsetof(DCB, wReserved) == 12, "flag word at offset 8");

namespace {

// The comm-event message's second parameter for a halt request (see
// vavevi_threads.cpp).
constexpr LPARAM kHaltRequest = 1;

// The flag word of the device-control block (Win32 bit layout).
constexpr std::uint32_t kParityCheck = 0x2;

std::uint32_t DcbFlags(const DCB &dcb) {
  std::uint32_t flags;
  std::memcpy(&flags, reinterpret_cast<const char *>(&dcb) + 8, sizeof flags);
  return flags;
}

void SetDcbFlags(DCB &dcb, std::uint32_t flags) {
  std::memcpy(reinterpret_cast<char *>(&dcb) + 8, &flags, sizeof flags);
}

// Event bits other than EV_RXCHAR and EV_TXEMPTY, with their trace states.
struct EventTrace {
  DWORD bit;
  TTraceState state;
};
constexpr EventTrace kEventTraces[] = {
    {EV_RXFLAG, tsRxFlag}, {EV_CTS, tsCTS},       {EV_DSR, tsDSR},   {EV_RLSD, tsRLSD},
    {EV_BREAK, tsBreak},   {EV_ERR, tsErr},       {EV_RING, tsRing}, {EV_RX80FULL, tsRx80Full},
    {EV_EVENT1, tsEvent1}, {EV_EVENT2, tsEvent2},
};

DWORD EventMask(TTraceStates states) {
  DWORD mask = EV_RXCHAR | EV_TXEMPTY;
  for (const EventTrace &t : kEventTraces)
    if (states.Contains(t.state)) mask |= t.bit;
  return mask;
}

TComStateFlags StateFlags(const COMSTAT &stat) {
  std::uint32_t word;
  std::memcpy(&word, &stat, sizeof word);  // the seven flag bits come first
  return TComStateFlags::FromBits(static_cast<std::uint8_t>(word & 0x7F));
}

}  // namespace

namespace {

// Inside a catch block where nothing may be raised (a close, a destructor):
// the error in flight on the component's fatal-error road (code 1, the
// system's last error as detail), its raise answered here.
void ReportCaught(TnrCustomComm &comm, const char *where) {
  DWORD system = GetLastError();
  std::string text = nrCaughtText("Unknown exception in the serial component");
  nrReportAtEdge(where, text, [&] { comm.DoFatalErrors(1, system, text, false); });
}

}  // namespace

// The lock that keeps WinProc and the release of the port apart. It is
// re-entrant: a handler called by WinProc may close the port. A thread that
// waits for it handles the messages other threads send to its windows
// meanwhile: WinProc may be sending one (a terminal edit of this thread)
// and would otherwise wait for this thread while this thread waits for it.
class TnrCustomComm::ProcLock {
 public:
  explicit ProcLock(TnrCustomComm &comm) : comm_(comm) {
    while (!TryEnterCriticalSection(&comm_.procLock_)) {
      // Woken by a message sent to this thread, else looked at again each
      // millisecond while the lock is held elsewhere (a handler running).
      if (MsgWaitForMultipleObjects(0, nullptr, FALSE, 1, QS_SENDMESSAGE) == WAIT_OBJECT_0) {
        MSG msg;
        PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
      }
    }
  }
  ~ProcLock() { LeaveCriticalSection(&comm_.procLock_); }
  ProcLock(const ProcLock &) = delete;
  ProcLock &operator=(const ProcLock &) = delete;

 private:
  TnrCustomComm &comm_;
};

TnrCustomComm::TnrCustomComm(TComponent *owner)
    : TnrBaseIO(owner), lineEvent_(CreateEventA(nullptr, FALSE, FALSE, nullptr)) {
  InitializeCriticalSection(&procLock_);
  InitializeCriticalSection(&threadsLock_);
  InitializeCriticalSection(&writeLock_);
  writeOverlapped_.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (!lineEvent_ || !writeOverlapped_.hEvent) {
    if (lineEvent_) CloseHandle(lineEvent_);
    if (writeOverlapped_.hEvent) CloseHandle(writeOverlapped_.hEvent);
    DeleteCriticalSection(&writeLock_);
    DeleteCriticalSection(&threadsLock_);
    DeleteCriticalSection(&procLock_);
    throw Exception("Serial component: no event");
  }
  timeouts_.WriteTotalTimeoutMultiplier = 100;
  config_.dwSize = sizeof(COMMCONFIG);
  config_.dcb.DCBlength = sizeof(DCB);
}

TnrCustomComm::~TnrCustomComm() {
  // The owner's handlers may be going too: a failure of the last close is
  // written to the log only.
  SetOnFatalError(TOnFatalErrorEvent());
  try {
    SetDataProcessor(nullptr);
    onTraceState_ = TOnTraceEvent();
    Close();
  } catch (...) {
    // Nothing leaves a destructor.
    ReportCaught(*this, "Serial component destruction error");
  }
  ReapThreads(true);
  SetTerminal(nullptr);
  eventList_.Clear();
  CloseHandle(writeOverlapped_.hEvent);
  CloseHandle(lineEvent_);
  DeleteCriticalSection(&writeLock_);
  DeleteCriticalSection(&threadsLock_);
  DeleteCriticalSection(&procLock_);
}

// ---------------------------------------------------------------------------
// The side the threads see

HANDLE TCommPortSide::Handle() const { return comm_.GetHandle(); }
bool TCommPortSide::Open() const { return comm_.IsHandleValid(); }
bool TCommPortSide::InUse() const { return !comm_.halting_.load() && comm_.IsHandleValid(); }
bool TCommPortSide::HasUnread() const { return comm_.unread_.load() > 0; }
std::uint32_t TCommPortSide::MaskChanges() const { return comm_.maskChanges_.load(); }
void TCommPortSide::SignalLine() { SetEvent(comm_.lineEvent_); }
void TCommPortSide::Halt() { comm_.RequestHalt(); }
void TCommPortSide::HandleMessage(const MSG &message) { comm_.WinProc(message); }

// ---------------------------------------------------------------------------
// Opening and closing

void TnrCustomComm::Open() {
  Close();
  totalReceived_ = 0;
  totalSent_ = 0;
  lastErrorText_.clear();
  TnrBaseIO::Open();
  if (!IsHandleValid()) {
    std::string system = GetLastSysErrorString();
    lastErrorText_ = Format("Device \"%s\" Open Error !!!\r%s", {GetPortName(), system});
    DoFatalErrors(1, 0, lastErrorText_, false);
    return;
  }
  halting_ = false;
  unread_ = 0;
  ++session_;
  // The queue sizes stored while closed reach the driver before anything
  // reads its sizes back (the receive buffer is made from them).
  SetupComm(GetHandle(), bufferInSize_, bufferOutSize_);
  try {
    InitBuffer();
    LoggingFmt(dlSimple, "The port %s succesful opened", {GetPortName()});
    SetTraceState(GetTraceStates());
    StartThreads();
    InitAfterOpen();
  } catch (...) {
    // A port without its buffer, its threads or its settings is not left
    // open: no handle, no threads, no code 2.
    Close();
    throw;
  }
  DoTraceStates(this, {tsTxEmpty});
  DoNotify(nrNotifyMediumOpened);
}

void TnrCustomComm::Close() {
  // A failing step (a handler of the close notification, the log) is
  // reported, not raised, and the steps after it still run: the threads end
  // and the port is released whatever failed.
  auto step = [this](auto &&run) {
    try {
      run();
      return true;
    } catch (...) {
      ReportCaught(*this, "Serial port close error");
      return false;
    }
  };
  if (IsHandleValid()) {
    step([&] { BeginHalt(); });
    const bool stopped = step([&] { StopThreads(); });
    // The threads have ended (or the message thread is this one): no
    // WinProc can run now. The lock is not taken, because a message thread
    // that had to be ended forcibly may have died holding it; only threads
    // that could not be stopped are kept out by it.
    step([&] { ReleasePort(!stopped); });
    step([&] { Logging(dlSimple, "The port succesful closed"); });
    TnrBaseIO::Close();
  } else {
    // Threads left over from a halt of the comm thread's own.
    step([&] { StopThreads(); });
  }
  DoTraceStates(this, {tsTxEmpty});
}

void TnrCustomComm::ForceHalt() {
  if (!IsHandleValid() || !BeginHalt()) return;
  StopCommThread();
  ReleasePort(true);
}

bool TnrCustomComm::BeginHalt() {
  if (halting_.exchange(true)) return false;
  ++session_;
  DoNotify(nrNotifyMediumClosed);
  HANDLE h = GetHandle();
  SetCommMask(h, 0);  // ends the comm thread's wait
  // A read of WinProc in progress ends; a write under way too (SendData's,
  // or a synchronous one another thread waits for): the port is going, and
  // its release waits for the write.
  PurgeComm(h, PURGE_RXABORT | (writePending_.load() || writing_.load() > 0 ? PURGE_TXABORT : 0));
  if (GetNotYetSend() > 0) ClearDeviceBuffers();
  return true;
}

void TnrCustomComm::ReleasePort(bool locked) {
  std::optional<ProcLock> lock;
  if (locked) lock.emplace(*this);
  HANDLE h = GetHandle();
  if (h == INVALID_HANDLE_VALUE) return;
  // A write that began after the halt's purge ends too.
  if (writing_.load() > 0) PurgeComm(h, PURGE_TXABORT);
  {
    // No send uses the handle or SendData's record once this has it.
    Guard write(writeLock_);
    WaitAsyncWrite();
    nrCancelIO(h);
    CloseHandle(h);
    TnrBaseIO::Close();
  }
  FreeBuffer();
}

void TnrCustomComm::InitBuffer() {
  FreeBuffer();
  std::uint32_t size = std::max<std::uint32_t>(ReceiveBufferSize(), 1);
  // One byte of room after the data for the terminator of the terminal path.
  rxBuffer_ = std::make_shared<std::vector<std::uint8_t>>(size + 1, 0);
  eventList_.PrepareBuffer(size);
}

void TnrCustomComm::FreeBuffer() { rxBuffer_.reset(); }

void TnrCustomComm::InitAfterOpen() {
  if (!IsHandleValid()) return;
  SetupComm(GetHandle(), bufferInSize_, bufferOutSize_);
  SetTimeOuts(timeouts_);
}

std::string TnrCustomComm::GetPortName() { return "Unknown"; }

// ---------------------------------------------------------------------------
// The receive path

void TnrCustomComm::WinProc(const MSG &message) {
  if (message.message != CommEventMessage()) return;
  ProcLock lock(*this);
  DWORD previous = winProcThread_.exchange(GetCurrentThreadId());
  struct Restore {
    std::atomic<DWORD> &slot;
    DWORD value;
    ~Restore() { slot = value; }
  } restore{winProcThread_, previous};

  if (halting_.load() || !IsHandleValid()) return;
  if (message.lParam == kHaltRequest) {
    ForceHalt();
    return;
  }
  const std::uint32_t session = session_.load();
  std::shared_ptr<std::vector<std::uint8_t>> buffer = rxBuffer_;
  try {
    HANDLE h = GetHandle();
    DWORD errors = 0;
    COMSTAT stat{};
    if (!ClearCommError(h, &errors, &stat)) return;
    lineStatus_ = stat;
    if (errors != 0) {
      DoCommError(errors, 0, StateFlags(stat));
      return;
    }
    const auto events = static_cast<DWORD>(message.wParam);
    TIgnoreTypes ignore;
    if ((events & EV_RXCHAR) && stat.cbInQue > 0 && buffer) {
      const TTraceStates states = GetTraceStates();
      const bool wanted = states.Contains(tsRxChar) || onAfterReceive_ || GetDataProcessor() ||
                          terminalWindow_ || eventListOnLine_ || eventList_.Count() > 0;
      // Only bytes not counted before: bytes left queued are reported again.
      std::uint32_t queued = stat.cbInQue;
      std::uint32_t before = unread_.load();
      totalReceived_ += queued > before ? queued - before : 0;
      if (!wanted) {
        unread_ = queued;
      } else {
        unread_ = 0;
        // The buffer holds one block of buffer-in size and a terminator; more
        // is read in further passes, each a block of its own.
        const auto capacity = static_cast<std::uint32_t>(buffer->size() - 1);
        while (queued > 0) {
          std::uint32_t want = std::min(queued, capacity);
          DWORD n = 0;
          // Only what the read really brought is handed on (a purge may
          // have taken queued bytes meanwhile).
          if (!ReadSyncCount(h, buffer->data(), want, &n) || n == 0) break;
          queued -= std::min<std::uint32_t>(queued, n);
          ignore = ignore + ReceiveBlock(buffer->data(), n, session);
          if (session_.load() != session) return;  // a handler closed the port
        }
      }
    }
    if (events & EV_TXEMPTY) {
      bool handled = false;
      if (TnrCustomDataProcessor *processor = GetDataProcessor())
        processor->DoAfterSendComplete(handled);
      if (session_.load() != session) return;
      if (GetTraceStates().Contains(tsTxEmpty) && !handled && onAfterSend_) onAfterSend_(this);
      if (session_.load() != session) return;
    }
    TTraceStates traced;
    for (const EventTrace &t : kEventTraces)
      if (events & t.bit) traced.Include(t.state);
    // A processor that asked to skip the trace report for its block skips it
    // for the message.
    if (!traced.Empty() && !ignore.Contains(itTraceState)) DoTraceStates(this, traced);
  } catch (const std::exception &e) {
    ReportHandlerError(e.what());
  } catch (...) {
    ReportHandlerError("Unknown exception in a handler of the serial component");
  }
}

void TnrCustomComm::ReportHandlerError(const char *what) {
  // The error road of the component: OnFatalError, the log, then the error
  // display unless the handler cleared the raise flag. Nothing raised here
  // may end the delivery of port events, not even by OnFatalError itself.
  DWORD system = GetLastError();
  try {
    DoFatalErrors(1, system, what, true);
  } catch (...) {
    // The report itself failed (its handler, the log or the display): the
    // log is told, else the debugger output.
    std::string text = std::string("Error in the fatal-error report: ") + what;
    try {
      Logging(dlSimple, text);
    } catch (...) {
      nrDebugReport("Serial component", text);
    }
  }
}

TIgnoreTypes TnrCustomComm::ReceiveBlock(std::uint8_t *data, std::uint32_t count,
                                         std::uint32_t session) {
  TIgnoreTypes ignore;
  if (TnrCustomDataProcessor *processor = GetDataProcessor()) {
    processor->DoProcessing(data, count, ignore);
    if (session_.load() != session) return ignore;
  }
  if (terminalWindow_ && !ignore.Contains(itTerminal)) UpdateTerminalByChars(data, count);
  bool handled = false;
  if (!ignore.Contains(itEventList) && eventListOnLine_ && count != 0 && eventList_.Count() > 0) {
    for (std::uint32_t i = 0; i < count; ++i) {
      int n = eventList_.IsEvent(data[i]);
      if (n < 0) continue;
      eventList_.GetEvent(n).Position = static_cast<std::int32_t>(i);
      if (onListEvent_) {
        std::uint32_t filled = eventList_.SetBufferByEvent(n, data + i + 1, count - i - 1);
        onListEvent_(this, n, eventList_.Buffer(), static_cast<int>(filled), handled);
        if (session_.load() != session) return ignore;
      }
    }
  }
  if (!handled && GetTraceStates().Contains(tsRxChar) && !ignore.Contains(itAfterReceive) &&
      onAfterReceive_)
    onAfterReceive_(this, data, count);
  return ignore;
}

void TnrCustomComm::DoCommError(std::uint32_t commCode, std::uint32_t sysError,
                                TComStateFlags state) {
  LoggingFmt(dlDetail, "Communication Error %d:%d", {commCode, sysError});
  bool flash = false;
  if (onCommError_) onCommError_(this, commCode, sysError, state, flash);
  if (flash) ClearDeviceBuffers();
}

// ---------------------------------------------------------------------------
// Sending

bool TnrCustomComm::WriteInOrder(const void *data, DWORD count, bool async, DWORD &error) {
  ++writing_;
  struct Done {
    std::atomic<int> &writing;
    ~Done() { --writing; }
  } done{writing_};
  Guard lock(writeLock_);
  HANDLE h = GetHandle();
  if (h == INVALID_HANDLE_VALUE || halting_.load()) {
    error = ERROR_INVALID_HANDLE;
    return false;
  }
  // The bytes of an earlier SendData leave first.
  WaitAsyncWrite();
  if (!async) {
    bool ok = WriteSync(h, data, count);
    error = ok ? 0 : GetLastError();
    return ok;
  }
  // The write goes on after this returns: it works on the component's own
  // copy of the data and its own record.
  const auto *bytes = static_cast<const std::uint8_t *>(data);
  writeData_.assign(bytes, bytes + count);
  HANDLE event = writeOverlapped_.hEvent;
  writeOverlapped_ = OVERLAPPED{};
  writeOverlapped_.hEvent = event;
  if (WriteFile(h, writeData_.data(), count, nullptr, &writeOverlapped_)) return true;
  error = GetLastError();
  if (error != ERROR_IO_PENDING) return false;
  writePending_ = true;
  error = 0;
  return true;
}

void TnrCustomComm::SendChar(char ch) {
  if (!IsHandleValid()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return;
  }
  LoggingFmt(dlDebug, "Try to send char %2Xh ...", {static_cast<std::uint8_t>(ch)});
  DWORD error = 0;
  if (WriteInOrder(&ch, 1, false, error)) {
    totalSent_ += 1;
    if (onAfterSend_) onAfterSend_(this);
  } else {
    DoCommError(0, error, {});
  }
}

void TnrCustomComm::SendString(const std::string &text) {
  if (!IsHandleValid()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return;
  }
  if (text.empty()) return;
  LoggingFmt(dlDebug, "Try to send string %s ...", {text});
  DWORD error = 0;
  if (WriteInOrder(text.data(), static_cast<DWORD>(text.size()), false, error)) {
    totalSent_ += static_cast<std::uint32_t>(text.size());
    if (onAfterSend_) onAfterSend_(this);
  } else {
    DoCommError(0, error, {});
  }
}

bool TnrCustomComm::WaitAsyncWrite() {
  if (!writePending_.load()) return true;
  DWORD transferred = 0;
  BOOL ok = GetOverlappedResult(GetHandle(), &writeOverlapped_, &transferred, TRUE);
  writePending_ = false;
  return ok != FALSE;
}

void TnrCustomComm::SendData(const void *buffer, std::uint32_t count) {
  if (!IsHandleValid()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return;
  }
  LoggingFmt(dlDebug, "Try to send the data with %d length ...", {count});
  // No data is nothing to send: no bytes are counted for it.
  if (!buffer) count = 0;
  DWORD error = 0;
  if (WriteInOrder(buffer, count, true, error)) {
    totalSent_ += count;
    Logging(dlDebug, "... the data transmittion is OK!");
  } else {
    DoCommError(0, error, {});
  }
}

void TnrCustomComm::SendAheadChar(char ch) {
  if (!IsHandleValid()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return;
  }
  if (TransmitCommChar(GetHandle(), ch))
    totalSent_ += 1;
  else
    DoCommError(0, GetLastError(), {});
}

// ---------------------------------------------------------------------------
// Reading and waiting

namespace {
void Consumed(std::atomic<std::uint32_t> &unread, std::uint32_t n) {
  std::uint32_t old = unread.load();
  while (!unread.compare_exchange_weak(old, old > n ? old - n : 0)) {
  }
}
}  // namespace

bool TnrCustomComm::Read(void *buffer, std::uint32_t count) {
  if (!IsHandleValid()) return false;
  DWORD n = 0;
  bool ok = ReadSyncCount(GetHandle(), buffer, count, &n);
  Consumed(unread_, n);
  return ok && n == count;
}

bool TnrCustomComm::ReadAll(void *buffer, std::uint32_t size, std::uint32_t *read) {
  if (read) *read = 0;
  if (!IsHandleValid()) return false;
  std::uint32_t want = std::min(GetReadyForRead(), size);
  if (want == 0) return true;
  DWORD n = 0;
  bool ok = ReadSyncCount(GetHandle(), buffer, want, &n);
  Consumed(unread_, n);
  if (read) *read = n;
  return ok;
}

std::string TnrCustomComm::ReadString() {
  if (!IsHandleValid()) return {};
  std::uint32_t want = GetReadyForRead();
  if (want == 0) return {};
  std::string text(want, '\0');
  DWORD n = 0;
  bool ok = ReadSyncCount(GetHandle(), text.data(), want, &n);
  Consumed(unread_, n);
  if (!ok) return {};
  text.resize(n);
  return text;
}

std::uint32_t TnrCustomComm::GetReadyForRead() {
  if (!IsHandleValid()) return 0;
  DWORD errors = 0;
  COMSTAT stat{};
  return ClearCommError(GetHandle(), &errors, &stat) ? stat.cbInQue : 0;
}

std::uint32_t TnrCustomComm::GetNotYetSend() {
  if (!IsHandleValid()) return 0;
  DWORD errors = 0;
  COMSTAT stat{};
  return ClearCommError(GetHandle(), &errors, &stat) ? stat.cbOutQue : 0;
}

bool TnrCustomComm::WaitLine(DWORD ms) {
  // On the main thread of a host with an application object WinProc runs
  // here: its messages and synchronised calls are processed while waiting.
  TApplication *app = Application();
  if (app && app->MainThreadID() == GetCurrentThreadId()) {
    DWORD r = MsgWaitForMultipleObjects(1, &lineEvent_, FALSE, ms, QS_ALLINPUT);
    app->ProcessMessages();
    return r == WAIT_OBJECT_0;
  }
  return WaitForSingleObject(lineEvent_, ms) == WAIT_OBJECT_0;
}

bool TnrCustomComm::WaitForBytes(std::uint32_t count, std::uint32_t timeout) {
  if (!IsHandleValid()) return false;
  TTraceStates saved = GetTraceStates();
  SetTraceState(saved - TTraceStates{tsRxChar});
  TnrElapsed elapsed;
  bool result = false;
  // The count is looked at after every port event, and at least every
  // millisecond; the time passed is counted in 64 bits, so a time-out of any
  // size (INFINITE: none) is waited out.
  for (;;) {
    if (GetReadyForRead() >= count) {
      result = true;
      break;
    }
    if (!IsHandleValid() || elapsed.Passed(timeout)) break;
    WaitLine(1);
  }
  SetTraceState(saved);
  return result;
}

bool TnrCustomComm::WaitForSignal(TModemSignal signal, std::uint32_t timeout) {
  if (!IsHandleValid()) return false;
  TnrElapsed elapsed;
  for (;;) {
    if (GetStateModemSignals().Contains(signal)) return true;
    WaitLine(1);
    if (!IsHandleValid() || elapsed.Passed(timeout)) return false;
  }
}

// ---------------------------------------------------------------------------
// Modem lines and purging

void TnrCustomComm::SetStateDTR(bool on) {
  if (!IsHandleValid()) return;
  EscapeCommFunction(GetHandle(), on ? SETDTR : CLRDTR);
  DoTraceStates(this, {tsDSR});
}

void TnrCustomComm::SetStateRTS(bool on) {
  if (!IsHandleValid()) return;
  EscapeCommFunction(GetHandle(), on ? SETRTS : CLRRTS);
  DoTraceStates(this, {tsCTS});
}

void TnrCustomComm::SetStateX(bool on) {
  if (IsHandleValid()) EscapeCommFunction(GetHandle(), on ? SETXON : SETXOFF);
}

void TnrCustomComm::SetStateBreak(bool on) {
  if (IsHandleValid()) EscapeCommFunction(GetHandle(), on ? SETBREAK : CLRBREAK);
}

TModemSignals TnrCustomComm::GetStateModemSignals() {
  TModemSignals signals;
  DWORD status = 0;
  if (!IsHandleValid() || !GetCommModemStatus(GetHandle(), &status)) return signals;
  if (status & MS_CTS_ON) signals.Include(msCTS);
  if (status & MS_DSR_ON) signals.Include(msDSR);
  if (status & MS_RING_ON) signals.Include(msRing);
  if (status & MS_RLSD_ON) signals.Include(msRLSD);
  return signals;
}

void TnrCustomComm::ClearDeviceInput() {
  if (IsHandleValid()) PurgeComm(GetHandle(), PURGE_RXABORT | PURGE_RXCLEAR);
}

void TnrCustomComm::ClearDeviceOutput() {
  if (IsHandleValid()) PurgeComm(GetHandle(), PURGE_TXABORT | PURGE_TXCLEAR);
}

void TnrCustomComm::ClearDeviceBuffers() {
  if (!IsHandleValid()) return;
  PurgeComm(GetHandle(), PURGE_RXABORT | PURGE_RXCLEAR | PURGE_TXABORT | PURGE_TXCLEAR);
  nrCancelIO(GetHandle());
}

void TnrCustomComm::FlushOutputBuffer() {
  if (IsHandleValid()) FlushFileBuffers(GetHandle());
}

// ---------------------------------------------------------------------------
// Settings

void TnrCustomComm::DCBUpdate() {
  config_.dwSize = sizeof(COMMCONFIG);
  config_.dcb.DCBlength = sizeof(DCB);
  if (!IsHandleValid()) return;
  COMMCONFIG fresh = config_;
  DWORD size = sizeof fresh;
  if (GetCommConfig(GetHandle(), &fresh, &size)) config_ = fresh;
  config_.dwSize = sizeof(COMMCONFIG);
  GetCommState(GetHandle(), &config_.dcb);
  config_.dcb.DCBlength = sizeof(DCB);
}

void TnrCustomComm::DCBApply() {
  config_.dcb.DCBlength = sizeof(DCB);
  if (IsHandleValid()) SetCommState(GetHandle(), &config_.dcb);  // a refusal is ignored
}

std::uint32_t TnrCustomComm::GetBaudRate() {
  DCBUpdate();
  return config_.dcb.BaudRate;
}

void TnrCustomComm::SetBaudRate(std::uint32_t rate) {
  config_.dcb.BaudRate = rate;
  DCBApply();
}

TParity TnrCustomComm::GetParity() {
  DCBUpdate();
  return config_.dcb.Parity <= pSpace ? static_cast<TParity>(config_.dcb.Parity) : pNone;
}

void TnrCustomComm::SetParity(TParity parity) {
  config_.dcb.Parity = static_cast<BYTE>(parity);
  std::uint32_t flags = DcbFlags(config_.dcb);
  SetDcbFlags(config_.dcb, parity == pNone ? flags & ~kParityCheck : flags | kParityCheck);
  DCBApply();
}

TStopBits TnrCustomComm::GetStopBits() {
  DCBUpdate();
  return config_.dcb.StopBits <= sbTwo ? static_cast<TStopBits>(config_.dcb.StopBits) : sbOne;
}

void TnrCustomComm::SetStopBits(TStopBits stopBits) {
  config_.dcb.StopBits = static_cast<BYTE>(stopBits);
  DCBApply();
}

std::uint8_t TnrCustomComm::GetByteSize() {
  DCBUpdate();
  return config_.dcb.ByteSize;
}

void TnrCustomComm::SetByteSize(std::uint8_t size) {
  config_.dcb.ByteSize = size >= 4 && size <= 8 ? size : 8;
  DCBApply();
}

char TnrCustomComm::GetEventChar() {
  DCBUpdate();
  return config_.dcb.EvtChar;
}

void TnrCustomComm::SetEventChar(char ch) {
  config_.dcb.EvtChar = ch;
  DCBApply();
}

TStreamProtocol TnrCustomComm::GetStreamProtocol() {
  DCBUpdate();
  std::uint32_t flags = DcbFlags(config_.dcb);
  if ((flags & 0x311) == 0x311) return spXonXoff;
  if ((flags & 0x2015) == 0x2015) return spHardware;
  return spNone;
}

void TnrCustomComm::SetStreamProtocol(TStreamProtocol protocol) {
  std::uint32_t flags = DcbFlags(config_.dcb);
  switch (protocol) {
    case spNone:
      flags = (flags | 0x11) & 0x4CFB;
      break;
    case spXonXoff:
      flags = (flags | 0x311) & 0x4FFB;
      config_.dcb.XonLim = 10;
      config_.dcb.XoffLim = 10;
      config_.dcb.XonChar = 0x11;
      config_.dcb.XoffChar = 0x13;
      break;
    case spHardware:
      flags = (flags | 0x2015) & 0x2CFF;
      break;
  }
  SetDcbFlags(config_.dcb, flags);
  DCBApply();
}

COMMPROP &TnrCustomComm::GetCommProp() {
  if (IsHandleValid()) {
    commProp_.wPacketLength = sizeof commProp_;
    GetCommProperties(GetHandle(), &commProp_);
  }
  return commProp_;
}

std::uint16_t TnrCustomComm::GetBufferInSize() {
  if (IsHandleValid()) {
    DWORD current = GetCommProp().dwCurrentRxQueue;
    if (current != 0) bufferInSize_ = static_cast<std::uint16_t>(current & 0xFFFF);
  }
  return bufferInSize_;
}

void TnrCustomComm::SetBufferInSize(std::uint16_t size) {
  if (IsHandleValid())
    SetupComm(GetHandle(), size, GetBufferOutSize());
  else
    bufferInSize_ = size;
}

std::uint16_t TnrCustomComm::GetBufferOutSize() {
  if (IsHandleValid()) {
    DWORD current = GetCommProp().dwCurrentTxQueue;
    if (current != 0) bufferOutSize_ = static_cast<std::uint16_t>(current & 0xFFFF);
  }
  return bufferOutSize_;
}

void TnrCustomComm::SetBufferOutSize(std::uint16_t size) {
  if (IsHandleValid())
    SetupComm(GetHandle(), GetBufferInSize(), size);
  else
    bufferOutSize_ = size;
}

void TnrCustomComm::SetTimeOuts(const COMMTIMEOUTS &timeouts) {
  timeouts_ = timeouts;
  if (IsHandleValid()) SetCommTimeouts(GetHandle(), &timeouts_);
}

COMMTIMEOUTS &TnrCustomComm::GetTimeouts() {
  if (IsHandleValid()) GetCommTimeouts(GetHandle(), &timeouts_);
  return timeouts_;
}

std::uint32_t TnrCustomComm::GetTimeoutRead() { return GetTimeouts().ReadTotalTimeoutMultiplier; }

void TnrCustomComm::SetTimeoutRead(std::uint32_t ms) {
  COMMTIMEOUTS t = GetTimeouts();
  t.ReadTotalTimeoutMultiplier = ms;
  SetTimeOuts(t);
}

std::uint32_t TnrCustomComm::GetTimeoutWrite() { return GetTimeouts().WriteTotalTimeoutMultiplier; }

void TnrCustomComm::SetTimeoutWrite(std::uint32_t ms) {
  COMMTIMEOUTS t = GetTimeouts();
  t.WriteTotalTimeoutMultiplier = ms;
  SetTimeOuts(t);
}

void TnrCustomComm::SetTraceState(TTraceStates states) {
  traceStates_ = states.ToBits();
  if (!IsHandleValid()) return;
  // A new event mask ends the comm thread's wait, under Wine as cancelled.
  // The count changes before and after, so the thread can tell such an end
  // from a port that has gone, and simply waits again.
  ++maskChanges_;
  SetCommMask(GetHandle(), EventMask(states));
  ++maskChanges_;
}

void TnrCustomComm::ConfigDialog() {
  DCBUpdate();
  std::string name = GetPortName();
  CommConfigDialogA(name.c_str(), GetMainWindowHandle(), &config_);
  DCBApply();
}

const TPropertyTable &TnrCustomComm::Published() const {
  static const TPropertyTable table =
      TPropertyTable(TnrBaseIO::Published())
          .Add<&TnrCustomComm::SetBaudRate>("BaudRate")
          .Add<&TnrCustomComm::SetParity>("Parity")
          .Add<&TnrCustomComm::SetStopBits>("StopBits")
          .Add<&TnrCustomComm::SetByteSize>("ByteSize")
          .Add<&TnrCustomComm::SetStreamProtocol>("StreamProtocol")
          .Add<&TnrCustomComm::SetBufferInSize>("BufferInSize")
          .Add<&TnrCustomComm::SetBufferOutSize>("BufferOutSize")
          .Add<&TnrCustomComm::SetTimeoutRead>("TimeoutRead")
          .Add<&TnrCustomComm::SetTimeoutWrite>("TimeoutWrite")
          .Add<&TnrCustomComm::SetTraceState>("TraceStates")
          .Add<&TnrCustomComm::SetEventListOnLine>("EventListOnLine")
          .Add<&TnrCustomComm::SetTerminal>("Terminal")
          .Add<&TnrCustomComm::SetTerminalUsage>("TerminalUsage")
          .Add<&TnrCustomComm::SetTerminalEcho>("TerminalEcho")
          .Add<&TnrCustomComm::SetMonitorCTS>("MonitorCTS")
          .Add<&TnrCustomComm::SetMonitorDSR>("MonitorDSR")
          .Add<&TnrCustomComm::SetMonitorRLSD>("MonitorRLSD")
          .Add<&TnrCustomComm::SetMonitorRing>("MonitorRing")
          .Add<&TnrCustomComm::SetOnListEvent>("OnListEvent")
          .Add<&TnrCustomComm::SetOnAfterReceive>("OnAfterReceive")
          .Add<&TnrCustomComm::SetOnAfterSend>("OnAfterSend")
          .Add<&TnrCustomComm::SetOnTraceState>("OnTraceState")
          .Add<&TnrCustomComm::SetOnCommError>("OnCommError");
  return table;
}
