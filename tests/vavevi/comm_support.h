// Support for the serial-component tests: they run under pty-com (see
// cable/pty-com.c) with COM7 and COM8 joined by a null-modem cable and COM9
// behind a loopback plug. The test drives the far end of the cable (COM8)
// through plain Win32 calls.
#pragma once

#include <windows.h>
#include <winternl.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "cable/plain_line.h"
#include "nrwin32.h"
#include "pump.h"
#include "rtapplication.h"
#include "vavevi.h"

constexpr unsigned kNearPort = 7;  // the component's end of the cable
constexpr unsigned kFarPort = 8;   // the other end
constexpr unsigned kLoopPort = 9;  // behind a loopback plug

// A serial component for one numbered port, with working line settings.
class TestComm : public TnrCustomComm {
 public:
  TestComm(TComponent *owner, unsigned port = kNearPort) : TnrCustomComm(owner), port_(port) {
    SetBaudRate(115200);
    SetByteSize(8);
    SetParity(pNone);
    SetStopBits(sbOne);
    SetStreamProtocol(spNone);
  }
  HANDLE RequestDeviceHandle() override { return OpenPort(port_); }
  std::string GetPortName() override { return ComPortToStr(port_); }
  int GetDeviceIndex() override { return -1; }
  void InitAfterOpen() override {
    TnrCustomComm::InitAfterOpen();
    DCBApply();
  }
  std::uint32_t ReceiveBufferSize() override {
    return receiveSize ? receiveSize : TnrCustomComm::ReceiveBufferSize();
  }
  void SetPort(unsigned port) { port_ = port; }
  using TnrCustomComm::Dcb;
  using TnrCustomComm::DCBApply;
  using TnrCustomComm::DCBUpdate;
  std::uint32_t receiveSize = 0;  // 0: the driver's queue size

 private:
  unsigned port_;
};

// The far end of the cable, driven directly.
class Peer {
 public:
  explicit Peer(unsigned port = kFarPort) {
    handle_ = OpenPort(port);
    if (handle_ == INVALID_HANDLE_VALUE) return;
    SetPlainLine(handle_);
    PurgeComm(handle_, PURGE_RXCLEAR | PURGE_TXCLEAR);
  }
  ~Peer() {
    if (Ok()) CloseHandle(handle_);
  }
  Peer(const Peer &) = delete;
  Peer &operator=(const Peer &) = delete;

  bool Ok() const { return handle_ != INVALID_HANDLE_VALUE; }
  HANDLE Handle() const { return handle_; }
  bool Write(const std::string &bytes) {
    return WriteSync(handle_, bytes.data(), static_cast<DWORD>(bytes.size()));
  }
  // Collects bytes until n have come or the limit passes.
  std::string Read(std::size_t n, DWORD limit = 10000) {
    std::string got;
    DWORD start = GetTickCount();
    while (got.size() < n) {
      DWORD waited = GetTickCount() - start;
      if (waited >= limit) break;
      char buffer[4096];
      OVERLAPPED ov{};
      ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
      DWORD read = 0;
      DWORD want = static_cast<DWORD>(std::min<std::size_t>(n - got.size(), sizeof buffer));
      if (!ReadFile(handle_, buffer, want, &read, &ov)) {
        if (GetLastError() == ERROR_IO_PENDING &&
            WaitForSingleObject(ov.hEvent, limit - waited) == WAIT_TIMEOUT)
          CancelIo(handle_);
        GetOverlappedResult(handle_, &ov, &read, TRUE);
      }
      CloseHandle(ov.hEvent);
      got.append(buffer, read);
    }
    return got;
  }
  void Lines(DWORD function) { EscapeCommFunction(handle_, function); }
  DWORD ModemStatus() {
    DWORD status = 0;
    GetCommModemStatus(handle_, &status);
    return status;
  }

 private:
  HANDLE handle_ = INVALID_HANDLE_VALUE;
};

// Pulls the cable of a port: its pseudo-terminal is hung up, and a new one
// is put in its place for the next open.
inline bool PullCable(unsigned port) {
  const char *path = std::getenv("TORVEX_CABLE_CONTROL");
  if (!path) return false;
  HANDLE fifo = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (fifo == INVALID_HANDLE_VALUE) return false;
  std::string request = "hangup " + std::to_string(port) + "\n";
  DWORD written = 0;
  BOOL ok = WriteFile(fifo, request.data(), static_cast<DWORD>(request.size()), &written, nullptr);
  CloseHandle(fifo);
  return ok && written == request.size();
}

// What the process holds: handles, threads, private memory, counted in ways
// that Wine answers (its GetProcessHandleCount, thread snapshots and
// PrivateUsage give nothing).
struct ProcessUse {
  DWORD handles = 0;
  DWORD threads = 0;
  SIZE_T privateBytes = 0;

  static ProcessUse Now() {
    ProcessUse use;
    // Handles: every value a handle can have, asked in turn.
    for (ULONG_PTR value = 4; value < 4 * 16384; value += 4) {
      DWORD flags;
      if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++use.handles;
    }
    // Threads: from the system's list of processes.
    using QueryFn = LONG(WINAPI *)(ULONG, PVOID, ULONG, PULONG);
    auto query = reinterpret_cast<QueryFn>(reinterpret_cast<void *>(
        GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
    std::vector<unsigned char> buffer(1 << 20);
    ULONG needed = 0;
    if (query && query(5 /* SystemProcessInformation */, buffer.data(),
                       static_cast<ULONG>(buffer.size()), &needed) == 0) {
      auto *entry = reinterpret_cast<SYSTEM_PROCESS_INFORMATION *>(buffer.data());
      for (;;) {
        if (reinterpret_cast<ULONG_PTR>(entry->UniqueProcessId) == GetCurrentProcessId())
          use.threads = entry->NumberOfThreads;
        if (entry->NextEntryOffset == 0) break;
        entry = reinterpret_cast<SYSTEM_PROCESS_INFORMATION *>(
            reinterpret_cast<unsigned char *>(entry) + entry->NextEntryOffset);
      }
    }
    // Private memory: the committed private regions of the address space.
    MEMORY_BASIC_INFORMATION info;
    for (auto *p = static_cast<unsigned char *>(nullptr);
         VirtualQuery(p, &info, sizeof info) == sizeof info;
         p = static_cast<unsigned char *>(info.BaseAddress) + info.RegionSize) {
      if (info.State == MEM_COMMIT && info.Type == MEM_PRIVATE) use.privateBytes += info.RegionSize;
      if (info.RegionSize == 0) break;
    }
    return use;
  }
};

// Records what a component reports, from whichever thread reports it.
struct Events {
  std::mutex lock;
  std::string received;                 // every byte given to OnAfterReceive
  std::vector<std::string> blocks;      // each OnAfterReceive block
  std::vector<std::string> listEvents;  // "n@position:buffer"
  std::vector<int> notifications;
  std::vector<std::uint16_t> traces;
  std::vector<std::string> commErrors;
  int sent = 0;
  int sentOnCaller = 0;  // of them, reported on the thread that made the rig
  DWORD callerThread = GetCurrentThreadId();
  DWORD receiveThread = 0;
  bool flashOnError = false;
  bool handleListEvents = false;
  std::function<void(TnrCustomComm &, int)> onList;  // runs inside OnListEvent

  void AfterReceive(TObject *, const std::uint8_t *buffer, std::uint32_t n) {
    std::lock_guard guard(lock);
    std::string block(reinterpret_cast<const char *>(buffer), n);
    received += block;
    blocks.push_back(block);
    receiveThread = GetCurrentThreadId();
  }
  void ListEvent(TObject *com, int n, const std::uint8_t *buffer, int filled, bool &handled) {
    auto &comm = *static_cast<TnrCustomComm *>(com);
    {
      std::lock_guard guard(lock);
      listEvents.push_back(std::to_string(n) + "@" +
                           std::to_string(comm.GetEventList().GetEvent(n).Position) + ":" +
                           std::string(reinterpret_cast<const char *>(buffer), filled));
      handled = handleListEvents;
    }
    if (onList) onList(comm, n);
  }
  void Notify(TObject *, std::int32_t code) {
    std::lock_guard guard(lock);
    notifications.push_back(code);
  }
  void Trace(TObject *, TTraceStates states) {
    std::lock_guard guard(lock);
    traces.push_back(states.ToBits());
  }
  void AfterSend(TObject *) {
    std::lock_guard guard(lock);
    ++sent;
    if (GetCurrentThreadId() == callerThread) ++sentOnCaller;
  }
  void CommError(TObject *, std::uint32_t code, std::uint32_t sys, TComStateFlags, bool &flash) {
    std::lock_guard guard(lock);
    commErrors.push_back(std::to_string(code) + ":" + std::to_string(sys));
    flash = flashOnError;
  }

  std::string Received() {
    std::lock_guard guard(lock);
    return received;
  }
  std::size_t ReceivedSize() {
    std::lock_guard guard(lock);
    return received.size();
  }
  std::size_t ListCount() {
    std::lock_guard guard(lock);
    return listEvents.size();
  }
  int Count(int code) {
    std::lock_guard guard(lock);
    int n = 0;
    for (int c : notifications) n += c == code;
    return n;
  }
  int Sent() {
    std::lock_guard guard(lock);
    return sent;
  }
  int SentOnCaller() {
    std::lock_guard guard(lock);
    return sentOnCaller;
  }
};
