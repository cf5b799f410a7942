// The serial component's sends, waits, handler errors and terminal hooks on
// real (pseudo-terminal) ports under Wine: COM7 and COM8 joined by a
// null-modem cable, COM9 behind a loopback plug. The far end runs on threads
// of their own (CreateThread), as a device would.
#include <gtest/gtest.h>

#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "comm_support.h"
#include "rtexcept.h"

namespace {

// Runs a call on a thread of its own; the destructor waits for it.
class Later {
 public:
  explicit Later(std::function<void()> call) : call_(std::move(call)) {
    thread_ = CreateThread(nullptr, 0, &Run, this, 0, nullptr);
  }
  ~Later() { Join(); }
  void Join() {
    if (!thread_) return;
    WaitForSingleObject(thread_, INFINITE);
    CloseHandle(thread_);
    thread_ = nullptr;
  }

 private:
  static DWORD WINAPI Run(void *self) {
    static_cast<Later *>(self)->call_();
    return 0;
  }
  std::function<void()> call_;
  HANDLE thread_ = nullptr;
};

// The byte at position i of the test stream: a pattern that a byte landing
// in another place breaks.
char StreamByte(std::size_t i) { return static_cast<char>((i * 131 + (i >> 8) * 7) & 0xFF); }
std::string Stream(std::size_t from, std::size_t count) {
  std::string s(count, '\0');
  for (std::size_t k = 0; k < count; ++k) s[k] = StreamByte(from + k);
  return s;
}

// Replaces one import of this program (kernel32's SetupComm) with a
// recorder: the queue sizes that reach the driver. Wine's driver takes the
// call and changes nothing visible, so the call itself is what is checked.
struct SetupCommCalls {
  static std::vector<std::pair<DWORD, DWORD>> &Calls() {
    static std::vector<std::pair<DWORD, DWORD>> calls;
    return calls;
  }
  static BOOL WINAPI Record(HANDLE port, DWORD in, DWORD out) {
    Calls().emplace_back(in, out);
    return original(port, in, out);
  }
  static inline BOOL(WINAPI *original)(HANDLE, DWORD, DWORD) = nullptr;

  static bool Install() {
    auto *base = reinterpret_cast<unsigned char *>(GetModuleHandleA(nullptr));
    auto *dos = reinterpret_cast<IMAGE_DOS_HEADER *>(base);
    auto *nt = reinterpret_cast<IMAGE_NT_HEADERS *>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY &dir =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (auto *imp = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR *>(base + dir.VirtualAddress);
         imp->Name; ++imp) {
      if (!imp->OriginalFirstThunk) continue;
      auto *names = reinterpret_cast<IMAGE_THUNK_DATA *>(base + imp->OriginalFirstThunk);
      auto *slots = reinterpret_cast<IMAGE_THUNK_DATA *>(base + imp->FirstThunk);
      for (; names->u1.AddressOfData; ++names, ++slots) {
        if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
        auto *byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME *>(base + names->u1.AddressOfData);
        if (std::string(reinterpret_cast<char *>(byName->Name)) != "SetupComm") continue;
        DWORD old = 0;
        VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE, &old);
        original = reinterpret_cast<BOOL(WINAPI *)(HANDLE, DWORD, DWORD)>(slots->u1.Function);
        slots->u1.Function = reinterpret_cast<ULONG_PTR>(&Record);
        VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, old, &old);
        return true;
      }
    }
    return false;
  }
};

}  // namespace

// Every send leaves in the order of the calls, whatever the mix: large
// asynchronous writes with synchronous strings and characters between them,
// from the caller's thread, while the far end reads and checks every byte's
// place.
TEST(CommOrder, BytesLeaveInTheOrderOfTheCalls) {
  TestComm comm(nullptr);
  Peer peer;
  ASSERT_TRUE(peer.Ok());
  comm.SetTraceState({tsTxEmpty});
  comm.Open();
  ASSERT_TRUE(comm.GetActive());

  const std::size_t total = 32 * 1024 * 6 + (64 + 1 + 5003) * 6;  // six rounds of four
  std::string received;
  Later farEnd([&] { received = peer.Read(total, 60000); });
  std::size_t sent = 0;
  int round = 0;
  while (sent < total) {
    std::size_t n = 0;
    switch (round++ % 4) {
      case 0:
        n = 32 * 1024;
        comm.SendData(Stream(sent, n).data(), static_cast<std::uint32_t>(n));
        break;
      case 1:
        n = 64;
        comm.SendString(Stream(sent, n));
        break;
      case 2:
        n = 1;
        comm.SendChar(StreamByte(sent));
        break;
      case 3:
        n = 5000;
        comm.SendData(Stream(sent, n).data(), static_cast<std::uint32_t>(n));
        n += 3;
        comm.SendString(Stream(sent + 5000, 3));
        break;
    }
    sent += n;
  }
  farEnd.Join();
  ASSERT_EQ(received.size(), sent);
  std::size_t misplaced = 0, first = received.size();
  for (std::size_t i = 0; i < received.size(); ++i) {
    if (received[i] == StreamByte(i)) continue;
    ++misplaced;
    if (first == received.size()) first = i;
  }
  EXPECT_EQ(misplaced, 0u) << "first misplaced byte at " << first;
  EXPECT_EQ(comm.GetTotalSent(), sent);

  // No data is nothing sent; a closed port sends nothing and says so.
  comm.SendData(nullptr, 10);
  EXPECT_EQ(comm.GetTotalSent(), sent);
  comm.Close();
  SetLastError(0);
  comm.SendString("x");
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(peer.Read(1, 100), "");
}

// No exception from a handler, of any type, stops the delivery of port
// events: each goes to the component's error road (OnFatalError), also when
// OnFatalError itself throws.
TEST(CommOrder, AHandlerExceptionOfAnyTypeIsReportedAndDeliveryGoesOn) {
  struct Handlers {
    std::atomic<int> blocks{0};
    std::atomic<int> fatal{0};
    std::string lastFatal;
    int mode = 0;  // 0 throws an int, 1 a std::exception, 2 nothing
    bool fatalThrows = false;
    void Receive(TObject *, const std::uint8_t *, std::uint32_t) {
      ++blocks;
      if (mode == 0) throw 42;
      if (mode == 1) throw std::runtime_error("std error");
    }
    void Fatal(TObject *, std::uint32_t, std::uint32_t, const std::string &msg, bool &raise) {
      lastFatal = msg;
      raise = false;
      ++fatal;
      if (fatalThrows) throw 7;
    }
  } h;
  TestComm comm(nullptr);
  Peer peer;
  ASSERT_TRUE(peer.Ok());
  comm.SetTraceState({tsRxChar});
  comm.SetOnAfterReceive(Bind<&Handlers::Receive>(&h));
  comm.SetOnFatalError(Bind<&Handlers::Fatal>(&h));
  comm.Open();
  struct Step {
    int mode;
    bool fatalThrows;
  } steps[] = {{0, false}, {1, false}, {0, true}, {2, false}};
  int fatal = 0;
  for (const Step &step : steps) {
    h.mode = step.mode;
    h.fatalThrows = step.fatalThrows;
    int before = h.blocks;
    ASSERT_TRUE(peer.Write("x"));
    ASSERT_TRUE(PumpUntil([&] { return h.blocks > before; })) << "delivery stopped";
    if (step.mode != 2) {
      ++fatal;
      EXPECT_TRUE(PumpUntil([&] { return h.fatal == fatal; }));
    }
  }
  EXPECT_EQ(h.fatal, 3);
  EXPECT_EQ(h.lastFatal, "Unknown exception in a handler of the serial component");
  // A port that goes away is still noticed.
  ASSERT_TRUE(PullCable(kNearPort));
  EXPECT_TRUE(PumpUntil([&] { return !comm.GetActive(); }));
}

// A failure between getting the handle and code 2 (here the receive buffer)
// leaves nothing open: the port can be opened again at once.
TEST(CommOrder, AnOpenThatFailsHalfWayLeavesNoPortOpen) {
  struct Failing : TestComm {
    using TestComm::TestComm;
    std::uint32_t ReceiveBufferSize() override { throw Exception("no buffer"); }
  } comm(nullptr);
  Events events;
  comm.NotifyAdd(Bind<&Events::Notify>(&events));
  EXPECT_THROW(comm.Open(), Exception);
  EXPECT_FALSE(comm.GetActive());
  EXPECT_EQ(events.Count(nrNotifyMediumOpened), 0);
  HANDLE again = OpenPort(kNearPort);  // the port is opened unshared
  EXPECT_NE(again, INVALID_HANDLE_VALUE);
  if (again != INVALID_HANDLE_VALUE) CloseHandle(again);
}

// Queue sizes stored while closed are the ones the driver is asked for at
// open, before anything reads the sizes back from it.
TEST(CommOrder, QueueSizesSetWhileClosedReachTheDriver) {
  ASSERT_TRUE(SetupCommCalls::Install()) << "SetupComm is not imported by this program";
  TestComm comm(nullptr);
  comm.SetBufferInSize(65535);
  comm.SetBufferOutSize(1000);
  SetupCommCalls::Calls().clear();
  comm.Open();
  ASSERT_TRUE(comm.GetActive());
  ASSERT_FALSE(SetupCommCalls::Calls().empty());
  EXPECT_EQ(SetupCommCalls::Calls().front(), (std::pair<DWORD, DWORD>{65535, 1000}));
  comm.Close();
}

// Waits of any length: INFINITE and time-outs above 2^31 ms wait.
TEST(CommOrder, LongTimeOutsWait) {
  TestComm comm(nullptr);
  Peer peer;
  ASSERT_TRUE(peer.Ok());
  comm.SetTraceState({});
  comm.Open();
  ASSERT_TRUE(peer.Write("ab"));
  ASSERT_TRUE(comm.WaitForBytes(2, 10000));
  EXPECT_TRUE(comm.WaitForBytes(2, INFINITE)) << "bytes queued: at once";
  {
    Later late([&] {
      Sleep(100);
      peer.Write("c");
    });
    EXPECT_TRUE(comm.WaitForBytes(3, 0x80000001u));
  }
  {
    Later late([&] {
      Sleep(100);
      peer.Lines(SETDTR);
    });
    EXPECT_TRUE(comm.WaitForSignal(msDSR, INFINITE));
  }

  // A read cut short by its time-out is not a whole read; what came is
  // taken all the same.
  COMMTIMEOUTS t{};
  t.ReadTotalTimeoutConstant = 50;
  comm.SetTimeOuts(t);
  char buffer[10];
  EXPECT_FALSE(comm.Read(buffer, 10));
  EXPECT_EQ(comm.GetReadyForRead(), 0u);
  EXPECT_EQ(std::string(buffer, 3), "abc");
}

// Two components on one edit: each sends what is typed; detaching either
// leaves the other working, and the edit gets its own procedure back.
TEST(CommOrder, TwoComponentsShareOneTerminal) {
  TEdit edit(nullptr);
  TestComm first(nullptr), second(nullptr, kLoopPort);
  Peer peer;
  ASSERT_TRUE(peer.Ok());
  first.SetTraceState({});
  second.SetTraceState({});
  first.Open();
  second.Open();
  first.SetTerminal(&edit);
  first.SetTerminalUsage(tuSend);
  second.SetTerminal(&edit);
  second.SetTerminalUsage(tuSend);
  SendMessageA(edit.Handle(), WM_CHAR, 'x', 1);
  EXPECT_EQ(peer.Read(1), "x");
  EXPECT_TRUE(second.WaitForBytes(1, 10000));
  EXPECT_EQ(second.ReadString(), "x");
  EXPECT_EQ(edit.GetText(), "x");

  first.SetTerminal(nullptr);
  SendMessageA(edit.Handle(), WM_CHAR, 'y', 1);
  EXPECT_TRUE(second.WaitForBytes(1, 10000));
  EXPECT_EQ(second.ReadString(), "y");
  EXPECT_EQ(peer.Read(1, 200), "");
  EXPECT_EQ(edit.GetText(), "xy");

  second.SetTerminal(nullptr);
  SendMessageA(edit.Handle(), WM_CHAR, 'z', 1);
  EXPECT_EQ(edit.GetText(), "xyz");
  EXPECT_FALSE(second.WaitForBytes(1, 100));
}

// Without an application object the terminal's text is sent from the
// message thread to the edit's thread. A Close or ForceHalt on that thread
// meanwhile handles the sent message: it neither waits out the message
// thread's second nor blocks for ever.
TEST(CommOrder, ClosingWhileTheTerminalIsBeingFilledDoesNotWait) {
  for (bool halt : {false, true}) {
    TEdit edit(nullptr);
    TestComm comm(nullptr);
    Peer peer;
    ASSERT_TRUE(peer.Ok());
    comm.SetTerminal(&edit);
    comm.SetTerminalUsage(tuReceive);
    comm.Open();
    ASSERT_TRUE(peer.Write("abc"));
    Sleep(300);  // this thread does not pump: the message thread waits for it
    DWORD start = GetTickCount();
    if (halt) comm.ForceHalt();
    comm.Close();
    EXPECT_LT(GetTickCount() - start, 800u) << (halt ? "ForceHalt" : "Close");
    EXPECT_FALSE(comm.GetActive());
    comm.SetTerminal(nullptr);
  }
}

// What a processor asks for: the terminal and the event list skipped for
// its block (OnAfterReceive still gets it), and OnAfterSend, which comes
// only with tsTxEmpty, withheld when DoAfterSendComplete handles the end of
// a send.
TEST(CommOrder, AProcessorsIgnoreSetAndSendCompletion) {
  struct Proc : TnrCustomDataProcessor {
    using TnrCustomDataProcessor::TnrCustomDataProcessor;
    bool handleSend = false;
    std::atomic<int> completions{0};
    void DoProcessing(std::uint8_t *, std::uint32_t, TIgnoreTypes &ignore) override {
      ignore.Include(itTerminal);
      ignore.Include(itEventList);
    }
    void DoAfterSendComplete(bool &handled) override {
      ++completions;
      handled = handleSend;
    }
  };
  TEdit edit(nullptr);
  Events events;
  TestComm comm(nullptr);
  Proc proc(nullptr);
  Peer peer;
  ASSERT_TRUE(peer.Ok());
  comm.SetOnAfterReceive(Bind<&Events::AfterReceive>(&events));
  comm.SetOnListEvent(Bind<&Events::ListEvent>(&events));
  comm.SetOnAfterSend(Bind<&Events::AfterSend>(&events));
  comm.GetEventList().AddNewEvent("OK");
  comm.SetEventListOnLine(true);
  comm.SetTerminal(&edit);
  comm.SetTerminalUsage(tuReceive);
  comm.SetDataProcessor(&proc);
  comm.SetTraceState({tsRxChar});
  comm.Open();
  ASSERT_TRUE(peer.Write("xOKy"));
  ASSERT_TRUE(PumpUntil([&] { return events.Received() == "xOKy"; })) << events.Received();
  PumpFor(50);
  EXPECT_EQ(edit.GetText(), "");
  EXPECT_EQ(events.ListCount(), 0u);

  struct Case {
    bool txEmpty, handled;
    bool afterSend;
  } cases[] = {{false, false, false}, {true, true, false}, {true, false, true}};
  for (const Case &c : cases) {
    comm.SetTraceState(c.txEmpty ? TTraceStates{tsRxChar, tsTxEmpty} : TTraceStates{tsRxChar});
    proc.handleSend = c.handled;
    // The new mask ends the comm thread's wait; the end of the send is
    // reported only against a wait that began before it (Wine).
    PumpFor(200);
    int completions = proc.completions;
    int sent = events.Sent();
    comm.SendData("data", 4);
    ASSERT_EQ(peer.Read(4), "data");
    PumpFor(300);
    EXPECT_GT(proc.completions, completions) << c.txEmpty << c.handled;
    EXPECT_EQ(events.Sent() > sent, c.afterSend) << c.txEmpty << c.handled;
  }
  comm.SetDataProcessor(nullptr);
  comm.Close();
  comm.SetTerminal(nullptr);
}
