// Vavevi: the event-driven serial communication component.
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

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "nrclasses.h"
#include "rtedit.h"
#include "rtthread.h"

enum TParity { pNone, pOdd, pEven, pMark, pSpace };
enum TStopBits { sbOne, sbOneAndHalf, sbTwo };
enum TStreamProtocol { spNone, spXonXoff, spHardware };
enum TTerminalUsage { tuNone, tuSend, tuReceive, tuBoth };
enum TModemSignal { msCTS, msDSR, msRing, msRLSD };
using TModemSignals = TSet<TModemSignal>;
enum TTraceState {
  tsRxChar,
  tsRxFlag,
  tsTxEmpty,
  tsCTS,
  tsDSR,
  tsRLSD,
  tsBreak,
  tsErr,
  tsRing,
  tsRx80Full,
  tsEvent1,
  tsEvent2
};
using TTraceStates = TSet<TTraceState, std::uint16_t>;
// The line-status flags of the Win32 communication status (COMSTAT).
enum TComStateFlag { fCtsHold, fDsrHold, fRlsdHold, fXoffHold, fXoffSent, fEof, fTxim };
using TComStateFlags = TSet<TComStateFlag>;
// COM1 to COM8, and cpCOMxx for any other port number.
enum TComPort { cpCOM1, cpCOM2, cpCOM3, cpCOM4, cpCOM5, cpCOM6, cpCOM7, cpCOM8, cpCOMxx };

template <>
struct EnumNames<TParity> {
  static constexpr std::array<std::string_view, 5> names{"pNone", "pOdd", "pEven", "pMark",
                                                         "pSpace"};
};
template <>
struct EnumNames<TStopBits> {
  static constexpr std::array<std::string_view, 3> names{"sbOne", "sbOneAndHalf", "sbTwo"};
};
template <>
struct EnumNames<TStreamProtocol> {
  static constexpr std::array<std::string_view, 3> names{"spNone", "spXonXoff", "spHardware"};
};
template <>
struct EnumNames<TTerminalUsage> {
  static constexpr std::array<std::string_view, 4> names{"tuNone", "tuSend", "tuReceive", "tuBoth"};
};
template <>
struct EnumNames<TTraceState> {
  static constexpr std::array<std::string_view, 12> names{
      "tsRxChar", "tsRxFlag", "tsTxEmpty", "tsCTS",      "tsDSR",    "tsRLSD",
      "tsBreak",  "tsErr",    "tsRing",    "tsRx80Full", "tsEvent1", "tsEvent2"};
};
template <>
struct EnumNames<TComPort> {
  static constexpr std::array<std::string_view, 9> names{
      "cpCOM1", "cpCOM2", "cpCOM3", "cpCOM4", "cpCOM5", "cpCOM6", "cpCOM7", "cpCOM8", "cpCOMxx"};
};

// (Com, EventNo, Buffer, Received, flHandled): a watched sequence was seen.
// Buffer holds the sequence followed by the rest of the received block;
// setting flHandled keeps the block from OnAfterReceive.
using TOnListEvent = Handler<void(TObject *Com, int EventNo, const std::uint8_t *Buffer,
                                  int Received, bool &flHandled)>;
using TOnTraceEvent = Handler<void(TObject *Com, TTraceStates Event)>;
// (Com, CommCode: the line-error bits, SysError, State, flFlashBuffers):
// setting flFlashBuffers purges both directions and cancels pending I/O.
using TOnCommErrorEvent = Handler<void(TObject *Com, std::uint32_t CommCode, std::uint32_t SysError,
                                       TComStateFlags State, bool &flFlashBuffers)>;

// Milliseconds passed since it was made, counted in 64 bits from the 32-bit
// tick count (read at least once every 49 days).
class TnrElapsed {
 public:
  TnrElapsed() : last_(GetTickCount()) {}
  std::uint64_t Ms() {
    DWORD now = GetTickCount();
    total_ += now - last_;
    last_ = now;
    return total_;
  }
  // Whether a time-out of ms (INFINITE: none) has passed.
  bool Passed(DWORD ms) { return ms != INFINITE && Ms() > ms; }

 private:
  DWORD last_;
  std::uint64_t total_ = 0;
};

// The registered messages, registered when the library is loaded: the
// comm-event message ("vaVeviMsgComEvent", the port's event bits in its
// first parameter) and the quit message ("vaVeviMsgQuitComEvent").
VAVEVI_API UINT CommEventMessage();
VAVEVI_API UINT QuitCommEventMessage();

// The watched byte sequences of a component. The list owns each record and
// its bytes, and a buffer handed to OnListEvent that holds a sequence, the
// rest of a received block and a terminating zero.
class VAVEVI_API TEventList : public TList {
 public:
  TEventList() = default;
  ~TEventList() override;

  // Stores a copy of the record and of its bytes. The index.
  int Add(const TCommEvent &event);
  int AddNewEvent(const std::string &sequence);
  void Delete(int index);
  void Clear() override;  // the longest length stays
  TCommEvent &GetEvent(int index);
  // Replaces the record at the index with a copy of the given one (and of
  // its bytes).
  void SetEvent(int index, const TCommEvent &event);
  std::string GetEventString(int index) const;
  // New bytes for a sequence; its match starts again.
  void SetEventString(int index, const std::string &sequence);
  // Makes the buffer hold the longest sequence, receiveSize bytes and a
  // terminating zero; a larger buffer is kept.
  void PrepareBuffer(std::uint32_t receiveSize);
  // Fills the buffer with the sequence at the index followed by count bytes
  // of data and a zero; gives the sequence length + count.
  std::uint32_t SetBufferByEvent(int index, const std::uint8_t *data, std::uint32_t count);
  // Feeds one received byte to the sequences in list order: the index of the
  // first one it completes (the later ones do not see the byte), or -1.
  int IsEvent(std::uint8_t byte);
  void ResetStates();

  const std::uint8_t *Buffer() const { return buffer_.get(); }
  std::uint32_t BufferSize() const { return bufferSize_; }
  std::uint32_t LongestLength() const { return longest_; }

 protected:
  void Notify(void *item, TListNotification action) override;

 private:
  void Grow(std::uint32_t need);
  void Lengthened(std::uint32_t length);

  std::unique_ptr<std::uint8_t[]> buffer_;
  std::uint32_t bufferSize_ = 0;
  std::uint32_t longest_ = 0;
  std::uint32_t receiveSize_ = 0;
  bool prepared_ = false;
};

class TnrCustomComm;

// Waits on the port and posts each set of event bits to the message thread.
class VAVEVI_API TMsgThread;

class VAVEVI_API TCommThread : public TThread {
 public:
  // Posts to target, which outlives this thread.
  TCommThread(TnrCustomComm *comm, TMsgThread *target);
  ~TCommThread() override;
  void Terminate() override;  // also wakes the thread
  HANDLE WakeEvent() const { return wait_->overlapped.hEvent; }
  // Waits until the thread has started its first wait on the port (or has
  // ended).
  bool WaitWatching(DWORD ms) const;

 protected:
  void Execute() override;

 private:
  bool Post(WPARAM events, LPARAM request);

  // The record of the overlapped wait and the mask it fills. The system
  // writes both until the wait has completed; a wait that a cancel did not
  // end in time keeps its record (and event) for the rest of the process
  // rather than have the system write into freed memory.
  struct WaitRecord {
    OVERLAPPED overlapped;
    DWORD mask;
  };

  TnrCustomComm *comm_;
  TMsgThread *target_;
  HANDLE handle_;
  WaitRecord *wait_ = nullptr;
  HANDLE watching_ = nullptr;
  HANDLE stop_ = nullptr;  // set by Terminate
};

// Runs a message loop and has the component's WinProc handle each
// comm-event message.
class VAVEVI_API TMsgThread : public TThread {
 public:
  explicit TMsgThread(TnrCustomComm *comm);
  ~TMsgThread() override;
  // Sets the terminated flag and posts the quit message; the post's result
  // is kept in QuitPosted.
  void Terminate() override;
  bool QuitPosted() const { return quitPosted_; }
  // Waits until the thread has its message queue.
  bool WaitReady(DWORD ms) const { return WaitForSingleObject(ready_, ms) == WAIT_OBJECT_0; }
  // Set each time WinProc has finished a comm-event message (auto reset).
  HANDLE HandledEvent() const { return handled_; }

 protected:
  void Execute() override;
  void ProcessMess();

 private:
  TnrCustomComm *comm_;
  MSG message_{};
  HANDLE ready_;
  HANDLE handled_;
  std::atomic<bool> quitPosted_{false};
};

class VAVEVI_API TnrCustomComm : public TnrBaseIO {
 public:
  explicit TnrCustomComm(TComponent *owner);
  ~TnrCustomComm() override;

  // Opening: Close, counters to 0, the handle from RequestDeviceHandle; a
  // port that does not open is the fatal error "Device "<name>" Open Error
  // !!!\r<system text>" (code 1). Then the receive buffer, the event mask,
  // the threads, InitAfterOpen, [tsTxEmpty] to OnTraceState and code 2.
  void Open() override;
  // Closing: code 1, the threads stopped, the port closed (failures are
  // swallowed); always [tsTxEmpty] to OnTraceState.
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
  friend class TCommThread;
  friend class TMsgThread;
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

// ---------------------------------------------------------------------------
// The serial port component (vavevi_serialport.cpp)
//
// TnrCustomSerialComm makes the core a component for one numbered COM port:
// it opens "\\?\COM<n>" (or adopts a handle opened elsewhere), writes the
// whole line-settings block at every open, lists the machine's ports, reads
// the plug-and-play identity of an external serial device, and saves and
// restores its port number, line settings and time-outs as a registry value.
// TvaVevi is the concrete class that forms build by name.

// The configuration value of SaveConfig and LoadConfig: 49 bytes, little
// endian, on both architectures.
//   offset 0   the port number's low 8 bits
//   offset 1   the device-control block (DCB) as held in memory, 28 bytes
//   offset 29  the time-out record (COMMTIMEOUTS), 20 bytes
inline constexpr int kSerialConfigSize = 49;

class VAVEVI_API TnrCustomSerialComm : public TnrCustomComm {
 public:
  // Defaults, in this order: the log prefix "vaVevi: "; the system's default
  // configuration for COM1; COM1; 19200 baud, 8 data bits, no parity, one
  // stop bit; hardware handshake; event character 0. The rest as the core
  // sets it (queues of 4096, TimeoutRead 0, TimeoutWrite 100, echo on).
  explicit TnrCustomSerialComm(TComponent *owner);
  ~TnrCustomSerialComm() override;

  // The port number (1 for COM1). Writing it closes the port, stores the
  // number, reopens the port when it was open, then notifies code 3.
  std::uint16_t GetComPortNo() const { return comPortNo_; }
  void SetComPortNo(std::uint16_t portNo);
  // cpCOM1..cpCOM8 for ports 1 to 8; cpCOMxx for any other number (port 0
  // included). Writing cpCOMxx changes nothing.
  TComPort GetComPort() const;
  void SetComPort(TComPort port);

  // Opens the component on a port handle opened elsewhere for overlapped
  // I/O; the component closes it at its next close. The handle serves this
  // one open; later opens use the port number again. 0 and
  // INVALID_HANDLE_VALUE do nothing.
  void SetExtHandle(HANDLE handle);

  // While open: DTR on, RTS off, then up to 200 ms for DSR. With DSR, RTS
  // goes on; without, the fatal error "Device Connect Initialization Error".
  void InitDeviceConnect();
  // Wakes an external plug-and-play serial device (line toggling at 1200
  // baud, 7N1) and gives its identity text with both markers ("(" ... ")"),
  // or "" when it does not answer. Opens the port when needed; the line
  // settings, trace states and open state are as before afterwards. No DSR
  // within 200 ms is the fatal error "Device Connect Initialization Error",
  // before any setting is changed: the port then stays open, also when it
  // was opened for the call.
  std::string GetPNPDeviceString();

  // The configuration value (see kSerialConfigSize) under root\key, named
  // name; the key is made when missing. LoadConfig takes the port number and
  // the time-outs from a value of exactly 49 bytes and ignores any other.
  // Registry failures are the fatal errors "Error on save config information
  // from registry" and "Error on load config information from registry".
  virtual void SaveConfig(HKEY root, const std::string &key, const std::string &name);
  virtual void LoadConfig(HKEY root, const std::string &key, const std::string &name);

  // The device list is the machine's port list (GetPortList), read on first
  // need and again by Update; each entry is a name with its port number.
  void SetDeviceIndex(int index) override;  // selects that entry's port
  int GetDeviceIndex() override;            // the entry of the port, or -1
  void Update() override;
  void GetDeviceList(TStringList *list) override;
  HANDLE RequestDeviceHandle() override;
  std::string GetPortName() override;  // "COM<n>"
  // The core's steps, then the whole block with abort-on-error written to
  // the port.
  void InitAfterOpen() override;

 protected:
  // After a form has set the properties: the terminal and its usage again,
  // then Active as streamed. An error goes to the standard error display
  // (ShowException: a message box "Error") and loading goes on.
  void Loaded() override;

 private:
  std::uint16_t comPortNo_ = 1;
  HANDLE extHandle_ = nullptr;  // for the next open only
};

class VAVEVI_API TvaVevi : public TnrCustomSerialComm {
 public:
  explicit TvaVevi(TComponent *owner) : TnrCustomSerialComm(owner) {}
  ~TvaVevi() override;

  const TPropertyTable &Published() const override;
};
