// The component base classes: notification lists, devices and processors
// bound together and taken apart, the fatal-error rule, the timer and the
// sequence matcher.
#include <gtest/gtest.h>

#include <windows.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "nrclasses.h"
#include "pump.h"
#include "rtapplication.h"
#include "rtexcept.h"
#include "rtproperties.h"

namespace {

// A log that records what it is asked to write, in call order.
class RecordingLog : public TnrCustomLogFile {
 public:
  using TnrCustomLogFile::TnrCustomLogFile;
  std::vector<std::string> lines;
  bool fresh = true;  // the first entry brings the system line, as TnrLogFile does

  void Add(const std::string &text) override {
    if (fresh) {
      fresh = false;
      AddSysInfo();
    }
    lines.push_back(text);
  }
  void AddSysInfo() override { Add("<sysinfo>"); }
  void AddLog(TDetailLevel level, const std::string &text) override {
    Add(std::to_string(level) + ":" + text);
  }
  void AddFmt(const std::string &format, const FmtArgs &args) override {
    Add(Format(format, args));
  }
  void AddLogFmt(TDetailLevel level, const std::string &format, const FmtArgs &args) override {
    AddLog(level, Format(format, args));
  }
};

// A device whose "handle" is a fake value; its sends are recorded.
class TestIO : public TnrBaseIO {
 public:
  using TnrBaseIO::TnrBaseIO;
  std::vector<std::string> sent;
  bool openable = true;

  HANDLE RequestDeviceHandle() override {
    return openable ? reinterpret_cast<HANDLE>(0x1234) : INVALID_HANDLE_VALUE;
  }
  void SendString(const std::string &text) override { sent.push_back("string:" + text); }
  void SendData(const void *buffer, std::uint32_t count) override {
    sent.push_back("data:" + std::string(static_cast<const char *>(buffer), count));
  }
  void SetPrefix(std::string p) { SetLogPrefix(std::move(p)); }
  using TnrBaseIO::Loading;
};

class TestProcessor : public TnrCustomDataProcessor {
 public:
  using TnrCustomDataProcessor::TnrCustomDataProcessor;
  int afterSend = 0;
  bool failAfterSend = false;
  void DoAfterSendComplete(bool &handled) override {
    ++afterSend;
    if (failAfterSend) throw std::runtime_error("after send failed");
    TnrCustomDataProcessor::DoAfterSendComplete(handled);
  }
};

struct Listener {
  std::vector<std::string> heard;
  void A(TObject *, std::int32_t code) { heard.push_back("A" + std::to_string(code)); }
  void B(TObject *, std::int32_t code) { heard.push_back("B" + std::to_string(code)); }
};

struct FatalRecorder {
  std::vector<std::string> seen;
  bool clear = false;
  void On(TObject *, std::uint32_t code, std::uint32_t detail, const std::string &message,
          bool &raise) {
    seen.push_back(std::to_string(code) + "," + std::to_string(detail) + "," + message);
    if (clear) raise = false;
  }
};

struct SendFilter {
  bool handle = false;
  bool raise = false;
  std::vector<std::string> offered;
  void On(TObject *, const std::uint8_t *buffer, std::uint32_t len, bool synchro, bool &handled) {
    offered.push_back(std::string(reinterpret_cast<const char *>(buffer), len) +
                      (synchro ? "/sync" : "/async"));
    if (raise) throw Exception("filter failed");
    handled = handle;
  }
};

}  // namespace

TEST(NotifyList, HandlerIdentityAndRounds) {
  TestIO io(nullptr);
  Listener one, two;
  auto a1 = Bind<&Listener::A>(&one);
  EXPECT_EQ(io.NotifyAdd(a1), 0);
  EXPECT_EQ(io.NotifyAdd(Bind<&Listener::B>(&one)), 1);
  EXPECT_EQ(io.NotifyAdd(a1), 0) << "the same handler again keeps one item";
  EXPECT_EQ(io.NotifyList().Count(), 2);
  EXPECT_EQ(io.NotifyList().IndexOf(Bind<&Listener::A>(&two)), -1)
      << "same operation, other object";

  io.NotifyDelete(Bind<&Listener::A>(&two));  // not registered: nothing happens
  EXPECT_EQ(io.NotifyList().Count(), 2);

  io.DoNotify(nrNotifyDeviceChanged);
  EXPECT_EQ(one.heard, (std::vector<std::string>{"A3", "B3"}));

  io.NotifyList().Put(0, Bind<&Listener::A>(&two));  // overwritten in place
  io.NotifyDelete(Bind<&Listener::B>(&one));
  io.DoNotify(nrNotifyMediumOpened);
  EXPECT_EQ(two.heard, (std::vector<std::string>{"A2"}));
  EXPECT_EQ(one.heard.size(), 2u);

  io.NotifyList().Clear();
  io.DoNotify(nrNotifyDeviceChanged);  // an empty list: nothing
  EXPECT_EQ(two.heard.size(), 1u);

  // A handler that empties the list ends the round: nothing past the list
  // is read, nobody after it is called.
  struct Emptier {
    TestIO *io;
    int calls = 0;
    void On(TObject *, std::int32_t) {
      ++calls;
      io->NotifyList().Clear();
    }
  } e{&io};
  io.NotifyAdd(Bind<&Emptier::On>(&e));
  io.NotifyAdd(Bind<&Listener::A>(&two));
  io.DoNotify(1);
  EXPECT_EQ(e.calls, 1);
  EXPECT_EQ(two.heard.size(), 1u);
}

TEST(BaseIO, ClosedUntilOpenAndAbstractOperations) {
  TestIO io(nullptr);
  EXPECT_EQ(io.GetHandle(), INVALID_HANDLE_VALUE);
  EXPECT_FALSE(io.GetActive());
  io.SetActive(true);
  EXPECT_TRUE(io.GetActive());
  EXPECT_EQ(io.GetHandle(), reinterpret_cast<HANDLE>(0x1234));
  io.SetActive(false);
  EXPECT_EQ(io.GetHandle(), INVALID_HANDLE_VALUE);

  EXPECT_THROW(io.GetDeviceIndex(), EAbstractError);
  EXPECT_THROW(io.SendChar('x'), EAbstractError);
  EXPECT_THROW(io.ClearDeviceInput(), EAbstractError);
  EXPECT_THROW(io.ClearDeviceOutput(), EAbstractError);
  EXPECT_THROW(io.ClearDeviceBuffers(), EAbstractError);

  // The device list is copied with its values; none as target does nothing.
  io.DeviceList().AddObject("COM3", 3);
  io.DeviceList().AddObject("COM10", 10);
  TStringList copy;
  copy.Add("stale");
  io.GetDeviceList(&copy);
  ASSERT_EQ(copy.Count(), 2);
  EXPECT_EQ(copy.Strings(1), "COM10");
  EXPECT_EQ(copy.Objects(1), 10u);
  io.GetDeviceList(nullptr);

  Listener l;
  io.NotifyAdd(Bind<&Listener::A>(&l));
  io.SetDeviceIndex(7);
  io.Update();
  EXPECT_EQ(l.heard, (std::vector<std::string>{"A3", "A3"}));
}

TEST(BaseIO, ActiveWhileLoadingAndDesigning) {
  TestIO io(nullptr);
  io.BeginLoading();
  SetPublishedProperty(io, "Active", "True");
  EXPECT_TRUE(io.GetActive()) << "the stored flag while loading";
  EXPECT_EQ(io.GetHandle(), INVALID_HANDLE_VALUE) << "nothing opened while loading";
  io.EndLoading();
  EXPECT_FALSE(io.GetActive()) << "this class does not apply the flag after loading";

  io.SetDesigning(true);
  io.SetActive(true);  // a test opening
  EXPECT_TRUE(io.GetActive());
  EXPECT_EQ(io.GetHandle(), INVALID_HANDLE_VALUE) << "closed again after the test";
  io.openable = false;
  io.SetActive(true);
  EXPECT_FALSE(io.GetActive()) << "a failed test opening is remembered";
}

TEST(BaseIO, LoggingWithPrefixAndSystemEntry) {
  RecordingLog log(nullptr);
  TestIO io(nullptr);
  io.Logging(dlSimple, "no log yet");  // nothing to write to
  io.SetLog(&log);
  io.SetPrefix("dev: ");
  io.Logging(dlSimple, "");  // the system entry, twice on a fresh log
  io.Logging(dlDetail, "opened");
  io.LoggingFmt(dlDebug, "%s=%0.3d", {"n", 7});
  EXPECT_EQ(log.lines,
            (std::vector<std::string>{"<sysinfo>", "<sysinfo>", "1:dev: opened", "2:dev: n=007"}));
}

TEST(FatalErrors, RaiseFlagLogShowAndLoading) {
  RecordingLog log(nullptr);
  TestIO io(nullptr);
  io.SetLog(&log);
  FatalRecorder fatal;
  io.SetOnFatalError(Bind<&FatalRecorder::On>(&fatal));

  fatal.clear = true;  // the handler cancels: logged, returns normally
  io.DoFatalErrors(5, 6, "boom", false);
  EXPECT_EQ(fatal.seen, (std::vector<std::string>{"5,6,boom"}));
  EXPECT_EQ(log.lines.back(), "0:Fatal Error: 5, 6, boom");

  fatal.clear = false;  // raised, and logged all the same
  try {
    io.DoFatalErrors(1, 0, "raised", false);
    ADD_FAILURE() << "no exception";
  } catch (const Exception &e) {
    EXPECT_EQ(e.Message(), "raised");
  }
  EXPECT_EQ(log.lines.back(), "0:Fatal Error: 1, 0, raised");

  // Shown instead of raised: through the application's error display.
  struct App : TApplication {
    std::vector<std::string> shown;
    void ShowException(const std::exception &e) override { shown.push_back(e.what()); }
  } app;
  EXPECT_NO_THROW(io.DoFatalErrors(2, 3, "shown", true));
  EXPECT_EQ(app.shown, (std::vector<std::string>{"shown"}));

  io.BeginLoading();  // while loading nothing is raised or shown
  EXPECT_NO_THROW(io.DoFatalErrors(4, 0, "quiet", false));
  EXPECT_NO_THROW(io.DoFatalErrors(4, 0, "quiet", true));
  EXPECT_EQ(app.shown.size(), 1u);
  io.EndLoading();

  TestProcessor processor(nullptr);
  processor.SetLog(&log);
  EXPECT_THROW(processor.DoFatalErrors(9, 1, "proc"), Exception);
  EXPECT_EQ(log.lines.back(), "0:Fatal Error: 9, 1, proc");
  processor.SetOnFatalError(Bind<&FatalRecorder::On>(&fatal));
  fatal.clear = true;
  EXPECT_NO_THROW(processor.DoFatalErrors(9, 2, "proc"));
}

TEST(Processors, AChainHearsTheDeviceAndReferencesDieWithTheirTargets) {
  auto log1 = std::make_unique<RecordingLog>(nullptr);
  RecordingLog log2(nullptr);
  auto io = std::make_unique<TestIO>(nullptr);
  auto first = std::make_unique<TestProcessor>(nullptr);
  auto second = std::make_unique<TestProcessor>(nullptr);
  first->SetLog(log1.get());
  second->SetLog(&log2);
  io->SetLog(log1.get());
  SetPublishedProperty(*io, "DataProcessor", "");  // none: nothing to detach
  io->SetDataProcessor(first.get());
  first->SetDataProcessor(second.get());
  EXPECT_EQ(first->GetDevice(), io.get());
  EXPECT_EQ(second->GetDevice(), io.get());
  EXPECT_EQ(io->NotifyList().Count(), 2);

  io->DoNotify(nrNotifyMediumOpened);
  io->DoNotify(nrNotifyMediumClosed);
  io->DoNotify(nrNotifyDeviceChanged);  // not for processors
  EXPECT_EQ(log1->lines,
            (std::vector<std::string>{"<sysinfo>", "2:Medium Opened", "2:Medium Closed"}));
  EXPECT_EQ(log2.lines, log1->lines);

  // A log that goes is dropped by everyone who held it.
  log1.reset();
  EXPECT_EQ(io->GetLog(), nullptr);
  EXPECT_EQ(first->GetLog(), nullptr);
  io->DoNotify(nrNotifyMediumOpened);  // nothing to write to, nothing breaks

  // The second processor goes: it leaves the device's list and the chain.
  second.reset();
  EXPECT_EQ(first->GetDataProcessor(), nullptr);
  EXPECT_EQ(io->NotifyList().Count(), 1);

  // The device goes: the processor forgets it.
  io.reset();
  EXPECT_EQ(first->GetDevice(), nullptr);
  first->DoDataSend("x", 1);  // no device: nothing to send to

  // A processor that goes is detached from its device.
  TestIO io2(nullptr);
  auto third = std::make_unique<TestProcessor>(nullptr);
  io2.SetDataProcessor(third.get());
  third.reset();
  EXPECT_EQ(io2.GetDataProcessor(), nullptr);
  EXPECT_EQ(io2.NotifyList().Count(), 0);

  // Setting none detaches the attached processor.
  TestProcessor fourth(nullptr);
  io2.SetDataProcessor(&fourth);
  io2.SetDataProcessor(nullptr);
  EXPECT_EQ(fourth.GetDevice(), nullptr);
  EXPECT_EQ(io2.NotifyList().Count(), 0);
}

TEST(Processors, SendsOfferedToTheFilterFirst) {
  TestIO io(nullptr);
  TestProcessor processor(nullptr);
  io.SetDataProcessor(&processor);
  SendFilter filter;
  processor.SetOnDataSend(Bind<&SendFilter::On>(&filter));

  processor.DoDataSend("abc", 0);  // nothing at all for a count of 0
  processor.DoDataSend(nullptr, 3);
  processor.DoStringSend("");
  EXPECT_TRUE(filter.offered.empty());

  processor.DoDataSend("abc", 3);  // not handled: the device sends
  processor.DoStringSend("hello");
  EXPECT_EQ(filter.offered, (std::vector<std::string>{"abc/async", "hello/sync"}));
  EXPECT_EQ(io.sent, (std::vector<std::string>{"data:abc", "string:hello"}));
  EXPECT_FALSE(processor.SendTimer().GetEnabled());

  // A failing filter never reaches the caller: the processor's fatal-error
  // report has it (handler, then log), and its raise ends there.
  RecordingLog log(nullptr);
  processor.SetLog(&log);
  FatalRecorder fatal;
  processor.SetOnFatalError(Bind<&FatalRecorder::On>(&fatal));
  filter.raise = true;
  EXPECT_NO_THROW(processor.DoDataSend("x", 1));
  EXPECT_NO_THROW(processor.DoStringSend("x"));
  EXPECT_EQ(io.sent.size(), 2u);
  EXPECT_EQ(fatal.seen, (std::vector<std::string>{"0,0,filter failed", "0,0,filter failed"}));
  EXPECT_EQ(log.lines.back(), "0:Fatal Error: 0, 0, filter failed");

  // Handled: nothing is sent; one interval later DoAfterSendComplete runs
  // once and the timer stops.
  filter.raise = false;
  filter.handle = true;
  processor.SendTimer().SetInterval(50);
  processor.DoStringSend("kept");
  EXPECT_FALSE(processor.SendTimer().GetEnabled()) << "a string send leaves the timer alone";
  processor.DoDataSend("kept", 4);
  EXPECT_EQ(io.sent.size(), 2u);
  EXPECT_TRUE(processor.SendTimer().GetEnabled());
  EXPECT_TRUE(PumpUntil([&] { return processor.afterSend > 0; }));
  EXPECT_EQ(processor.afterSend, 1);
  EXPECT_FALSE(processor.SendTimer().GetEnabled());
  PumpFor(200);
  EXPECT_EQ(processor.afterSend, 1);

  // A DoAfterSendComplete that fails in the timer's window procedure is
  // reported the same way; the timer stops as before.
  processor.failAfterSend = true;
  processor.DoDataSend("kept", 4);
  EXPECT_TRUE(PumpUntil([&] { return processor.afterSend > 1; }));
  EXPECT_EQ(processor.afterSend, 2);
  EXPECT_EQ(fatal.seen.back(), "0,0,after send failed");
  EXPECT_FALSE(processor.SendTimer().GetEnabled());
}

TEST(Timer, RunsOnTheCreatingThreadAndNotWithIntervalZero) {
  struct Ticks {
    int n = 0;
    bool raise = false;
    DWORD thread = 0;
    void On(TObject *) {
      ++n;
      thread = GetCurrentThreadId();
      if (raise) throw Exception("timer handler failed");
    }
  } ticks;
  TnrTimer timer;
  EXPECT_EQ(timer.GetInterval(), 1000u);
  EXPECT_TRUE(timer.GetEnabled());
  EXPECT_NE(timer.WindowHandle(), nullptr);

  timer.SetInterval(0);
  timer.SetOnTimer(Bind<&Ticks::On>(&ticks));
  PumpFor(150);
  EXPECT_EQ(ticks.n, 0) << "an interval of 0 never fires";

  timer.SetInterval(20);
  ticks.raise = true;  // errors stay inside the timer; it keeps running
  EXPECT_TRUE(PumpUntil([&] { return ticks.n >= 3; })) << ticks.n;
  EXPECT_EQ(ticks.thread, GetCurrentThreadId());

  timer.SetEnabled(false);
  int seen = ticks.n;
  PumpFor(100);
  EXPECT_EQ(ticks.n, seen);
}

TEST(CheckSequence, MatchesCountsAndRestarts) {
  std::uint8_t ok[] = {'O', 'K'};
  std::uint8_t aab[] = {'a', 'a', 'b'};
  struct Case {
    std::uint8_t *seq;
    std::uint32_t len;
    const char *input;
    const char *expected;  // one result per input byte
    std::uint32_t stateAfter;
  } cases[] = {
      {ok, 2, "OK", "01", 0},    {ok, 2, "OOK", "001", 0},    {ok, 2, "K", "0", 0},
      {ok, 2, "xO", "00", 1},    {aab, 3, "aaab", "0000", 0},  // the overlap is missed
      {aab, 3, "aab", "001", 0}, {nullptr, 0, "ab", "00", 0},
  };
  for (const Case &c : cases) {
    TCommEvent event{0, c.len, c.seq, 0};
    std::string got;
    for (const char *p = c.input; *p; ++p)
      got += CheckSequence(static_cast<std::uint8_t>(*p), event) ? '1' : '0';
    EXPECT_EQ(got, c.expected) << "input " << c.input;
    EXPECT_EQ(event.State, c.stateAfter) << "input " << c.input;
  }
  TCommEvent stale{7, 2, ok, 0};  // a count past the sequence starts over
  EXPECT_FALSE(CheckSequence('O', stale));
  EXPECT_TRUE(CheckSequence('K', stale));
}
