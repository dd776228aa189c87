// The process's table of synchronisation objects: what each kind of object does to a wait,
// waits over several handles, threads behind handles, thread-local slots, and what a forked
// child sees of the table.
#include "platform/sync_objects.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/errors.h"
#ifndef _WIN32
#include "standins/testing/test_agent.h"
#endif

namespace {

TEST(SyncObjectsTest, AutoResetEventsReleaseOneWaitManualResetStayUntilReset) {
  const uint32_t once = CvCreateEvent(/*manual_reset=*/false, /*initially_signalled=*/true);
  const uint32_t held = CvCreateEvent(/*manual_reset=*/true, /*initially_signalled=*/true);
  ASSERT_NE(once, 0u);
  ASSERT_NE(held, 0u);
  EXPECT_EQ(CvWaitForSingleObject(once, 0), kCvWaitObject0);
  EXPECT_EQ(CvWaitForSingleObject(once, 0), kCvWaitTimeout);
  EXPECT_EQ(CvWaitForSingleObject(held, 0), kCvWaitObject0);
  EXPECT_EQ(CvWaitForSingleObject(held, 0), kCvWaitObject0);
  EXPECT_TRUE(CvResetEvent(held));
  EXPECT_EQ(CvWaitForSingleObject(held, 0), kCvWaitTimeout);

  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(CvWaitForSingleObject(held, 30), kCvWaitTimeout);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));

  const uint32_t mutex = CvCreateMutex(false);
  EXPECT_FALSE(CvSetEvent(mutex));  // not an event
  EXPECT_TRUE(CvCloseHandle(mutex));
  EXPECT_TRUE(CvCloseHandle(once));
  EXPECT_FALSE(CvCloseHandle(once));
  EXPECT_FALSE(CvSetEvent(once));
  EXPECT_EQ(CvWaitForSingleObject(once, 0), kCvWaitFailed);
  EXPECT_EQ(CvWaitForSingleObject(0, 0), kCvWaitFailed);
  EXPECT_TRUE(CvCloseHandle(held));
}

TEST(SyncObjectsTest, WaitForAnyTakesTheLowestWaitForAllTakesAllOrNothing) {
  const uint32_t events[3] = {CvCreateEvent(false, false), CvCreateEvent(false, true),
                              CvCreateEvent(false, true)};
  EXPECT_EQ(CvWaitForMultipleObjects(3, events, false, 0), kCvWaitObject0 + 1);
  EXPECT_EQ(CvWaitForMultipleObjects(3, events, false, 0), kCvWaitObject0 + 2);
  EXPECT_EQ(CvWaitForMultipleObjects(3, events, false, 0), kCvWaitTimeout);

  // Two of three signalled: a wait for all takes neither.
  CvSetEvent(events[0]);
  CvSetEvent(events[1]);
  EXPECT_EQ(CvWaitForMultipleObjects(3, events, true, 0), kCvWaitTimeout);
  EXPECT_EQ(CvWaitForSingleObject(events[0], 0), kCvWaitObject0);
  CvSetEvent(events[0]);

  // The last one set from another thread ends the wait, and all three are taken.
  std::thread setter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    CvSetEvent(events[2]);
  });
  EXPECT_EQ(CvWaitForMultipleObjects(3, events, true, kCvInfinite), kCvWaitObject0);
  setter.join();
  EXPECT_EQ(CvWaitForMultipleObjects(3, events, false, 0), kCvWaitTimeout);

  const uint32_t twice[2] = {events[0], events[0]};
  EXPECT_EQ(CvWaitForMultipleObjects(2, twice, true, 0), kCvWaitFailed);
  EXPECT_EQ(CvWaitForMultipleObjects(0, events, false, 0), kCvWaitFailed);
  uint32_t many[kCvMaximumWaitObjects + 1];
  for (uint32_t& handle : many) handle = events[0];
  EXPECT_EQ(CvWaitForMultipleObjects(kCvMaximumWaitObjects + 1, many, false, 0), kCvWaitFailed);
  for (uint32_t event : events) CvCloseHandle(event);
}

TEST(SyncObjectsTest, MutexesAreRecursiveOwnedAndAbandonedByAThreadThatEnds) {
  const uint32_t mutex = CvCreateMutex(/*initially_owned=*/true);
  EXPECT_EQ(CvWaitForSingleObject(mutex, 0), kCvWaitObject0);  // the owner again
  std::thread([&] {
    EXPECT_EQ(CvWaitForSingleObject(mutex, 0), kCvWaitTimeout);
    EXPECT_FALSE(CvReleaseMutex(mutex));  // not its owner
  }).join();
  EXPECT_TRUE(CvReleaseMutex(mutex));
  std::thread([&] { EXPECT_EQ(CvWaitForSingleObject(mutex, 0), kCvWaitTimeout); }).join();
  EXPECT_TRUE(CvReleaseMutex(mutex));
  EXPECT_FALSE(CvReleaseMutex(mutex));

  // A thread that ends holding it: the next wait takes it, reporting it abandoned.
  std::thread([&] { EXPECT_EQ(CvWaitForSingleObject(mutex, 0), kCvWaitObject0); }).join();
  EXPECT_EQ(CvWaitForSingleObject(mutex, kCvInfinite), kCvWaitAbandoned0);
  EXPECT_TRUE(CvReleaseMutex(mutex));
  EXPECT_EQ(CvWaitForSingleObject(mutex, 0), kCvWaitObject0);
  EXPECT_TRUE(CvReleaseMutex(mutex));
  EXPECT_TRUE(CvCloseHandle(mutex));
}

TEST(SyncObjectsTest, SemaphoresNeverCountAboveTheirMaximum) {
  EXPECT_EQ(CvCreateSemaphore(3, 2), 0u);
  EXPECT_EQ(CvCreateSemaphore(0, 0), 0u);
  const uint32_t semaphore = CvCreateSemaphore(1, 2);
  int32_t previous = -1;
  EXPECT_TRUE(CvReleaseSemaphore(semaphore, 1, &previous));
  EXPECT_EQ(previous, 1);
  EXPECT_FALSE(CvReleaseSemaphore(semaphore, 1, &previous));
  EXPECT_FALSE(CvReleaseSemaphore(semaphore, 0, nullptr));
  EXPECT_EQ(CvWaitForSingleObject(semaphore, 0), kCvWaitObject0);
  EXPECT_EQ(CvWaitForSingleObject(semaphore, 0), kCvWaitObject0);
  EXPECT_EQ(CvWaitForSingleObject(semaphore, 0), kCvWaitTimeout);
  EXPECT_FALSE(CvReleaseSemaphore(semaphore, 3, nullptr));  // 0 + 3 > 2: nothing added
  EXPECT_EQ(CvWaitForSingleObject(semaphore, 0), kCvWaitTimeout);
  CvCloseHandle(semaphore);
}

struct Unwound {
  std::atomic<bool>* flag;
  ~Unwound() { flag->store(true); }
};

TEST(SyncObjectsTest, ThreadsStartSuspendedEndWithACodeAndKeepTheirHandleUntilClosed) {
  static std::atomic<bool> ran;
  ran = false;
  const uint32_t thread = CvCreateThread(
      [](void*) -> uint32_t {
        ran = true;
        return 7;
      },
      nullptr, /*suspended=*/true);
  ASSERT_NE(thread, 0u);
  EXPECT_EQ(CvWaitForSingleObject(thread, 20), kCvWaitTimeout);
  EXPECT_FALSE(ran);
  uint32_t code = 0;
  EXPECT_TRUE(CvGetExitCodeThread(thread, &code));
  EXPECT_EQ(code, kCvStillActive);
  EXPECT_FALSE(CvTerminateThread(thread, 1));  // never done; the thread runs on
  EXPECT_EQ(CvResumeThread(thread), 1u);
  EXPECT_EQ(CvWaitForSingleObject(thread, kCvInfinite), kCvWaitObject0);
  EXPECT_TRUE(ran);
  EXPECT_EQ(CvResumeThread(thread), 0u);
  EXPECT_EQ(CvWaitForSingleObject(thread, 0), kCvWaitObject0);  // ended, still open
  EXPECT_TRUE(CvGetExitCodeThread(thread, &code));
  EXPECT_EQ(code, 7u);
  EXPECT_TRUE(CvCloseHandle(thread));

  // CvExitThread ends the thread at once, with its code, unwinding its stack.
  static std::atomic<bool> unwound;
  unwound = false;
  const uint32_t exiting = CvCreateThread(
      [](void*) -> uint32_t {
        Unwound guard{&unwound};
        CvExitThread(9);
      },
      nullptr, false);
  EXPECT_EQ(CvWaitForSingleObject(exiting, kCvInfinite), kCvWaitObject0);
  EXPECT_TRUE(CvGetExitCodeThread(exiting, &code));
  EXPECT_EQ(code, 9u);
  EXPECT_TRUE(unwound);
  EXPECT_TRUE(CvCloseHandle(exiting));

  platform::SetLastError(0);
  EXPECT_EQ(CvCreateThread(nullptr, nullptr, false), 0u);
  EXPECT_EQ(platform::GetLastError(), platform::kErrorInvalidParameter);
}

TEST(SyncObjectsTest, ThreadLocalSlotsHoldOneValuePerThread) {
  const uint32_t slot = CvTlsAlloc();
  ASSERT_NE(slot, kCvTlsOutOfIndexes);
  int mine = 0, theirs = 0;
  EXPECT_EQ(CvTlsGetValue(slot), nullptr);
  EXPECT_TRUE(CvTlsSetValue(slot, &mine));
  std::thread([&] {
    EXPECT_EQ(CvTlsGetValue(slot), nullptr);
    EXPECT_TRUE(CvTlsSetValue(slot, &theirs));
    EXPECT_EQ(CvTlsGetValue(slot), &theirs);
  }).join();
  EXPECT_EQ(CvTlsGetValue(slot), &mine);
  EXPECT_TRUE(CvTlsFree(slot));
  EXPECT_FALSE(CvTlsFree(slot));
  EXPECT_FALSE(CvTlsSetValue(slot, &mine));
  EXPECT_EQ(CvTlsGetValue(kCvTlsOutOfIndexes), nullptr);
}

#ifndef _WIN32  // Windows has no fork
// A child forked while another thread keeps the table busy gets it empty and unlocked: the
// parent's handles mean nothing there, and the child makes and uses its own.
TEST(SyncObjectsTest, AForkedChildStartsWithAnEmptyTable) {
  const uint32_t event = CvCreateEvent(true, true);
  std::atomic<bool> stop{false};
  std::thread busy([&] {
    while (!stop) CvCloseHandle(CvCreateEvent(false, false));
  });
  for (int round = 0; round < 5; ++round) {
    EXPECT_EQ(cvmad::testing::InChild([&] {
                const bool empty = CvSyncHandleCount() == 0 &&
                                   CvWaitForSingleObject(event, 0) == kCvWaitFailed &&
                                   !CvCloseHandle(event);
                const uint32_t own = CvCreateEvent(false, true);
                return empty && own != 0 && CvWaitForSingleObject(own, 0) == kCvWaitObject0 ? 0 : 1;
              }),
              0) << round;
  }
  stop = true;
  busy.join();
  EXPECT_EQ(CvWaitForSingleObject(event, 0), kCvWaitObject0);
  EXPECT_TRUE(CvCloseHandle(event));
  EXPECT_EQ(CvSyncHandleCount(), 0u);
}

#endif

}  // namespace
