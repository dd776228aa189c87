// The critical section and its guard, the interlocked counter and FEvent.
#include "support/sync.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace support {
namespace {

TEST(SyncTest, ACriticalSectionIsHeldUntilEveryLockIsGivenBack) {
  FCriticalSection lock(/*spin_count=*/100);
  EXPECT_EQ(lock.SetSpinCount(4000), 100u);
  std::atomic<bool> taken{false};
  std::thread other;
  {
    FLockGuard outer(&lock);
    {
      FLockGuard inner(&lock);  // the holder takes it again
      other = std::thread([&] {
        FLockGuard guard(&lock);
        taken = true;
      });
    }
    ThreadSleep(30);
    EXPECT_FALSE(taken);  // still held once
  }
  other.join();
  EXPECT_TRUE(taken);
  { FLockGuard none(nullptr); }  // neither locks nor unlocks
}

TEST(SyncTest, TheCounterGivesTheValueItMadeUnderContention) {
  int32_t counter = 0;
  EXPECT_EQ(AtomicCounterIncrement(&counter), 1);
  EXPECT_EQ(AtomicCounterDecrement(&counter), 0);
  EXPECT_EQ(AtomicCounterDecrement(&counter), -1);
  // Every value is made exactly once, so exactly one thread sees the last.
  std::atomic<int> saw_last{0};
  auto count = [&] {
    for (int i = 0; i < 20000; ++i) saw_last += AtomicCounterIncrement(&counter) == 39999;
  };
  std::thread other(count);
  count();
  other.join();
  EXPECT_EQ(saw_last, 1);
}

TEST(SyncTest, FEventWaitIsTrueOnlyWhenSignalled) {
  FEvent manual;  // manual reset, not signalled
  EXPECT_FALSE(manual.Wait(10));
  EXPECT_TRUE(manual.Set());
  EXPECT_TRUE(manual.IsSignalled());
  EXPECT_TRUE(manual.Wait(0));
  EXPECT_TRUE(manual.Reset());
  EXPECT_FALSE(manual.IsSignalled());

  FEvent once(/*manual_reset=*/false, /*initially_signalled=*/true);
  EXPECT_TRUE(once.Wait(0));
  EXPECT_FALSE(once.Wait(0));

  const size_t open = CvSyncHandleCount();
  EXPECT_TRUE(once.Close());
  EXPECT_EQ(CvSyncHandleCount(), open - 1);
  EXPECT_FALSE(once.Close());
  EXPECT_FALSE(once.Set());
  EXPECT_FALSE(once.Wait(0));
  delete new FEvent(true, true);
  EXPECT_EQ(CvSyncHandleCount(), open - 1);
}

}  // namespace
}  // namespace support
