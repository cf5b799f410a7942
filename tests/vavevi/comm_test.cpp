// The serial component on real (pseudo-terminal) ports under Wine: COM7 and
// COM8 joined by a null-modem cable, COM9 behind a loopback plug.
#include <gtest/gtest.h>

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "comm_support.h"
#include "nrlogfile.h"
#include "rtexcept.h"
#include "rtproperties.h"

namespace {

// A component on COM7 with every recorder bound, and the peer on COM8.
struct Rig {
  Events events;
  std::unique_ptr<TestComm> comm = std::make_unique<TestComm>(nullptr);
  Peer peer;
  Rig() {
    comm->SetOnAfterReceive(Bind<&Events::AfterReceive>(&events));
    comm->SetOnListEvent(Bind<&Events::ListEvent>(&events));
    comm->SetOnAfterSend(Bind<&Events::AfterSend>(&events));
    comm->SetOnTraceState(Bind<&Events::Trace>(&events));
    comm->SetOnCommError(Bind<&Events::CommError>(&events));
    comm->NotifyAdd(Bind<&Events::Notify>(&events));
  }
  bool ReceivedAll(const std::string &expected) {
    return PumpUntil([&] { return events.Received().size() >= expected.size(); }) &&
           events.Received() == expected;
  }
};

// A control with a published Checked property, as the indicators need.
class CheckBox : public TComponent {
 public:
  using TComponent::TComponent;
  std::atomic<int> checked{-1};
  void SetChecked(bool on) { checked = on ? 1 : 0; }
  const TPropertyTable &Published() const override {
    static const TPropertyTable table =
        TPropertyTable(TComponent::Published()).Add<&CheckBox::SetChecked>("Checked");
    return table;
  }
};

}  // namespace

TEST(Comm, ReceivesInOrderAndSendsBothWays) {
  Rig rig;
  ASSERT_TRUE(rig.peer.Ok());
  rig.comm->SetTraceState({tsRxChar, tsTxEmpty});
  rig.comm->Open();
  ASSERT_TRUE(rig.comm->GetActive());
  EXPECT_EQ(rig.events.Count(nrNotifyMediumOpened), 1);

  std::string expected;
  for (int i = 0; i < 50; ++i) {
    std::string chunk = "block " + std::to_string(i) + ";";
    expected += chunk;
    ASSERT_TRUE(rig.peer.Write(chunk));
  }
  EXPECT_TRUE(rig.ReceivedAll(expected)) << rig.events.Received();
  EXPECT_EQ(rig.comm->GetTotalReceived(), expected.size());
  EXPECT_NE(rig.events.receiveThread, GetCurrentThreadId()) << "no application: message thread";

  rig.comm->SendChar('a');
  rig.comm->SendString("");  // nothing, and no OnAfterSend
  rig.comm->SendString("bc");
  rig.comm->SendAheadChar('d');
  // The two written sends report at once, on the caller's thread; an
  // emptied transmit queue may meanwhile report from the port's thread.
  EXPECT_EQ(rig.events.SentOnCaller(), 2);
  rig.comm->SendData("efgh", 4);
  EXPECT_EQ(rig.peer.Read(8), "abcdefgh");
  EXPECT_EQ(rig.comm->GetTotalSent(), 8u);
  // The asynchronous send completes as an emptied transmit queue.
  EXPECT_TRUE(PumpUntil([&] { return rig.events.Sent() >= 3; }));

  rig.comm->Close();
  EXPECT_FALSE(rig.comm->GetActive());
  EXPECT_EQ(rig.events.Count(nrNotifyMediumClosed), 1);
  // A new open starts the counters again.
  rig.comm->Open();
  EXPECT_EQ(rig.comm->GetTotalSent(), 0u);
  EXPECT_EQ(rig.comm->GetTotalReceived(), 0u);
}

TEST(Comm, WatchedSequencesOneBlockAndSplitBlocks) {
  Rig rig;
  rig.comm->GetEventList().AddNewEvent("OK");
  rig.comm->GetEventList().AddNewEvent("ERROR");
  rig.comm->SetEventListOnLine(true);
  rig.comm->SetTraceState({tsRxChar});
  // Sent while the port is closed, so that it is queued whole when the port
  // opens and arrives as one block.
  ASSERT_TRUE(rig.peer.Write("xxOKyyERROR"));
  Sleep(50);
  rig.comm->Open();
  ASSERT_TRUE(PumpUntil([&] { return rig.events.ListCount() >= 2; }));
  {
    std::lock_guard guard(rig.events.lock);
    EXPECT_EQ(rig.events.listEvents, (std::vector<std::string>{"0@3:OKyyERROR", "1@10:ERROR"}));
  }
  EXPECT_TRUE(rig.ReceivedAll("xxOKyyERROR")) << "not handled: OnAfterReceive gets the block";

  // A sequence split over two blocks still matches; a handled event keeps
  // its block from OnAfterReceive.
  rig.events.handleListEvents = true;
  ASSERT_TRUE(rig.peer.Write("zzO"));
  ASSERT_TRUE(rig.ReceivedAll("xxOKyyERRORzzO"));
  ASSERT_TRUE(rig.peer.Write("Kww"));
  ASSERT_TRUE(PumpUntil([&] { return rig.events.ListCount() >= 3; }));
  PumpFor(100);
  std::lock_guard guard(rig.events.lock);
  EXPECT_EQ(rig.events.listEvents.back(), "0@0:OKww");
  EXPECT_EQ(rig.events.received, "xxOKyyERRORzzO");
}

TEST(Comm, MoreThanTheBufferIsReadInPassesWithNothingLost) {
  Rig rig;
  rig.comm->receiveSize = 16;
  rig.comm->SetTraceState({tsRxChar});
  std::string data;
  for (int i = 0; i < 40; ++i) data += static_cast<char>('A' + i % 26);
  ASSERT_TRUE(rig.peer.Write(data));  // queued whole before the open
  Sleep(50);
  rig.comm->Open();
  ASSERT_TRUE(rig.ReceivedAll(data)) << rig.events.Received();
  std::lock_guard guard(rig.events.lock);
  ASSERT_EQ(rig.events.blocks.size(), 3u);
  EXPECT_EQ(rig.events.blocks[0].size(), 16u);
  EXPECT_EQ(rig.events.blocks[2].size(), 8u);
  EXPECT_EQ(rig.comm->GetTotalReceived(), 40u);
}

TEST(Comm, WithoutAConsumerBytesStayQueued) {
  Rig rig;
  rig.comm->SetOnAfterReceive(TOnReceived());
  rig.comm->SetTraceState({});
  rig.comm->Open();
  ASSERT_TRUE(rig.peer.Write("abc"));
  ASSERT_TRUE(PumpUntil([&] { return rig.comm->GetReadyForRead() == 3; }));
  PumpFor(50);  // Wine reports the queued bytes again and again: counted once
  EXPECT_EQ(rig.comm->GetTotalReceived(), 3u);

  // Waiting for more than arrives: false after the time-out, trace states
  // as they were.
  rig.comm->SetTraceState({tsCTS});
  DWORD start = GetTickCount();
  EXPECT_FALSE(rig.comm->WaitForBytes(5, 100));
  EXPECT_GE(GetTickCount() - start, 90u);
  EXPECT_EQ(rig.comm->GetTraceStates(), TTraceStates{tsCTS});
  ASSERT_TRUE(rig.peer.Write("de"));
  EXPECT_TRUE(rig.comm->WaitForBytes(5, 10000));
  EXPECT_TRUE(PumpUntil([&] { return rig.comm->GetTotalReceived() == 5; }))
      << rig.comm->GetTotalReceived();

  char buffer[8] = {};
  std::uint32_t read = 0;
  EXPECT_TRUE(rig.comm->ReadAll(buffer, 3, &read));  // no more than the buffer holds
  EXPECT_EQ(std::string(buffer, read), "abc");
  EXPECT_EQ(rig.comm->ReadString(), "de");
  EXPECT_EQ(rig.comm->GetReadyForRead(), 0u);

  // Waits with nothing queued: each changes the event mask twice, which
  // ends the comm thread's wait; the port has not gone and stays open.
  for (int i = 0; i < 3; ++i) EXPECT_FALSE(rig.comm->WaitForBytes(1, 20));
  EXPECT_TRUE(rig.comm->GetActive());
  EXPECT_EQ(rig.events.Count(nrNotifyMediumClosed), 0);

  // A line-error handler that asks for a purge empties both directions.
  ASSERT_TRUE(rig.peer.Write("xyz"));
  ASSERT_TRUE(PumpUntil([&] { return rig.comm->GetReadyForRead() == 3; }));
  rig.events.flashOnError = true;
  rig.comm->DoCommError(CE_FRAME, 0, {});
  EXPECT_EQ(rig.comm->GetReadyForRead(), 0u);
  EXPECT_EQ(rig.events.commErrors, (std::vector<std::string>{"8:0"}));
}

TEST(Comm, LineSettingsAndTheirCorrections) {
  TestComm comm(nullptr);
  // Closed: the settings stay in the block.
  comm.SetByteSize(3);
  EXPECT_EQ(comm.GetByteSize(), 8);
  comm.SetByteSize(9);
  EXPECT_EQ(comm.GetByteSize(), 8);
  comm.SetByteSize(5);
  EXPECT_EQ(comm.GetByteSize(), 5);
  comm.SetParity(pEven);
  EXPECT_EQ(comm.Dcb().fParity, 1u);
  comm.SetParity(pNone);
  EXPECT_EQ(comm.Dcb().fParity, 0u);
  comm.SetStreamProtocol(spHardware);
  EXPECT_EQ(comm.Dcb().fRtsControl, static_cast<DWORD>(RTS_CONTROL_HANDSHAKE));
  comm.SetStreamProtocol(spXonXoff);
  const DCB &d = comm.Dcb();
  EXPECT_TRUE(d.fOutX && d.fInX);
  EXPECT_EQ(d.fRtsControl, 0u);
  EXPECT_EQ(d.XonLim, 10);
  EXPECT_EQ(d.XoffLim, 10);
  EXPECT_EQ(d.XonChar, 0x11);
  EXPECT_EQ(d.XoffChar, 0x13);
  EXPECT_EQ(comm.GetStreamProtocol(), spXonXoff);
  comm.SetStreamProtocol(spNone);
  EXPECT_EQ(comm.GetStreamProtocol(), spNone);
  comm.SetByteSize(8);
  EXPECT_EQ(comm.GetBufferInSize(), 4096);
  comm.SetBufferInSize(512);
  EXPECT_EQ(comm.GetBufferInSize(), 512);

  // Time-outs: TimeoutRead is the per-byte multiplier; the rest stays.
  COMMTIMEOUTS t{};
  t.ReadIntervalTimeout = 7;
  t.ReadTotalTimeoutConstant = 9;
  comm.SetTimeOuts(t);
  comm.SetTimeoutRead(5000);
  EXPECT_EQ(comm.GetTimeouts().ReadTotalTimeoutMultiplier, 5000u);
  EXPECT_EQ(comm.GetTimeouts().ReadIntervalTimeout, 7u);
  EXPECT_EQ(comm.GetTimeouts().ReadTotalTimeoutConstant, 9u);

  // Open: made on the port at open, and at once afterwards.
  comm.SetBaudRate(57600);
  comm.Open();
  ASSERT_TRUE(comm.GetActive());
  EXPECT_EQ(comm.GetBaudRate(), 57600u);
  comm.SetBaudRate(9600);
  DCB live{};
  live.DCBlength = sizeof live;
  GetCommState(comm.GetHandle(), &live);
  EXPECT_EQ(live.BaudRate, 9600u);
  COMMTIMEOUTS liveT{};
  GetCommTimeouts(comm.GetHandle(), &liveT);
  EXPECT_EQ(liveT.ReadTotalTimeoutMultiplier, 5000u);
  comm.SetTimeoutWrite(250);
  GetCommTimeouts(comm.GetHandle(), &liveT);
  EXPECT_EQ(liveT.WriteTotalTimeoutMultiplier, 250u);

  // An empty set of trace states still asks for received bytes and an
  // emptied transmit queue.
  comm.SetTraceState({});
  DWORD mask = 0;
  GetCommMask(comm.GetHandle(), &mask);
  EXPECT_EQ(mask, static_cast<DWORD>(EV_RXCHAR | EV_TXEMPTY));
  comm.SetTraceState({tsDSR, tsRing});
  GetCommMask(comm.GetHandle(), &mask);
  EXPECT_EQ(mask, static_cast<DWORD>(EV_RXCHAR | EV_TXEMPTY | EV_DSR | EV_RING));
}

TEST(Comm, ClosedPortGivesNeutralValuesAndTxEmptyOnly) {
  Events events;
  TestComm comm(nullptr);
  comm.SetOnTraceState(Bind<&Events::Trace>(&events));
  comm.Close();
  ASSERT_EQ(events.traces.size(), 1u);
  EXPECT_EQ(events.traces[0], TTraceStates{tsTxEmpty}.ToBits());
  char buffer[4];
  EXPECT_FALSE(comm.Read(buffer, 4));
  EXPECT_FALSE(comm.ReadAll(buffer, 4));
  EXPECT_EQ(comm.ReadString(), "");
  EXPECT_FALSE(comm.WaitForBytes(1, 10));
  EXPECT_FALSE(comm.WaitForSignal(msDSR, 10));
  EXPECT_TRUE(comm.GetStateModemSignals().Empty());
  EXPECT_EQ(comm.GetReadyForRead(), 0u);
  EXPECT_EQ(comm.GetNotYetSend(), 0u);
  comm.SendChar('x');
  comm.SendString("x");
  comm.SendData("x", 1);
  comm.SetStateDTR(true);
  comm.ClearDeviceBuffers();
  comm.ForceHalt();
  EXPECT_EQ(comm.GetTotalSent(), 0u);
}

TEST(Comm, AnOpenFailureIsAFatalError) {
  TestComm comm(nullptr, 42);  // no such port
  try {
    comm.Open();
    ADD_FAILURE() << "no exception";
  } catch (const Exception &e) {
    EXPECT_EQ(e.Message().rfind("Device \"COM42\" Open Error !!!\r", 0), 0u) << e.Message();
    EXPECT_GT(e.Message().size(), std::string("Device \"COM42\" Open Error !!!\r").size())
        << "the system's text follows";
  }
  EXPECT_EQ(comm.GetLastErrorText().rfind("Device \"COM42\"", 0), 0u);
  EXPECT_FALSE(comm.GetActive());

  // A handler that cancels: logged, nothing raised.
  struct Cancel {
    std::string seen;
    void On(TObject *, std::uint32_t code, std::uint32_t, const std::string &msg, bool &raise) {
      seen = std::to_string(code) + ":" + msg;
      raise = false;
    }
  } cancel;
  comm.SetOnFatalError(Bind<&Cancel::On>(&cancel));
  EXPECT_NO_THROW(comm.Open());
  EXPECT_EQ(cancel.seen.rfind("1:Device \"COM42\" Open Error", 0), 0u);
}

// A close that fails on its way is reported on the fatal-error road and
// never raised, even with the raise flag left set; the port is released all
// the same and opens again.
TEST(Comm, AFailingCloseIsReportedNotRaised) {
  class FailingLog : public TnrCustomLogFile {
   public:
    using TnrCustomLogFile::TnrCustomLogFile;
    std::vector<std::string> lines;
    void AddLog(TDetailLevel, const std::string &text) override {
      if (text.find("succesful closed") != std::string::npos) throw Exception("log failed");
      lines.push_back(text);
    }
    void AddLogFmt(TDetailLevel level, const std::string &format, const FmtArgs &args) override {
      AddLog(level, Format(format, args));
    }
  } log(nullptr);
  struct Seen {
    std::vector<std::string> errors;
    void On(TObject *, std::uint32_t code, std::uint32_t, const std::string &msg, bool &) {
      errors.push_back(std::to_string(code) + ":" + msg);
    }
  } seen;
  TestComm comm(nullptr);
  comm.SetLog(&log);
  comm.SetOnFatalError(Bind<&Seen::On>(&seen));
  for (int round = 0; round < 2; ++round) {
    comm.Open();
    ASSERT_TRUE(comm.GetActive());
    EXPECT_NO_THROW(comm.Close());
    EXPECT_FALSE(comm.GetActive());
    ASSERT_EQ(seen.errors.size(), static_cast<std::size_t>(round + 1));
    EXPECT_EQ(seen.errors.back(), "1:log failed");
    EXPECT_EQ(log.lines.back().rfind("Fatal Error: 1, ", 0), 0u) << log.lines.back();
  }

  // A handler of the close notification (code 1) that fails: the close
  // still ends the threads and releases the port, which opens again.
  struct FailingListener {
    void On(TObject *, std::int32_t code) {
      if (code == nrNotifyMediumClosed) throw Exception("notify failed");
    }
  } failing;
  comm.SetLog(nullptr);
  comm.NotifyAdd(Bind<&FailingListener::On>(&failing));
  comm.Open();
  EXPECT_NO_THROW(comm.Close());
  EXPECT_FALSE(comm.GetActive());
  EXPECT_EQ(seen.errors.back(), "1:notify failed");
  comm.NotifyDelete(Bind<&FailingListener::On>(&failing));
  EXPECT_NO_THROW(comm.Open()) << "the port was released";
  EXPECT_TRUE(comm.GetActive());
  comm.Close();
}

TEST(Comm, ModemLinesCrossTheCable) {
  Rig rig;
  rig.comm->SetTraceState({tsRxChar, tsDSR, tsCTS});
  CheckBox cts(nullptr), dsr(nullptr), rlsd(nullptr);
  rig.comm->SetMonitorCTS(&cts);
  rig.comm->SetMonitorDSR(&dsr);
  rig.comm->SetMonitorRLSD(&rlsd);
  auto ring = std::make_unique<TComponent>(nullptr);  // no Checked property: left alone
  rig.comm->SetMonitorRing(ring.get());
  rig.comm->Open();

  rig.comm->SetStateDTR(true);
  rig.comm->SetStateRTS(true);
  EXPECT_EQ(rig.peer.ModemStatus() & (MS_DSR_ON | MS_CTS_ON | MS_RLSD_ON),
            static_cast<DWORD>(MS_DSR_ON | MS_CTS_ON | MS_RLSD_ON));
  rig.comm->SetStateRTS(false);
  EXPECT_EQ(rig.peer.ModemStatus() & MS_CTS_ON, 0u);

  EXPECT_FALSE(rig.comm->WaitForSignal(msDSR, 0)) << "a time-out of 0 still tests once";
  rig.peer.Lines(SETDTR);
  EXPECT_TRUE(rig.comm->WaitForSignal(msDSR, 10000));
  EXPECT_EQ(rig.comm->GetStateModemSignals(), (TModemSignals{msDSR, msRLSD}));
  // The change is reported as a trace state, with the indicators set.
  EXPECT_TRUE(PumpUntil([&] { return dsr.checked == 1; }));
  EXPECT_EQ(rlsd.checked, 1);
  EXPECT_EQ(cts.checked, 0);
  // Wine reports a line change only against the state at the start of a
  // wait: a change made before the comm thread is back in its wait (after
  // WinProc has handled the DSR report) would not be reported. Give it time.
  PumpFor(300);
  rig.peer.Lines(SETRTS);
  EXPECT_TRUE(rig.comm->WaitForSignal(msCTS, 10000));
  EXPECT_TRUE(PumpUntil([&] { return cts.checked == 1; }));
  {
    std::lock_guard guard(rig.events.lock);
    bool sawDsr = false;
    for (auto bits : rig.events.traces) sawDsr |= TTraceStates::FromBits(bits).Contains(tsDSR);
    EXPECT_TRUE(sawDsr);
  }
  ring.reset();  // its removal clears the reference
  EXPECT_EQ(rig.comm->GetMonitorRing(), nullptr);
  rig.peer.Lines(CLRDTR);
  EXPECT_FALSE(rig.comm->WaitForSignal(msDSR, 0));

  rig.comm->SetStateBreak(true);
  rig.comm->SetStateBreak(false);
  rig.comm->SetStateX(true);
}

TEST(Comm, TerminalShowsReceivedTextAndSendsWhatIsTyped) {
  Rig rig;
  TEdit edit(nullptr);
  rig.comm->SetTerminal(&edit);
  rig.comm->SetTerminalUsage(tuBoth);
  rig.comm->Open();
  // A zero byte splits the block into two insertions.
  ASSERT_TRUE(rig.peer.Write(std::string("AB\0CD", 5)));
  EXPECT_TRUE(PumpUntil([&] { return edit.GetText() == "ABCD"; })) << edit.GetText();
  ASSERT_TRUE(rig.peer.Write("E"));  // one byte: a typed character
  EXPECT_TRUE(PumpUntil([&] { return edit.GetText() == "ABCDE"; })) << edit.GetText();

  // Typing sends; with echo off the edit does not show the key.
  SendMessageA(edit.Handle(), WM_CHAR, 'x', 1);
  rig.comm->SetTerminalEcho(false);
  SendMessageA(edit.Handle(), WM_CHAR, 'y', 1);
  EXPECT_EQ(rig.peer.Read(2), "xy");
  EXPECT_EQ(edit.GetText(), "ABCDEx");

  // Detached: the edit gets its own window procedure back.
  rig.comm->SetTerminal(nullptr);
  SendMessageA(edit.Handle(), WM_CHAR, 'z', 1);
  EXPECT_EQ(edit.GetText(), "ABCDExz");
  EXPECT_EQ(rig.peer.Read(1, 200), "");
}

namespace {
// A processor that hides what it is given from the terminal and from
// OnAfterReceive, and logs the medium's notifications.
class Filter : public TnrCustomDataProcessor {
 public:
  using TnrCustomDataProcessor::TnrCustomDataProcessor;
  std::mutex lock;
  std::string seen;
  void DoProcessing(std::uint8_t *buffer, std::uint32_t count, TIgnoreTypes &ignore) override {
    std::lock_guard guard(lock);
    seen.append(reinterpret_cast<const char *>(buffer), count);
    ignore.Include(itAfterReceive);
  }
};
}  // namespace

TEST(Comm, ADataProcessorSeesBlocksFirstAndHearsTheMedium) {
  Rig rig;
  TnrLogFile log(nullptr);
  log.SetOptions({});
  log.SetFileName("");
  log.SetDetailLevel(dlDebug);
  Filter filter(nullptr);
  filter.SetLog(&log);
  rig.comm->SetDataProcessor(&filter);
  rig.comm->SetTraceState({tsRxChar});
  rig.comm->Open();
  ASSERT_TRUE(rig.peer.Write("hidden"));
  EXPECT_TRUE(PumpUntil([&] {
    std::lock_guard guard(filter.lock);
    return filter.seen == "hidden";
  }));
  PumpFor(50);
  EXPECT_EQ(rig.events.Received(), "") << "the processor asked to skip OnAfterReceive";
  rig.comm->Close();
  EXPECT_NE(log.PendingText().find("Medium Opened"), std::string::npos);
  EXPECT_NE(log.PendingText().find("Medium Closed"), std::string::npos);
}

TEST(Comm, WithAnApplicationObjectWinProcRunsOnTheMainThread) {
  struct App : TApplication {
    std::vector<std::string> shown;
    void ShowException(const std::exception &e) override { shown.push_back(e.what()); }
  } app;
  Rig rig;
  rig.comm->SetTraceState({tsRxChar});
  rig.comm->Open();
  ASSERT_TRUE(rig.peer.Write("main"));
  EXPECT_TRUE(rig.ReceivedAll("main"));
  EXPECT_EQ(rig.events.receiveThread, GetCurrentThreadId());

  // An error raised by a handler is shown, not raised, and the port goes on.
  struct Thrower {
    void On(TObject *, const std::uint8_t *, std::uint32_t) { throw Exception("handler failed"); }
  } thrower;
  rig.comm->SetOnAfterReceive(Bind<&Thrower::On>(&thrower));
  ASSERT_TRUE(rig.peer.Write("x"));
  EXPECT_TRUE(PumpUntil([&] { return !app.shown.empty(); }));
  EXPECT_EQ(app.shown, (std::vector<std::string>{"handler failed"}));
  rig.comm->SetOnAfterReceive(Bind<&Events::AfterReceive>(&rig.events));
  ASSERT_TRUE(rig.peer.Write("y"));
  EXPECT_TRUE(rig.ReceivedAll("mainy"));

  // Closing from the main thread while the message thread waits for it.
  rig.comm->Close();
  EXPECT_FALSE(rig.comm->GetActive());
}

TEST(Comm, AHandlerMayCloseAndReopenThePort) {
  for (bool withApp : {false, true}) {
    std::unique_ptr<TApplication> app;
    if (withApp) app = std::make_unique<TApplication>();
    Rig rig;
    rig.comm->GetEventList().AddNewEvent("BYE");
    rig.comm->SetEventListOnLine(true);
    rig.comm->SetTraceState({tsRxChar});
    int reopened = 0;
    rig.events.onList = [&](TnrCustomComm &comm, int) {
      comm.Close();  // from inside WinProc
      if (reopened++ == 0) comm.Open();
    };
    rig.comm->Open();
    ASSERT_TRUE(rig.peer.Write("xBYEafter"));
    ASSERT_TRUE(PumpUntil([&] { return rig.events.ListCount() == 1; })) << withApp;
    PumpFor(50);
    EXPECT_TRUE(rig.comm->GetActive()) << withApp;
    EXPECT_EQ(rig.events.Received(), "") << "the rest of the block belongs to the closed port";
    ASSERT_TRUE(rig.peer.Write("again"));
    EXPECT_TRUE(rig.ReceivedAll("again")) << withApp;
    ASSERT_TRUE(rig.peer.Write("BYE"));
    ASSERT_TRUE(PumpUntil([&] { return rig.events.ListCount() == 2; }));
    EXPECT_TRUE(PumpUntil([&] { return !rig.comm->GetActive(); }));
    rig.comm.reset();  // frees what the handler's close left behind
  }
}

TEST(Comm, AMessageThreadThatDoesNotEndIsEndedAfterASecond) {
  Rig rig;
  rig.comm->SetTraceState({tsRxChar});
  HANDLE inside = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  struct Stuck {
    HANDLE inside;
    void On(TObject *, const std::uint8_t *, std::uint32_t) {
      SetEvent(inside);
      Sleep(30000);
    }
  } stuck{inside};
  rig.comm->SetOnAfterReceive(Bind<&Stuck::On>(&stuck));
  rig.comm->Open();
  ASSERT_TRUE(rig.peer.Write("x"));
  ASSERT_EQ(WaitForSingleObject(inside, 10000), static_cast<DWORD>(WAIT_OBJECT_0));
  DWORD start = GetTickCount();
  rig.comm->Close();
  DWORD took = GetTickCount() - start;
  EXPECT_GE(took, 900u);
  EXPECT_LT(took, 20000u);
  EXPECT_FALSE(rig.comm->GetActive());
  CloseHandle(inside);
}

TEST(Comm, APortThatGoesAwayIsHaltedAndTheNextOpenStartsAfresh) {
  Rig rig;
  rig.comm->SetTraceState({tsRxChar});
  rig.comm->Open();
  ASSERT_TRUE(rig.peer.Write("one"));
  ASSERT_TRUE(rig.ReceivedAll("one"));
  ASSERT_TRUE(PullCable(kNearPort)) << "no cable control (run under pty-com)";
  EXPECT_TRUE(PumpUntil([&] { return rig.events.Count(nrNotifyMediumClosed) == 1; }));
  EXPECT_TRUE(PumpUntil([&] { return !rig.comm->GetActive(); }));
  // No Close between: the open frees what the halt left and starts again.
  rig.comm->Open();
  ASSERT_TRUE(rig.comm->GetActive());
  ASSERT_TRUE(rig.peer.Write("two"));
  EXPECT_TRUE(rig.ReceivedAll("onetwo")) << rig.events.Received();
  rig.comm->Close();
  EXPECT_EQ(rig.events.Count(nrNotifyMediumClosed), 2) << "code 1 once per close";
  EXPECT_EQ(rig.events.Count(nrNotifyMediumOpened), 2);
}
