// The Win32 units of the class library under Wine: threads, the
// application object's synchronisation, registry access.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <memory>
#include <string>

#include "rtapplication.h"
#include "rtedit.h"
#include "rtexcept.h"
#include "rtregistry.h"
#include "rtthread.h"

namespace {

// Counts until terminated; its own destructor stops it before its members go.
class CountingThread : public TThread {
 public:
  ~CountingThread() override { Stop(); }
  std::atomic<int> loops{0};
  DWORD seenId = 0;

 protected:
  void Execute() override {
    seenId = GetCurrentThreadId();
    while (!Terminated()) {
      ++loops;
      Sleep(1);
    }
  }
};

// Waits for thread messages; Terminate posts WM_QUIT so that it wakes.
class MessageThread : public TThread {
 public:
  ~MessageThread() override { Stop(); }
  void Terminate() override {
    TThread::Terminate();
    PostThreadMessageA(ThreadID(), WM_QUIT, 0, 0);
  }
  std::atomic<int> received{0};
  HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);

 protected:
  void Execute() override {
    MSG msg;
    PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);  // makes the queue
    SetEvent(ready);
    while (!Terminated() && GetMessageA(&msg, nullptr, 0, 0) > 0)
      if (msg.message == WM_APP) ++received;
  }
};

class BlockedThread : public TThread {
 protected:
  void Execute() override {
    for (;;) Sleep(1000);
  }
};

}  // namespace

TEST(Thread, IdAndHandleExistBeforeStartAndTerminateEndsIt) {
  CountingThread t;
  EXPECT_NE(t.Handle(), nullptr);
  EXPECT_NE(t.ThreadID(), 0u);
  EXPECT_EQ(t.loops.load(), 0);  // created suspended
  t.Start();
  while (t.loops.load() < 3) Sleep(1);
  EXPECT_EQ(t.seenId, t.ThreadID());
  t.Terminate();
  EXPECT_TRUE(t.Terminated());
  t.WaitFor();
  EXPECT_TRUE(t.Finished());
}

// Notes, outside the object, whether its Execute ever ran.
class WatchedThread : public TThread {
 public:
  explicit WatchedThread(std::atomic<bool> &executed) : executed_(executed) {}

 protected:
  void Execute() override { executed_ = true; }

 private:
  std::atomic<bool> &executed_;
};

// A thread object destroyed without Start: its system thread, created
// suspended, is let run and has ended by the time the destructor returns,
// without running Execute (Terminated was set first), and its handle is
// closed.
TEST(Thread, DestructorEndsAThreadThatNeverRan) {
  std::atomic<bool> executed{false};
  auto t = std::make_unique<WatchedThread>(executed);
  HANDLE own = t->Handle();
  HANDLE watch = nullptr;
  ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), own, GetCurrentProcess(), &watch, 0, FALSE,
                              DUPLICATE_SAME_ACCESS));
  EXPECT_EQ(WaitForSingleObject(watch, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "still suspended";
  t.reset();
  EXPECT_EQ(WaitForSingleObject(watch, 0), static_cast<DWORD>(WAIT_OBJECT_0)) << "not ended";
  DWORD code = STILL_ACTIVE;
  EXPECT_TRUE(GetExitCodeThread(watch, &code));
  EXPECT_EQ(code, 0u);
  EXPECT_FALSE(executed.load());
  DWORD flags = 0;
  EXPECT_FALSE(GetHandleInformation(own, &flags)) << "the object's handle is still open";
  CloseHandle(watch);
}

TEST(Thread, ThreadMessagesAndOverriddenTerminate) {
  MessageThread t;
  t.Start();
  WaitForSingleObject(t.ready, 5000);
  EXPECT_TRUE(PostThreadMessageA(t.ThreadID(), WM_APP, 0, 0));
  while (t.received.load() < 1) Sleep(1);
  t.Stop();  // reaches the overridden Terminate
  EXPECT_TRUE(t.Finished());
  CloseHandle(t.ready);
}

TEST(Thread, ForcedEndThroughTheHandle) {
  BlockedThread t;
  t.Start();
  EXPECT_EQ(WaitForSingleObject(t.Handle(), 20), static_cast<DWORD>(WAIT_TIMEOUT));
  ASSERT_TRUE(TerminateThread(t.Handle(), 0));
  EXPECT_EQ(t.WaitFor(), 0u);
}

namespace {
class SyncThread : public TThread {
 public:
  ~SyncThread() override { Stop(); }
  DWORD ranOn = 0;
  bool caught = false;

 protected:
  void Execute() override {
    Synchronize([this] { ranOn = GetCurrentThreadId(); });
    try {
      Synchronize([] { throw Exception("from main"); });
    } catch (const Exception &e) {
      caught = e.Message() == "from main";
    }
  }
};
}  // namespace

TEST(Thread, SynchronizeWithoutApplicationRunsOnTheCallingThread) {
  ASSERT_EQ(Application(), nullptr);
  SyncThread t;
  t.Start();
  t.WaitFor();
  EXPECT_EQ(t.ranOn, t.ThreadID());
  EXPECT_TRUE(t.caught);
}

TEST(Thread, SynchronizeWithApplicationRunsOnTheMainThread) {
  TApplication app;
  ASSERT_EQ(Application(), &app);
  SyncThread t;
  t.Start();
  HANDLE handle = t.Handle();
  while (!t.Finished()) {
    MsgWaitForMultipleObjects(1, &handle, FALSE, 1000, QS_ALLINPUT);
    app.ProcessMessages();
  }
  EXPECT_EQ(t.ranOn, GetCurrentThreadId());
  EXPECT_TRUE(t.caught);
}

TEST(Thread, MainThreadWaitServesSynchronisedCallsAndWithdrawDropsThem) {
  TApplication app;
  // The main thread waits for a thread that synchronises with it: the wait
  // runs the call, so the thread can end.
  SyncThread t;
  t.Start();
  EXPECT_EQ(app.WaitFor(t.Handle(), INFINITE), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_EQ(t.ranOn, GetCurrentThreadId());
  EXPECT_TRUE(t.caught);

  // A call withdrawn before it ran: it never runs, and its thread gets an
  // error instead of waiting for ever.
  struct Stuck : TThread {
    std::atomic<bool> ran{false};
    std::string error;
    ~Stuck() override { Stop(); }
    void Execute() override {
      try {
        Synchronize([this] { ran = true; });
      } catch (const Exception &e) {
        error = e.Message();
      }
    }
  } stuck;
  stuck.Start();
  DWORD start = GetTickCount();
  int withdrawn = 0;
  while ((withdrawn = app.Withdraw(stuck.ThreadID())) == 0 && GetTickCount() - start < 10000)
    Sleep(1);
  EXPECT_EQ(withdrawn, 1);
  stuck.WaitFor();
  EXPECT_FALSE(app.CheckSynchronize());
  EXPECT_FALSE(stuck.ran);
  EXPECT_EQ(stuck.error, "Synchronized call withdrawn");

  // Off the main thread WaitFor is a plain wait.
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  struct Waiter : TThread {
    HANDLE event;
    DWORD result = 0;
    TApplication *app;
    void Execute() override { result = app->WaitFor(event, 10); }
  } waiter;
  waiter.event = event;
  waiter.app = &app;
  waiter.Start();
  waiter.WaitFor();
  EXPECT_EQ(waiter.result, static_cast<DWORD>(WAIT_TIMEOUT));
  CloseHandle(event);
}

TEST(Registry, BinaryValuesUnderACreatedKey) {
  const std::string path = "Software\\TorvexRuntimeTest";
  {
    TRegistry reg;
    reg.SetRootKey(HKEY_CURRENT_USER);
    ASSERT_FALSE(reg.OpenKey(path, false));
    ASSERT_TRUE(reg.OpenKey(path, true));
    EXPECT_FALSE(reg.ValueExists("cfg"));
    EXPECT_EQ(reg.GetDataSize("cfg"), -1);
    unsigned char data[49];
    for (int i = 0; i < 49; ++i) data[i] = static_cast<unsigned char>(i * 3);
    reg.WriteBinaryData("cfg", data, sizeof data);
    EXPECT_TRUE(reg.ValueExists("cfg"));
    EXPECT_EQ(reg.GetDataSize("cfg"), 49);
    unsigned char back[49] = {};
    EXPECT_EQ(reg.ReadBinaryData("cfg", back, sizeof back), 49);
    EXPECT_EQ(memcmp(data, back, sizeof data), 0);
    unsigned char tooSmall[48];
    EXPECT_THROW(reg.ReadBinaryData("cfg", tooSmall, sizeof tooSmall), ERegistryException);
    EXPECT_THROW(reg.ReadBinaryData("absent", back, sizeof back), ERegistryException);
  }
  TRegistry reg;
  EXPECT_TRUE(reg.KeyExists(path));
  EXPECT_TRUE(reg.DeleteKey(path));
  EXPECT_FALSE(reg.KeyExists(path));
}

TEST(Edit, AWindowedEditTakesTextAndEditMessages) {
  TEdit edit(nullptr);
  ASSERT_NE(edit.Handle(), nullptr);
  edit.SetText("AB");
  EXPECT_EQ(edit.GetText(), "AB");
  SendMessageA(edit.Handle(), EM_SETSEL, 2, 2);
  SendMessageA(edit.Handle(), EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>("CD"));
  SendMessageA(edit.Handle(), WM_CHAR, 'E', 1);
  EXPECT_EQ(edit.GetText(), "ABCDE");
}
