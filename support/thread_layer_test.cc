// The thread layer over the process's sync objects (platform/sync_objects_test.cc covers
// the objects themselves): its set-up, the life of a layer thread and its trace lines, the
// bounds an event group and a semaphore keep, and threads handing work on to each other
// through auto-reset events.
#include "support/thread_layer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/test_root.h"
#include "support/trace.h"

using support::EventClose;
using support::EventCreate;
using support::EventGroup;
using support::EventGroupCreate;
using support::EventGroupDestroy;
using support::EventGroupResetOne;
using support::EventGroupSetOne;
using support::EventGroupWait;
using support::EventGroupWaitOne;
using support::EventSet;
using support::EventWait;
using support::kSemaphoreMaximumCount;
using support::LayerThreadRoutine;
using support::MutexClose;
using support::MutexCreate;
using support::MutexRelease;
using support::MutexTryLock;
using support::MutexWait;
using support::SemaphoreClose;
using support::SemaphoreCreate;
using support::SemaphoreRelease;
using support::SemaphoreTryWait;
using support::SemaphoreWait;
using support::ThreadCreate;
using support::ThreadCurrentHandle;
using support::ThreadExitCurrent;
using support::ThreadJoin;
using support::ThreadLayerInitialize;
using support::ThreadLayerShutdown;
using support::ThreadLayerTlsSlot;
using support::ThreadSleep;
using support::ThreadTerminate;
using support::TraceEnabled;
using support::TraceSetLogFile;
using support::TraceShutdown;

namespace {

class ThreadLayerTest : public ::testing::Test {
 protected:
  void TearDown() override { ThreadLayerShutdown(); }
};

TEST_F(ThreadLayerTest, NoThreadBeforeInitialiseAndOneSlotHoweverOftenInitialised) {
  static std::atomic<int> runs;
  runs = 0;
  const LayerThreadRoutine count_run = [](void*) { ++runs; };
  EXPECT_EQ(ThreadCreate(count_run, nullptr, false), 0u);

  ASSERT_TRUE(ThreadLayerInitialize());
  const uint32_t slot = ThreadLayerTlsSlot();
  EXPECT_NE(slot, kCvTlsOutOfIndexes);
  EXPECT_TRUE(ThreadLayerInitialize());
  EXPECT_EQ(ThreadLayerTlsSlot(), slot);
  EXPECT_EQ(ThreadJoin(ThreadCreate(count_run, nullptr, false)), kCvWaitObject0);
  EXPECT_EQ(runs, 1);

  ThreadLayerShutdown();
  EXPECT_EQ(ThreadLayerTlsSlot(), kCvTlsOutOfIndexes);
  EXPECT_EQ(ThreadCreate(count_run, nullptr, false), 0u);
}

TEST_F(ThreadLayerTest, ALayerThreadKnowsItsHandleTracesItsLifeAndClosesItsHandleOnExit) {
  const platform::testing::TemporaryFolder root("thread_layer_test");
  ASSERT_FALSE(root.path().empty());
  // The trace writes only in its log folder.
  platform::testing::SetEnvironment("CORVANE_ROOT", root.path().c_str());
  const std::string logs = root.Path("logs"), log = logs + "/trace.log";
  ASSERT_TRUE(std::filesystem::create_directory(logs));
  TraceShutdown();
  TraceSetLogFile(log.c_str(), "w");
  TraceEnabled = 1;
  ASSERT_TRUE(ThreadLayerInitialize());

  struct Seen {
    uint32_t handle = 0;
    uint32_t id = 0;
  } seen;
  const size_t open_before = CvSyncHandleCount();
  const uint32_t thread = ThreadCreate(
      [](void* argument) {
        auto* seen = static_cast<Seen*>(argument);
        seen->handle = ThreadCurrentHandle();
        seen->id = CvGetCurrentThreadId();
      },
      &seen, /*close_on_exit=*/false);
  ASSERT_NE(thread, 0u);
  EXPECT_EQ(ThreadJoin(thread), kCvWaitObject0);
  EXPECT_EQ(seen.handle, thread);
  EXPECT_EQ(CvSyncHandleCount(), open_before);  // joining closed it
  EXPECT_EQ(ThreadJoin(thread), kCvWaitFailed);

  TraceEnabled = 0;
  std::ifstream stream(log);
  std::stringstream text;
  text << stream.rdbuf();
  char expected[96];
  for (const char* stage : {"starting", "exiting"}) {
    snprintf(expected, sizeof expected, "\tThread (id=0x%X, handle=0x%X) is %s...\n", seen.id,
             thread, stage);
    EXPECT_NE(text.str().find(expected), std::string::npos) << text.str();
  }
  TraceShutdown();

  // Outside layer threads there is no handle.
  std::thread([] { EXPECT_EQ(ThreadCurrentHandle(), 0u); }).join();

  // With close-on-exit the thread closes its handle itself, also when it ends early.
  static std::atomic<bool> went_on;
  went_on = false;
  EXPECT_NE(ThreadCreate(
                [](void*) {
                  ThreadExitCurrent();
                  went_on = true;
                },
                nullptr, /*close_on_exit=*/true),
            0u);
  for (int i = 0; i < 10000 && CvSyncHandleCount() != open_before; ++i) ThreadSleep(1);
  EXPECT_EQ(CvSyncHandleCount(), open_before);
  EXPECT_FALSE(went_on);
}

TEST(ThreadLayerBoundsTest, EventGroupIndexesAndSemaphoreCountsOutsideTheirRangeTouchNothing) {
  EXPECT_EQ(EventGroupCreate(-1, true, false), nullptr);
  EventGroup* group = EventGroupCreate(3, /*manual_reset=*/false, /*initially_signalled=*/false);
  ASSERT_NE(group, nullptr);
  const size_t open = CvSyncHandleCount();
  EXPECT_EQ(EventGroupWaitOne(group, 3, kCvInfinite), kCvWaitTimeout);  // no wait at all
  EXPECT_EQ(EventGroupWaitOne(group, -1, 0), kCvWaitTimeout);
  EXPECT_FALSE(EventGroupSetOne(group, 3));
  EXPECT_FALSE(EventGroupResetOne(group, -1));
  EXPECT_EQ(EventGroupWait(group, false, 0), kCvWaitTimeout);
  EXPECT_TRUE(EventGroupSetOne(group, 2));
  EXPECT_TRUE(EventGroupSetOne(group, 1));
  EXPECT_EQ(EventGroupWait(group, /*wait_all=*/false, 0), kCvWaitObject0 + 1);
  EXPECT_TRUE(EventGroupResetOne(group, 2));
  EXPECT_EQ(EventGroupWaitOne(group, 2, 0), kCvWaitTimeout);
  EXPECT_TRUE(EventGroupDestroy(group));
  EXPECT_EQ(CvSyncHandleCount(), open - 3);

  EXPECT_EQ(SemaphoreCreate(kSemaphoreMaximumCount + 1), 0u);
  const uint32_t semaphore = SemaphoreCreate(kSemaphoreMaximumCount - 1);
  ASSERT_NE(semaphore, 0u);
  EXPECT_FALSE(SemaphoreRelease(semaphore, 2));
  EXPECT_TRUE(SemaphoreRelease(semaphore, 1));
  EXPECT_FALSE(SemaphoreRelease(semaphore, 1));
  EXPECT_TRUE(SemaphoreTryWait(semaphore));
  EXPECT_TRUE(SemaphoreClose(semaphore));
}

// Layer threads in a ring, each waiting on its own auto-reset event and setting the next
// one's: the count each adds to needs no lock of its own, since the hand-offs order every
// access. A signal lost or doubled shows as a count that is wrong or a ring that stalls.
TEST_F(ThreadLayerTest, ThreadsHandWorkOnThroughAutoResetEvents) {
  ASSERT_TRUE(ThreadLayerInitialize());
  constexpr int kThreads = 6;
  constexpr int kRounds = 2000;
  struct Ring {
    uint32_t events[kThreads];
    int total = 0;  // guarded by the hand-offs
    std::vector<int> order;
  } ring;
  struct Member {
    Ring* ring;
    int index;
  } members[kThreads];
  uint32_t threads[kThreads];
  for (int i = 0; i < kThreads; ++i) {
    ring.events[i] = EventCreate(/*manual_reset=*/false, /*initially_signalled=*/false);
    members[i] = {&ring, i};
  }
  for (int i = 0; i < kThreads; ++i) {
    threads[i] = ThreadCreate(
        [](void* argument) {
          const auto* member = static_cast<Member*>(argument);
          Ring& ring = *member->ring;
          for (int round = 0; round < kRounds; ++round) {
            if (EventWait(ring.events[member->index], kCvInfinite) != kCvWaitObject0) return;
            ++ring.total;
            if (round < 3) ring.order.push_back(member->index);
            EventSet(ring.events[(member->index + 1) % kThreads]);
          }
        },
        &members[i], false);
    ASSERT_NE(threads[i], 0u);
  }
  EventSet(ring.events[0]);
  for (uint32_t thread : threads) EXPECT_EQ(ThreadJoin(thread), kCvWaitObject0);
  EXPECT_EQ(ring.total, kThreads * kRounds);
  ASSERT_EQ(ring.order.size(), 3u * kThreads);
  for (int i = 0; i < 3 * kThreads; ++i) EXPECT_EQ(ring.order[i], i % kThreads);
  for (uint32_t event : ring.events) EXPECT_TRUE(EventClose(event));
}

}  // namespace
