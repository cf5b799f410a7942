// Vavevi: the event-driven serial communication component (vavevi.cpp).
//
// TnrCustomComm owns an open port, its line settings (a device-control block
// inside a communication-configuration record), time-outs, queue sizes and a
// receive buffer. While it is open two threads carry the port's events to
// it: the comm thread waits on the port (overlapped WaitCommEvent) and posts
// each set of event bits to the message thread, which has WinProc handle it,
// on the host's main thread when the host has an application object and on
// itself otherwise. WinProc reads what has arrived and hands it, in this
// order, to an attached data processor, a terminal edit control, the event
// list (watched byte sequences, OnListEvent) and OnAfterReceive; it reports
// line states through OnTraceState and line errors through OnCommError.
//
// The component gets its handle from RequestDeviceHandle (TnrBaseIO), which
// the serial port component supplies together with the default settings.
//
// Threads: WinProc runs on one thread at a time (the message thread, or the
// main thread through Synchronize); sends, reads, waits, settings, Open and
// Close run on the caller's thread. A halt the comm thread decides on (the
// port has gone) is handed to the thread that runs WinProc, so the receive
// buffer is never released under WinProc. Close may be called from inside a
// handler of WinProc.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "nrclasses.h"
#include "rtedit.h"
#include "vavevi_commthread.h"
#include "vavevi_eventlist.h"
#include "vavevi_msgthread.h"
#include "vavevi_types.h"

class VAVEVI_API TnrCustomComm : public TnrBaseIO {
 public:
  explicit TnrCustomComm(TComponent *owner);
  ~TnrCustomComm() override;

  // Opening: Close, counters to 0, the handle from RequestDeviceHandle; a
  // port that does not open is the fatal error "Device "<name>" Open Error
  // !!!\r<system text>" (code 1). Then the receive buffer, the event mask,
  // the threads, InitAfterOpen, [tsTxEmpty] to OnTraceState and code 2.
  void Open() override;
  // Closing: code 1, the threads stopped, the port closed (a failure is
  // reported as a fatal error, never raised); always [tsTxEmpty] to
  // OnTraceState.
  void Close() override;
  // Closes the port without stopping the message thread: code 1, the event
  // mask emptied, queued output purged, the handle closed.
  void ForceHalt();

  // Sending. The bytes of a port leave in the order of the calls that sent
  // them, whatever the mix: every send waits for the component's write lock
  // and for an earlier SendData write still under way. On a closed port the
  // sends do nothing: no bytes, no counts, no handler, and the last error is
  // ERROR_INVALID_HANDLE (GetActive tells the caller beforehand).
  void SendChar(char ch) override;                                  // synchronous
  void SendString(const std::string &text) override;                // synchronous
  void SendData(const void *buffer, std::uint32_t count) override;  // asynchronous
  void SendAheadChar(char ch);  // ahead of queued output (TransmitCommChar)
  // True only when all count bytes were read (a read that a time-out or a
  // purge cut short gives false).
  bool Read(void *buffer, std::uint32_t count);
  // Reads the queued bytes, at most size; *read gets the count really read.
  bool ReadAll(void *buffer, std::uint32_t size, std::uint32_t *read = nullptr);
  std::string ReadString();
  // Waits until count bytes are queued (true) or the time-out passes
  // (INFINITE: no time-out); the message handler leaves arriving bytes queued
  // meanwhile unless another consumer wants them. The driver's input queue
  // must be able to hold count bytes: a sender that fills it waits, and a
  // larger count is never reached.
  bool WaitForBytes(std::uint32_t count, std::uint32_t timeout);
  bool WaitForSignal(TModemSignal signal, std::uint32_t timeout);  // INFINITE: no time-out
  void SetStateDTR(bool on);
  void SetStateRTS(bool on);
  void SetStateX(bool on);
  void SetStateBreak(bool on);
  TModemSignals GetStateModemSignals();
  TModemSignals GetModemSignals() { return GetStateModemSignals(); }
  void ClearDeviceInput() override;
  void ClearDeviceOutput() override;
  void ClearDeviceBuffers() override;
  void FlushOutputBuffer();
  void SetTimeOuts(const COMMTIMEOUTS &timeouts);
  COMMTIMEOUTS &GetTimeouts();
  COMMPROP &GetCommProp();
  void ConfigDialog();
  void SetTraceState(TTraceStates states);
  TTraceStates GetTraceStates() const { return TTraceStates::FromBits(traceStates_.load()); }
  void DoTraceStates(TObject *com, TTraceStates states);
  virtual void DoCommError(std::uint32_t commCode, std::uint32_t sysError, TComStateFlags state);
  virtual std::string GetPortName();
  virtual void InitAfterOpen();
  virtual void SetEventChar(char ch);
  virtual char GetEventChar();
  // The handler of the comm-event message.
  void WinProc(const MSG &message);

  // Line settings (the device-control block; read back from the port while
  // open, applied to it at once while open, kept for the next open else).
  std::uint32_t GetBaudRate();
  void SetBaudRate(std::uint32_t rate);
  TParity GetParity();
  void SetParity(TParity parity);
  TStopBits GetStopBits();
  void SetStopBits(TStopBits stopBits);
  std::uint8_t GetByteSize();
  void SetByteSize(std::uint8_t size);  // 4 to 8; anything else is 8
  TStreamProtocol GetStreamProtocol();
  void SetStreamProtocol(TStreamProtocol protocol);
  std::uint16_t GetBufferInSize();
  void SetBufferInSize(std::uint16_t size);
  std::uint16_t GetBufferOutSize();
  void SetBufferOutSize(std::uint16_t size);
  std::uint32_t GetTimeoutRead();
  void SetTimeoutRead(std::uint32_t ms);
  std::uint32_t GetTimeoutWrite();
  void SetTimeoutWrite(std::uint32_t ms);
  bool GetEventListOnLine() const { return eventListOnLine_; }
  void SetEventListOnLine(bool on) { eventListOnLine_ = on; }

  TEdit *GetTerminal() const { return terminal_; }
  void SetTerminal(TEdit *edit);
  TTerminalUsage GetTerminalUsage() const { return terminalUsage_; }
  void SetTerminalUsage(TTerminalUsage usage);
  bool GetTerminalEcho() const { return terminalEcho_; }
  void SetTerminalEcho(bool echo) { terminalEcho_ = echo; }
  // Indicators: controls with a published boolean property "Checked".
  TComponent *GetMonitorCTS() const { return monitorCTS_; }
  void SetMonitorCTS(TComponent *control) { SetMonitor(monitorCTS_, control); }
  TComponent *GetMonitorDSR() const { return monitorDSR_; }
  void SetMonitorDSR(TComponent *control) { SetMonitor(monitorDSR_, control); }
  TComponent *GetMonitorRLSD() const { return monitorRLSD_; }
  void SetMonitorRLSD(TComponent *control) { SetMonitor(monitorRLSD_, control); }
  TComponent *GetMonitorRing() const { return monitorRing_; }
  void SetMonitorRing(TComponent *control) { SetMonitor(monitorRing_, control); }

  const TOnListEvent &GetOnListEvent() const { return onListEvent_; }
  void SetOnListEvent(TOnListEvent h) { onListEvent_ = h; }
  const TOnReceived &GetOnAfterReceive() const { return onAfterReceive_; }
  void SetOnAfterReceive(TOnReceived h) { onAfterReceive_ = h; }
  const TOnSent &GetOnAfterSend() const { return onAfterSend_; }
  void SetOnAfterSend(TOnSent h) { onAfterSend_ = h; }
  const TOnTraceEvent &GetOnTraceState() const { return onTraceState_; }
  void SetOnTraceState(TOnTraceEvent h) { onTraceState_ = h; }
  const TOnCommErrorEvent &GetOnCommError() const { return onCommError_; }
  void SetOnCommError(TOnCommErrorEvent h) { onCommError_ = h; }

  std::uint32_t GetTotalSent() const { return totalSent_.load(); }
  std::uint32_t GetTotalReceived() const { return totalReceived_.load(); }
  std::uint32_t GetReadyForRead();  // bytes in the driver's input queue
  std::uint32_t GetNotYetSend();    // bytes in its output queue
  TEventList &GetEventList() { return eventList_; }
  const COMSTAT &GetLineStatus() const { return lineStatus_; }
  const std::string &GetLastErrorText() const { return lastErrorText_; }
  // The communication-configuration record and its device-control block.
  COMMCONFIG &CommConfig() { return config_; }

  const TPropertyTable &Published() const override;

 protected:
  void Notification(TComponent *component, TOperation operation) override;
  void DCBUpdate();
  void DCBApply();
  void InitBuffer();
  void FreeBuffer();
  // The size of the receive buffer made at open: the driver's input queue
  // size (BufferInSize read from the open port). More queued bytes are read
  // in several passes.
  virtual std::uint32_t ReceiveBufferSize() { return GetBufferInSize(); }
  void StartThreads();
  void StopThreads();
  DCB &Dcb() { return config_.dcb; }
  void SetLastErrorText(std::string text) { lastErrorText_ = std::move(text); }

 private:
  // The threads' only way in (vavevi_portside.h).
  friend class TCommPortSide;
  class ProcLock;
  // A critical section held for a scope.
  class Guard {
   public:
    explicit Guard(CRITICAL_SECTION &section) : section_(section) {
      EnterCriticalSection(&section_);
    }
    ~Guard() { LeaveCriticalSection(&section_); }
    Guard(const Guard &) = delete;
    Guard &operator=(const Guard &) = delete;

   private:
    CRITICAL_SECTION &section_;
  };

  // Halting in three steps: begin (once: code 1, event mask emptied, pending
  // reads aborted, output purged when queued), end the comm thread, release
  // the port (under the WinProc lock).
  bool BeginHalt();
  void StopCommThread();
  void ReleasePort(bool locked);
  void ReapThreads(bool wait);
  bool WaitLine(DWORD ms);  // waits for a port event or messages to process
  void RequestHalt();       // from the comm thread
  TIgnoreTypes ReceiveBlock(std::uint8_t *buffer, std::uint32_t count, std::uint32_t session);
  void UpdateTerminalByChars(std::uint8_t *buffer, std::uint32_t count);
  LRESULT NewWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  static LRESULT CALLBACK TerminalWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  void SetMonitor(TComponent *&slot, TComponent *control);
  void SetIndicator(TComponent *control, bool on);
  bool WaitAsyncWrite();  // under the write lock
  // One send under the write lock, after an earlier asynchronous write:
  // synchronous (waited for) or asynchronous (SendData's own copy). The
  // system's error code on failure.
  bool WriteInOrder(const void *data, DWORD count, bool async, DWORD &error);
  void ReportHandlerError(const char *what);  // from WinProc's handlers
  // The terminal hooks of all components that hooked the same edit form a
  // chain: the window's property names the last one, each names the one it
  // hooked after.
  void Unhook();

  std::unique_ptr<TMsgThread> msgThread_;
  std::unique_ptr<TCommThread> commThread_;
  std::vector<std::unique_ptr<TMsgThread>> leftovers_;  // ending; freed later
  CRITICAL_SECTION threadsLock_;
  COMSTAT lineStatus_{};
  COMMPROP commProp_{};
  COMMTIMEOUTS timeouts_{};
  std::string lastErrorText_;
  std::atomic<std::uint32_t> totalSent_{0};
  std::atomic<std::uint32_t> totalReceived_{0};
  TEventList eventList_;
  TOnListEvent onListEvent_;
  TOnReceived onAfterReceive_;
  TOnSent onAfterSend_;
  std::atomic<std::uint16_t> traceStates_{0};
  bool eventListOnLine_ = false;
  TEdit *terminal_ = nullptr;
  TComponent *monitorRLSD_ = nullptr;
  TComponent *monitorRing_ = nullptr;
  TComponent *monitorCTS_ = nullptr;
  TComponent *monitorDSR_ = nullptr;
  bool terminalEcho_ = true;
  TTerminalUsage terminalUsage_ = tuNone;
  std::atomic<DWORD> terminalBusy_{0};  // the thread putting text into the terminal
  HWND terminalWindow_ = nullptr;
  WNDPROC savedWndProc_ = nullptr;
  TnrCustomComm *hookedAfter_ = nullptr;  // the component that hooked the edit before
  HWND hookedWindow_ = nullptr;
  std::uint16_t bufferOutSize_ = 4096;
  std::uint16_t bufferInSize_ = 4096;
  // The receive buffer (buffer-in size + 1 bytes). WinProc holds a reference
  // while it works, so a close from one of its handlers cannot pull it away.
  std::shared_ptr<std::vector<std::uint8_t>> rxBuffer_;
  TOnTraceEvent onTraceState_;
  TOnCommErrorEvent onCommError_;
  COMMCONFIG config_{};

  // State shared with the threads.
  CRITICAL_SECTION procLock_;                  // WinProc and the release of the port
  std::atomic<bool> halting_{false};           // a halt or close has begun
  std::atomic<std::uint32_t> session_{0};      // counts opens and halts
  std::atomic<std::uint32_t> unread_{0};       // queued bytes WinProc left unread
  std::atomic<std::uint32_t> maskChanges_{0};  // grows around each new event mask
  std::atomic<DWORD> winProcThread_{0};        // the thread running WinProc
  HANDLE lineEvent_;                           // set by the comm thread on port events
  // The write lock keeps the sends in call order and SendData's write (the
  // component's own record and copy of the data) away from the release of
  // the port.
  CRITICAL_SECTION writeLock_;
  OVERLAPPED writeOverlapped_{};
  std::vector<std::uint8_t> writeData_;
  std::atomic<bool> writePending_{false};
  std::atomic<int> writing_{0};  // sends under way
};
