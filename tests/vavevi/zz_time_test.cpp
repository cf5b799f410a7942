#include <gtest/gtest.h>
#include "comm_support.h"
TEST(T, Pull) {
  Events events;
  Peer peer;
  auto comm = std::make_unique<TestComm>(nullptr);
  comm->SetOnAfterReceive(Bind<&Events::AfterReceive>(&events));
  comm->NotifyAdd(Bind<&Events::Notify>(&events));
  comm->SetTraceState({tsRxChar});
  for (int round = 0; round < 5; ++round) {
    comm->Open();
    printf("round %d open %d\n", round, comm->GetActive()); fflush(stdout);
    peer.Write("abc");
    std::size_t seen = events.ReceivedSize();
    bool got = PumpUntil([&] { return events.ReceivedSize() > seen; }, 3000);
    printf("  data %d\n", got); fflush(stdout);
    printf("  pull %d\n", PullCable(kNearPort)); fflush(stdout);
    bool halted = PumpUntil([&] { return events.Count(1) == round + 1; }, 3000);
    printf("  halted %d active %d\n", halted, comm->GetActive()); fflush(stdout);
    comm->Close();
  }
}
