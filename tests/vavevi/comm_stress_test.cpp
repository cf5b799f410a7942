// The serial component over many cycles: a port that goes away while data
// flows, and opening and closing, with what the process holds watched.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <memory>
#include <string>

#include "comm_support.h"

namespace {

// Writes to the far end of the cable until told to stop.
class Writer : public TThread {
 public:
  explicit Writer(Peer &peer) : peer_(peer) { Start(); }
  ~Writer() override { Stop(); }
  std::atomic<std::uint64_t> written{0};

 protected:
  void Execute() override {
    const std::string chunk(64, 'w');
    while (!Terminated()) {
      if (peer_.Write(chunk)) written += chunk.size();
      Sleep(1);
    }
  }

 private:
  Peer &peer_;
};

// Wine opens a few handles of its own, lazily and at its own pace (up to
// three more were seen after a clean run of a thousand rounds); a handle
// lost once per round or cycle would add a thousand or more.
constexpr DWORD kHandleSlack = 16;

}  // namespace

TEST(CommStress, APortThatGoesAwayWhileDataFlowsHaltsEveryTime) {
  const int rounds = 1000;
  Events events;
  Peer peer;
  ASSERT_TRUE(peer.Ok());
  auto comm = std::make_unique<TestComm>(nullptr);
  comm->SetOnAfterReceive(Bind<&Events::AfterReceive>(&events));
  comm->NotifyAdd(Bind<&Events::Notify>(&events));
  comm->SetTraceState({tsRxChar});
  auto writer = std::make_unique<Writer>(peer);

  // A first round brings every lazily made resource into being.
  comm->Open();
  ASSERT_TRUE(PumpUntil([&] { return events.ReceivedSize() > 0; }));
  ASSERT_TRUE(PullCable(kNearPort)) << "no cable control (run under pty-com)";
  ASSERT_TRUE(PumpUntil([&] { return events.Count(nrNotifyMediumClosed) == 1; }));
  ASSERT_TRUE(PumpUntil([&] { return !comm->GetActive(); }));
  comm->Close();
  const ProcessUse before = ProcessUse::Now();

  int halted = 1;
  for (int round = 1; round < rounds; ++round) {
    comm->Open();
    ASSERT_TRUE(comm->GetActive()) << "round " << round;
    std::size_t seen = events.ReceivedSize();
    ASSERT_TRUE(PumpUntil([&] { return events.ReceivedSize() > seen; })) << "round " << round;
    ASSERT_TRUE(PullCable(kNearPort));
    ASSERT_TRUE(PumpUntil([&] { return events.Count(nrNotifyMediumClosed) == round + 1; }))
        << "round " << round;
    ASSERT_TRUE(PumpUntil([&] { return !comm->GetActive(); }));
    comm->Close();  // releases the threads the halt left
    halted = events.Count(nrNotifyMediumClosed);
  }
  EXPECT_EQ(halted, rounds) << "code 1 once per halt";
  const ProcessUse after = ProcessUse::Now();
  writer.reset();
  comm.reset();
  EXPECT_EQ(after.threads, before.threads);
  EXPECT_LE(after.handles, before.handles + kHandleSlack) << "before " << before.handles;
  RecordProperty("handles_before", static_cast<int>(before.handles));
  RecordProperty("handles_after", static_cast<int>(after.handles));
}

TEST(CommStress, TenThousandOpensAndClosesHoldNothing) {
  const int cycles = 10000;
  TestComm comm(nullptr);
  comm.SetTraceState({tsRxChar});
  for (int i = 0; i < 200; ++i) {  // warm-up
    comm.Open();
    comm.Close();
  }
  const ProcessUse before = ProcessUse::Now();
  ProcessUse middle;
  for (int i = 0; i < cycles; ++i) {
    comm.Open();
    ASSERT_TRUE(comm.GetActive()) << "cycle " << i;
    comm.Close();
    if (i == cycles / 2) middle = ProcessUse::Now();
  }
  const ProcessUse after = ProcessUse::Now();
  EXPECT_EQ(after.threads, before.threads);
  EXPECT_LE(after.handles, before.handles + kHandleSlack) << "before " << before.handles;
  // What the second half adds stays under 1 KiB per cycle: a lost receive
  // buffer (4 KiB) or thread object would pass it. Under 64-bit Wine about
  // 470 bytes per cycle were seen, with handles and threads flat; where
  // they go (the component's own blocks, or Wine's per-thread state) is
  // not yet traced.
  EXPECT_LT(after.privateBytes, middle.privateBytes + (cycles / 2) * 1024)
      << "middle " << middle.privateBytes << " after " << after.privateBytes;
  RecordProperty("handles", std::to_string(before.handles) + "/" + std::to_string(after.handles));
  RecordProperty("threads", std::to_string(before.threads) + "/" + std::to_string(after.threads));
  RecordProperty("private_kib", std::to_string(before.privateBytes / 1024) + "/" +
                                    std::to_string(middle.privateBytes / 1024) + "/" +
                                    std::to_string(after.privateBytes / 1024));
}
