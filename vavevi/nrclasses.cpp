#include "nrclasses.h"

#include "nrreport.h"
#include "rtapplication.h"
#include "rtexcept.h"

// ---------------------------------------------------------------------------
// The log interface

void TnrCustomLogFile::DoFatalErrors(std::uint32_t code, std::uint32_t detail,
                                     const std::string &message) {
  // A log does not write its own failure into itself.
  nrReportFatal({this, onFatalError_, nullptr}, code, detail, message, TnrFatalEnd::kRaise);
}

void TnrCustomLogFile::Save() { AbstractError(); }
void TnrCustomLogFile::Clear() { AbstractError(); }
void TnrCustomLogFile::Add(const std::string &) { AbstractError(); }
void TnrCustomLogFile::AddSysInfo() { AbstractError(); }
void TnrCustomLogFile::AddLog(TDetailLevel, const std::string &) { AbstractError(); }
void TnrCustomLogFile::AddFmt(const std::string &, const FmtArgs &) { AbstractError(); }
void TnrCustomLogFile::AddLogFmt(TDetailLevel, const std::string &, const FmtArgs &) {
  AbstractError();
}

// ---------------------------------------------------------------------------
// Sequence matching

bool CheckSequence(std::uint8_t ch, TCommEvent &event) {
  if (event.Length == 0 || !event.Bytes) return false;
  // A count outside the sequence (a record filled in by hand) starts over.
  if (event.State >= event.Length) event.State = 0;
  if (ch == event.Bytes[event.State]) {
    if (++event.State == event.Length) {
      event.State = 0;
      return true;
    }
    return false;
  }
  event.State = ch == event.Bytes[0] ? 1 : 0;
  return false;
}

// ---------------------------------------------------------------------------
// Notification handlers

namespace {
// The pair (operation, object) of one item.
struct NotifyItem {
  TnrNotifyEvent handler;
};
}  // namespace

int TnrNotifyList::Add(const TnrNotifyEvent &handler) {
  return TList::Add(new NotifyItem{handler});
}

void TnrNotifyList::Delete(int index) { TList::Delete(index); }

void TnrNotifyList::Clear() {
  for (int n = Count(); n > 0; --n) TList::Delete(0);
  TList::Clear();
}

TnrNotifyEvent TnrNotifyList::Get(int index) const {
  return static_cast<NotifyItem *>(TList::Get(index))->handler;
}

void TnrNotifyList::Put(int index, const TnrNotifyEvent &handler) {
  static_cast<NotifyItem *>(TList::Get(index))->handler = handler;
}

int TnrNotifyList::IndexOf(const TnrNotifyEvent &handler) const {
  for (int i = 0; i < Count(); ++i)
    if (static_cast<NotifyItem *>(TList::Get(i))->handler == handler) return i;
  return -1;
}

void TnrNotifyList::Call(TObject *sender, std::int32_t code) const {
  const int n = Count();
  for (int i = 0; i < n && i < Count(); ++i) {
    TnrNotifyEvent handler = Get(i);  // a copy: the handler may change the list
    if (handler) handler(sender, code);
  }
}

void TnrNotifyList::Notify(void *item, TListNotification action) {
  if (action == TListNotification::lnDeleted) delete static_cast<NotifyItem *>(item);
}

// ---------------------------------------------------------------------------
// The abstract device

TnrBaseIO::TnrBaseIO(TComponent *owner) : TComponent(owner) {}

TnrBaseIO::~TnrBaseIO() { ClearDeviceList(); }

bool TnrBaseIO::GetActive() const {
  TComponentState state = ComponentState();
  if (state.Contains(csLoading) || state.Contains(csDesigning)) return storedActive_;
  return IsHandleValid();
}

void TnrBaseIO::SetActive(bool active) {
  TComponentState state = ComponentState();
  if (state.Contains(csLoading)) {
    storedActive_ = active;
    return;
  }
  bool designing = state.Contains(csDesigning);
  if (!designing && active == GetActive()) return;
  if (active)
    Open();
  else
    Close();
  if (designing) {
    storedActive_ = IsHandleValid();
    if (IsHandleValid()) Close();
  }
}

void TnrBaseIO::SetLog(TnrCustomLogFile *log) {
  log_ = log;
  if (log) FreeNotification(log);
}

void TnrBaseIO::SetDataProcessor(TnrCustomDataProcessor *processor) {
  if (!processor && dataProcessor_) dataProcessor_->SetDevice(nullptr);
  dataProcessor_ = processor;
  if (processor) {
    processor->SetDevice(this);
    FreeNotification(processor);
  }
}

void TnrBaseIO::Notification(TComponent *component, TOperation operation) {
  TComponent::Notification(component, operation);
  if (operation != TOperation::opRemove) return;
  // A processor detaches itself from this device in its destructor, before
  // this notice arrives; here only the reference goes.
  if (component == dataProcessor_)
    dataProcessor_ = nullptr;
  else if (component == log_)
    log_ = nullptr;
}

bool TnrBaseIO::IsHandleValid() const { return GetHandle() != INVALID_HANDLE_VALUE; }

void TnrBaseIO::DoFatalErrors(std::uint32_t code, std::uint32_t detail, const std::string &message,
                              bool show) {
  TnrFatalEnd end = Loading() ? TnrFatalEnd::kKeep
                    : show    ? TnrFatalEnd::kShow
                              : TnrFatalEnd::kRaise;
  nrReportFatal({this, onFatalError_, log_}, code, detail, message, end);
}

void TnrBaseIO::DoNotify(std::int32_t code) { notifyList_.Call(this, code); }

void TnrBaseIO::SetDeviceIndex(int) { DoNotify(nrNotifyDeviceChanged); }

int TnrBaseIO::GetDeviceIndex() { AbstractError(); }

void TnrBaseIO::Open() { SetHandle(RequestDeviceHandle()); }

void TnrBaseIO::Close() { SetHandle(INVALID_HANDLE_VALUE); }

void TnrBaseIO::ClearDeviceList() { deviceList_.Clear(); }

HANDLE TnrBaseIO::RequestDeviceHandle() { return INVALID_HANDLE_VALUE; }

void TnrBaseIO::Update() { DoNotify(nrNotifyDeviceChanged); }

void TnrBaseIO::GetDeviceList(TStringList *list) {
  if (!list) return;
  list->Clear();
  for (int i = 0; i < deviceList_.Count(); ++i)
    list->AddObject(deviceList_.Strings(i), deviceList_.Objects(i));
}

int TnrBaseIO::NotifyAdd(const TnrNotifyEvent &handler) {
  int index = notifyList_.IndexOf(handler);
  return index >= 0 ? index : notifyList_.Add(handler);
}

void TnrBaseIO::NotifyDelete(const TnrNotifyEvent &handler) {
  int index = notifyList_.IndexOf(handler);
  if (index >= 0) notifyList_.Delete(index);
}

void TnrBaseIO::SendChar(char) { AbstractError(); }
void TnrBaseIO::SendString(const std::string &) { AbstractError(); }
void TnrBaseIO::SendData(const void *, std::uint32_t) { AbstractError(); }
void TnrBaseIO::ClearDeviceInput() { AbstractError(); }
void TnrBaseIO::ClearDeviceOutput() { AbstractError(); }
void TnrBaseIO::ClearDeviceBuffers() { AbstractError(); }

void TnrBaseIO::Logging(TDetailLevel level, const std::string &text) {
  if (!log_) return;
  if (text.empty())
    log_->AddSysInfo();
  else
    log_->AddLog(level, logPrefix_ + text);
}

void TnrBaseIO::LoggingFmt(TDetailLevel level, const std::string &format, const FmtArgs &args) {
  if (log_) log_->AddLogFmt(level, logPrefix_ + format, args);
}

const TPropertyTable &TnrBaseIO::Published() const {
  static const TPropertyTable table = TPropertyTable(TComponent::Published())
                                          .Add<&TnrBaseIO::SetActive>("Active")
                                          .Add<&TnrBaseIO::SetDeviceIndex>("DeviceIndex")
                                          .Add<&TnrBaseIO::SetDataProcessor>("DataProcessor")
                                          .Add<&TnrBaseIO::SetLog>("Log")
                                          .Add<&TnrBaseIO::SetOnFatalError>("OnFatalError");
  return table;
}

// ---------------------------------------------------------------------------
// The hidden-window timer

namespace {

constexpr UINT_PTR kTimerId = 1;
constexpr const char *kTimerClass = "TnrTimerWindow";

// The module that holds this code (torvex.dll, or a test program).
HINSTANCE ThisModule() {
  HMODULE module = nullptr;
  GetModuleHandleExA(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCSTR>(&ThisModule), &module);
  return module;
}

// The window class of the timers, registered on first use and removed when
// the module is unloaded (a class left behind would point into a module that
// is gone).
class TimerClass {
 public:
  TimerClass(WNDPROC proc) : instance_(ThisModule()) {
    WNDCLASSA wc{};
    wc.lpfnWndProc = proc;
    wc.hInstance = instance_;
    wc.lpszClassName = kTimerClass;
    registered_ = RegisterClassA(&wc) != 0;
  }
  ~TimerClass() {
    if (registered_) UnregisterClassA(kTimerClass, instance_);
  }
  HINSTANCE Instance() const { return instance_; }

 private:
  HINSTANCE instance_;
  bool registered_ = false;
};

}  // namespace

TnrTimer::TnrTimer() {
  static TimerClass windowClass(&TnrTimer::WndProc);
  // A message-only window: never shown, it only receives the timer's
  // messages on the thread that creates it.
  window_ = CreateWindowExA(0, kTimerClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                            windowClass.Instance(), nullptr);
  if (!window_) throw Exception("Timer window creation error: " + std::to_string(GetLastError()));
  SetWindowLongPtrA(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
}

TnrTimer::~TnrTimer() {
  enabled_ = false;
  UpdateTimer();
  SetWindowLongPtrA(window_, GWLP_USERDATA, 0);
  DestroyWindow(window_);
}

void TnrTimer::SetInterval(std::uint32_t ms) {
  if (ms == interval_) return;
  interval_ = ms;
  UpdateTimer();
}

void TnrTimer::SetEnabled(bool enabled) {
  if (enabled == enabled_) return;
  enabled_ = enabled;
  UpdateTimer();
}

void TnrTimer::SetOnTimer(TNotifyEvent handler) {
  onTimer_ = handler;
  UpdateTimer();
}

void TnrTimer::UpdateTimer() {
  KillTimer(window_, kTimerId);
  if (interval_ != 0 && enabled_ && onTimer_) SetTimer(window_, kTimerId, interval_, nullptr);
}

void TnrTimer::Timer() {
  if (onTimer_) onTimer_(this);
}

LRESULT CALLBACK TnrTimer::WndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_TIMER) {
    auto *self = reinterpret_cast<TnrTimer *>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (self) {
      try {
        self->Timer();
      } catch (...) {
        // An error of OnTimer never leaves the window procedure, and the
        // timer has no report of its own (a processor's send timer reports
        // through the processor, DoAsyncTimeout): the last road.
        nrDebugReport("Timer handler error", nrCaughtText("unknown error"));
      }
    }
    return 0;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

// ---------------------------------------------------------------------------
// Data processors

namespace {

// Inside a catch block at an edge of a processor: the error in flight on the
// processor's road (its code 0), nothing raised.
void ReportAtEdge(TnrCustomDataProcessor &processor, const char *where) {
  std::string text = nrCaughtText("Unknown exception in a data processor");
  nrReportAtEdge(where, text, [&] { processor.DoFatalErrors(0, 0, text); });
}

}  // namespace

TnrCustomDataProcessor::TnrCustomDataProcessor(TComponent *owner)
    : TComponent(owner), timer_(std::make_unique<TnrTimer>()) {
  timer_->SetEnabled(false);
  timer_->SetOnTimer(Bind<&TnrCustomDataProcessor::DoAsyncTimeout>(this));
}

TnrCustomDataProcessor::~TnrCustomDataProcessor() {
  TnrCustomDataProcessor::SetDevice(nullptr);
  timer_.reset();
}

void TnrCustomDataProcessor::SetLog(TnrCustomLogFile *log) {
  log_ = log;
  if (log) FreeNotification(log);
}

void TnrCustomDataProcessor::DoHandleNotify(TObject *, std::int32_t code) {
  if (code == nrNotifyMediumClosed)
    DoMediumClosed();
  else if (code == nrNotifyMediumOpened)
    DoMediumOpened();
}

void TnrCustomDataProcessor::DoMediumClosed() { Logging(dlDebug, "Medium Closed"); }

void TnrCustomDataProcessor::DoMediumOpened() { Logging(dlDebug, "Medium Opened"); }

void TnrCustomDataProcessor::SetDataProcessor(TnrCustomDataProcessor *processor) {
  dataProcessor_ = processor;
  if (processor) {
    FreeNotification(processor);
    processor->SetDevice(device_);
  }
}

void TnrCustomDataProcessor::SetDevice(TnrBaseIO *device) {
  TnrNotifyEvent handler = Bind<&TnrCustomDataProcessor::DoHandleNotify>(this);
  if ((!device || device != device_) && device_) device_->NotifyDelete(handler);
  device_ = device;
  if (device) {
    FreeNotification(device);
    device->NotifyAdd(handler);
  }
}

void TnrCustomDataProcessor::SetActive(bool active) { active_ = active; }

void TnrCustomDataProcessor::DoDataSend(const void *buffer, std::uint32_t count) {
  if (!buffer || count == 0) return;
  try {
    bool handled = false;
    if (onDataSend_)
      onDataSend_(this, static_cast<const std::uint8_t *>(buffer), count, false, handled);
    if (handled) {
      timer_->SetEnabled(false);
      timer_->SetEnabled(true);
    } else if (device_) {
      device_->SendData(buffer, count);
    }
  } catch (...) {
    // A failing handler or send never reaches the caller: it is reported
    // on the processor's road, and nothing is raised.
    ReportAtEdge(*this, "Data processor send error");
  }
}

void TnrCustomDataProcessor::DoStringSend(const std::string &text) {
  if (text.empty()) return;
  try {
    bool handled = false;
    if (onDataSend_)
      onDataSend_(this, reinterpret_cast<const std::uint8_t *>(text.data()),
                  static_cast<std::uint32_t>(text.size()), true, handled);
    if (!handled && device_) device_->SendString(text);
  } catch (...) {
    // A failing handler or send never reaches the caller: it is reported
    // on the processor's road, and nothing is raised.
    ReportAtEdge(*this, "Data processor send error");
  }
}

void TnrCustomDataProcessor::DoFatalErrors(std::uint32_t code, std::uint32_t detail,
                                           const std::string &message) {
  nrReportFatal({this, onFatalError_, log_}, code, detail, message, TnrFatalEnd::kRaise);
}

void TnrCustomDataProcessor::DoProcessing(std::uint8_t *, std::uint32_t, TIgnoreTypes &) {}

void TnrCustomDataProcessor::DataReceive(std::uint8_t *buffer, std::uint32_t count) {
  TIgnoreTypes ignore;
  DoProcessing(buffer, count, ignore);
}

void TnrCustomDataProcessor::DoAfterSendComplete(bool &) {}

void TnrCustomDataProcessor::DoAsyncTimeout(TObject *) {
  timer_->SetEnabled(false);
  bool handled = false;
  try {
    DoAfterSendComplete(handled);
  } catch (...) {
    // Called by the send timer's window procedure, which nothing may cross.
    ReportAtEdge(*this, "Data processor send-complete error");
  }
}

void TnrCustomDataProcessor::Logging(TDetailLevel level, const std::string &text) {
  if (log_) log_->AddLog(level, logPrefix_ + text);
}

void TnrCustomDataProcessor::LoggingFmt(TDetailLevel level, const std::string &format,
                                        const FmtArgs &args) {
  if (log_) log_->AddLogFmt(level, logPrefix_ + format, args);
}

void TnrCustomDataProcessor::Notification(TComponent *component, TOperation operation) {
  TComponent::Notification(component, operation);
  if (operation != TOperation::opRemove) return;
  if (component == dataProcessor_) SetDataProcessor(nullptr);
  // The device goes with its notify list: only the reference is dropped
  // (asking a device that is being destroyed to delete the handler would
  // reach into what it has already released).
  if (component == device_) device_ = nullptr;
  if (component == log_) log_ = nullptr;
}
