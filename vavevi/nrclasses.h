// Nrclasses: what every communication component shares.
//
//   - the event and enumeration types of the components;
//   - TnrNotifyList, the list of notification handlers of a device;
//   - TnrBaseIO, the abstract I/O device (the serial and USB components
//     derive from it): its handle, Active, device list, log and the
//     fatal-error report;
//   - TnrCustomDataProcessor, the extension point for protocol filters that
//     sit behind a device, see its received data and may take over sends;
//   - TnrTimer, a periodic timer on a hidden window of the creating thread;
//   - CheckSequence, the byte-sequence matcher;
//   - TnrCustomLogFile, the log interface every component writes to.
//
// References between components (a device's Log and DataProcessor, a
// processor's Device and next processor) are guarded by removal notices: a
// component that is destroyed is dropped by everyone who refers to it.
#pragma once

#include <windows.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "nrexport.h"
#include "rtcomponent.h"
#include "rtformat.h"
#include "rthandler.h"
#include "rtlists.h"
#include "rtproperties.h"
#include "rtset.h"

// The level of a log message; a log writes a message whose level is not
// above its DetailLevel.
enum TDetailLevel { dlSimple, dlDetail, dlDebug };

template <>
struct EnumNames<TDetailLevel> {
  static constexpr std::array<std::string_view, 3> names{"dlSimple", "dlDetail", "dlDebug"};
};

// (Sender, ErrorCode, Detail, ErrorMsg, RaiseException): a handler may clear
// RaiseException to keep the error from being raised.
using TOnFatalErrorEvent =
    Handler<void(TObject *Sender, std::uint32_t ErrorCode, std::uint32_t Detail,
                 const std::string &ErrorMsg, bool &RaiseException)>;
using TNotifyEvent = Handler<void(TObject *Sender)>;

// Notifications a device sends to its registered handlers (DoNotify).
enum : std::int32_t {
  nrNotifyMediumClosed = 1,   // the device's medium (port) has closed
  nrNotifyMediumOpened = 2,   // it has opened
  nrNotifyDeviceChanged = 3,  // the selected device changed
};
using TnrNotifyEvent = Handler<void(TObject *Sender, std::int32_t Code)>;

// Received data: the component, the bytes and their count.
using TOnReceived = Handler<void(TObject *Com, const std::uint8_t *Buffer, std::uint32_t Received)>;
// A send has completed.
using TOnSent = Handler<void(TObject *Com)>;

// Steps of a device's receive path that a data processor may ask it to skip.
enum TIgnoreType { itTerminal, itEventList, itAfterReceive, itTraceState };
using TIgnoreTypes = TSet<TIgnoreType>;

template <>
struct EnumNames<TIgnoreType> {
  static constexpr std::array<std::string_view, 4> names{"itTerminal", "itEventList",
                                                         "itAfterReceive", "itTraceState"};
};

// A processor is offered every send first: (Sender, ptrBuffer, Len,
// flSynchro, flHandled). Setting flHandled keeps the device from sending.
using TDataSendEvent = Handler<void(TObject *Sender, const std::uint8_t *ptrBuffer,
                                    std::uint32_t Len, bool flSynchro, bool &flHandled)>;

// One watched byte sequence. State counts the bytes matched so far; Bytes
// belongs to the event list that holds the record; Position is the index in
// the received block of the byte that completed the last match.
struct TCommEvent {
  std::uint32_t State;
  std::uint32_t Length;
  std::uint8_t *Bytes;
  std::int32_t Position;
};

// Feeds one received byte to a sequence. True when the byte completes the
// sequence (the count starts again at 0). A mismatch restarts at 1 when the
// byte is the sequence's first, else at 0; there is no other fallback, so
// "aab" is not found in "aaab". An empty sequence never matches.
VAVEVI_API bool CheckSequence(std::uint8_t ch, TCommEvent &event);

// The log interface that components hold in their Log property. It owns the
// fatal-error report; everything else is for the concrete log to provide.
class VAVEVI_API TnrCustomLogFile : public TComponent {
 public:
  explicit TnrCustomLogFile(TComponent *owner) : TComponent(owner) {}

  const TOnFatalErrorEvent &GetOnFatalError() const { return onFatalError_; }
  void SetOnFatalError(TOnFatalErrorEvent handler) { onFatalError_ = handler; }

  // Offers the error to OnFatalError, which may clear the raise flag; raises
  // Exception(message) when the flag is still set.
  virtual void DoFatalErrors(std::uint32_t code, std::uint32_t detail, const std::string &message);
  // The rest raise the abstract-call error unless a subclass provides them.
  virtual void Save();
  virtual void Clear();
  virtual void Add(const std::string &text);
  virtual void AddSysInfo();
  virtual void AddLog(TDetailLevel level, const std::string &text);
  virtual void AddFmt(const std::string &format, const FmtArgs &args);
  virtual void AddLogFmt(TDetailLevel level, const std::string &format, const FmtArgs &args);

 private:
  TOnFatalErrorEvent onFatalError_;
};

// The notification handlers of a device. Each item is a handler (operation
// and object) held in a pair the list allocates and frees. Two handlers are
// the same when both the operation and the object are the same.
class VAVEVI_API TnrNotifyList : public TList {
 public:
  TnrNotifyList() = default;
  ~TnrNotifyList() override { TnrNotifyList::Clear(); }

  int Add(const TnrNotifyEvent &handler);  // its index
  void Delete(int index);
  void Clear() override;
  TnrNotifyEvent Get(int index) const;
  void Put(int index, const TnrNotifyEvent &handler);  // overwrites in place
  int IndexOf(const TnrNotifyEvent &handler) const;    // -1 when absent
  // Calls every handler with (sender, code) in index order. The count is
  // taken once; handlers that remove items while this runs end the round
  // early rather than reading past the list.
  void Call(TObject *sender, std::int32_t code) const;

 protected:
  void Notify(void *item, TListNotification action) override;
};

class TnrCustomDataProcessor;

// The abstract I/O device. A device is closed (its handle is
// INVALID_HANDLE_VALUE) until Open gets a handle from RequestDeviceHandle,
// and closed again by Close. Subclasses open their device in
// RequestDeviceHandle and implement the sends and purges.
class VAVEVI_API TnrBaseIO : public TComponent {
 public:
  explicit TnrBaseIO(TComponent *owner);
  // Clears the device list. It does not close the device: a subclass closes
  // its device in its own destructor.
  ~TnrBaseIO() override;

  // Active: while loading from a resource or designing, the stored flag;
  // otherwise whether the handle is valid. Writing while loading only stores
  // the flag (the subclass applies it in Loaded); otherwise a change opens or
  // closes the device. In the design state an opening is a test: the stored
  // flag records whether it worked and the device is closed again.
  bool GetActive() const;
  void SetActive(bool active);

  TnrCustomLogFile *GetLog() const { return log_; }
  void SetLog(TnrCustomLogFile *log);
  TnrCustomDataProcessor *GetDataProcessor() const { return dataProcessor_; }
  // Attaches a processor (it registers for this device's notifications);
  // none detaches the current one.
  void SetDataProcessor(TnrCustomDataProcessor *processor);
  const TOnFatalErrorEvent &GetOnFatalError() const { return onFatalError_; }
  void SetOnFatalError(TOnFatalErrorEvent handler) { onFatalError_ = handler; }

  HANDLE GetHandle() const { return handle_.load(std::memory_order_acquire); }
  const std::string &GetLogPrefix() const { return logPrefix_; }
  TnrNotifyList &NotifyList() { return notifyList_; }
  // The devices this component can select: a display text each, with an
  // associated value (for a serial port, its number).
  TStringList &DeviceList() { return deviceList_; }

  virtual bool IsHandleValid() const;
  // The fatal-error report: OnFatalError may clear the raise flag; the Log
  // gets "Fatal Error: <code>, <detail>, <message>" at dlSimple whatever the
  // handler did. With the flag still set (and not while loading) the error
  // is raised as Exception(message), or with show set handed to the
  // standard error display (a message box) and the caller goes on.
  virtual void DoFatalErrors(std::uint32_t code, std::uint32_t detail, const std::string &message,
                             bool show);
  virtual void DoNotify(std::int32_t code);
  virtual void SetDeviceIndex(int index);  // here: only notifies code 3
  virtual int GetDeviceIndex();            // abstract
  virtual void Open();
  virtual void Close();
  virtual void ClearDeviceList();
  virtual HANDLE RequestDeviceHandle();  // here: INVALID_HANDLE_VALUE
  virtual void Update();                 // here: notifies code 3
  // Copies the device list (texts and values) into list; nothing for none.
  virtual void GetDeviceList(TStringList *list);
  virtual int NotifyAdd(const TnrNotifyEvent &handler);  // index; at most once
  virtual void NotifyDelete(const TnrNotifyEvent &handler);
  virtual void SendChar(char ch);                                  // abstract
  virtual void SendString(const std::string &text);                // abstract
  virtual void SendData(const void *buffer, std::uint32_t count);  // abstract
  virtual void ClearDeviceInput();                                 // abstract
  virtual void ClearDeviceOutput();                                // abstract
  virtual void ClearDeviceBuffers();                               // abstract

  // With a Log: the log prefix and the text at the level; an empty text
  // asks the log for its system-information entry.
  void Logging(TDetailLevel level, const std::string &text);
  void LoggingFmt(TDetailLevel level, const std::string &format, const FmtArgs &args);

  const TPropertyTable &Published() const override;

 protected:
  void Notification(TComponent *component, TOperation operation) override;
  void SetHandle(HANDLE handle) { handle_.store(handle, std::memory_order_release); }
  void SetLogPrefix(std::string prefix) { logPrefix_ = std::move(prefix); }
  bool StoredActive() const { return storedActive_; }
  bool Loading() const { return ComponentState().Contains(csLoading); }

 private:
  TnrNotifyList notifyList_;
  TnrCustomLogFile *log_ = nullptr;
  TnrCustomDataProcessor *dataProcessor_ = nullptr;
  TOnFatalErrorEvent onFatalError_;
  TStringList deviceList_;
  bool storedActive_ = false;
  // Read by the threads of a device (a serial port's comm and message
  // threads) while the caller's thread opens and closes it.
  std::atomic<HANDLE> handle_{INVALID_HANDLE_VALUE};
  std::string logPrefix_;
};

// A periodic timer on a hidden window that belongs to the creating thread:
// OnTimer runs on that thread's message loop. It runs while Enabled, with an
// Interval other than 0 and an OnTimer handler. Errors raised by OnTimer
// stay in the timer (it keeps running) and go to the debugger output.
class VAVEVI_API TnrTimer : public TObject {
 public:
  TnrTimer();
  ~TnrTimer() override;

  std::uint32_t GetInterval() const { return interval_; }
  void SetInterval(std::uint32_t ms);
  bool GetEnabled() const { return enabled_; }
  void SetEnabled(bool enabled);
  const TNotifyEvent &GetOnTimer() const { return onTimer_; }
  void SetOnTimer(TNotifyEvent handler);
  HWND WindowHandle() const { return window_; }

 protected:
  virtual void Timer();  // calls OnTimer

 private:
  void UpdateTimer();
  static LRESULT CALLBACK WndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

  std::uint32_t interval_ = 1000;
  bool enabled_ = true;
  TNotifyEvent onTimer_;
  HWND window_ = nullptr;
};

// The extension point for protocol filters. A processor serves a device
// (Device) and may pass on to a next processor (DataProcessor); every
// processor of a chain hears the device's notifications. The device offers
// each received block to DoProcessing before its own handling; DoDataSend
// and DoStringSend offer a send to OnDataSend before the device sends it.
class VAVEVI_API TnrCustomDataProcessor : public TComponent {
 public:
  explicit TnrCustomDataProcessor(TComponent *owner);
  ~TnrCustomDataProcessor() override;  // detaches from its device

  TnrBaseIO *GetDevice() const { return device_; }
  TnrCustomDataProcessor *GetDataProcessor() const { return dataProcessor_; }
  bool GetActive() const { return active_; }
  TnrCustomLogFile *GetLog() const { return log_; }
  void SetLog(TnrCustomLogFile *log);
  const TOnFatalErrorEvent &GetOnFatalError() const { return onFatalError_; }
  void SetOnFatalError(TOnFatalErrorEvent handler) { onFatalError_ = handler; }
  const TDataSendEvent &GetOnDataSend() const { return onDataSend_; }
  void SetOnDataSend(TDataSendEvent handler) { onDataSend_ = handler; }
  // Restarted by a send that OnDataSend handled; DoAsyncTimeout follows one
  // interval (1000 ms) later.
  TnrTimer &SendTimer() { return *timer_; }
  const std::string &GetLogPrefix() const { return logPrefix_; }

  // The device's notifications: code 1 DoMediumClosed, code 2
  // DoMediumOpened.
  virtual void DoHandleNotify(TObject *sender, std::int32_t code);
  virtual void DoMediumClosed();
  virtual void DoMediumOpened();
  // Sets the next processor and gives it this processor's device.
  virtual void SetDataProcessor(TnrCustomDataProcessor *processor);
  // Moves this processor's notification handler to the new device.
  virtual void SetDevice(TnrBaseIO *device);
  virtual void SetActive(bool active);
  virtual void DoDataSend(const void *buffer, std::uint32_t count);
  virtual void DoStringSend(const std::string &text);
  // OnFatalError may clear the raise flag; the Log gets the "Fatal Error"
  // entry; with the flag still set Exception(message) is raised. Errors of
  // sends and of DoAfterSendComplete (from the send timer) are reported
  // here and not raised (docs/failures.md).
  virtual void DoFatalErrors(std::uint32_t code, std::uint32_t detail, const std::string &message);
  // A received block; the processor may add steps for the device to skip.
  virtual void DoProcessing(std::uint8_t *buffer, std::uint32_t count, TIgnoreTypes &ignore);
  virtual void DataReceive(std::uint8_t *buffer, std::uint32_t count);
  virtual void DoAfterSendComplete(bool &handled);

  // The send timer's handler: stops the timer, then DoAfterSendComplete.
  void DoAsyncTimeout(TObject *sender);

  void Logging(TDetailLevel level, const std::string &text);
  void LoggingFmt(TDetailLevel level, const std::string &format, const FmtArgs &args);

 protected:
  void Notification(TComponent *component, TOperation operation) override;
  void SetLogPrefix(std::string prefix) { logPrefix_ = std::move(prefix); }

 private:
  TnrBaseIO *device_ = nullptr;
  TnrCustomDataProcessor *dataProcessor_ = nullptr;
  bool active_ = false;
  TOnFatalErrorEvent onFatalError_;
  TnrCustomLogFile *log_ = nullptr;
  TDataSendEvent onDataSend_;
  std::unique_ptr<TnrTimer> timer_;
  std::string logPrefix_;
};
