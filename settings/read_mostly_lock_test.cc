#include "settings/read_mostly_lock.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <atomic>
#include <shared_mutex>
#include <thread>
#include <vector>

namespace settings {
namespace {

// Readers check that a pair written by the writers is never seen half changed, and that no
// writer is inside with them; writers check that they are alone. The pair is plain memory,
// so a sanitizer build also sees any access the lock fails to order.
TEST(ReadMostlyLockTest, ReadersNeverSeeAWriterAtWork) {
  ReadMostlyLock lock;
  long first = 0, second = 0;
  std::atomic<int> writers_inside{0}, readers_inside{0};
  std::atomic<bool> torn{false}, crowded{false}, stop{false};
  std::atomic<long> reads{0};
  auto reader = [&] {
    while (!stop.load()) {
      std::shared_lock shared(lock);
      readers_inside.fetch_add(1);
      if (writers_inside.load() != 0) crowded = true;
      if (first != second) torn = true;
      readers_inside.fetch_sub(1);
      reads.fetch_add(1, std::memory_order_relaxed);
    }
  };
  auto writer = [&] {
    for (int round = 0; round < 300; ++round) {
      std::unique_lock exclusive(lock);
      if (writers_inside.fetch_add(1) != 0 || readers_inside.load() != 0) crowded = true;
      ++first;
      std::this_thread::yield();
      ++second;
      writers_inside.fetch_sub(1);
    }
  };
  // More readers than slots, so the shared counter is used as well as the slots.
  std::vector<std::thread> threads;
  for (unsigned i = 0; i < ReadMostlyLock::kSlots + 4; ++i) threads.emplace_back(reader);
  std::thread writers[] = {std::thread(writer), std::thread(writer)};
  for (auto& thread : writers) thread.join();
  stop = true;
  for (auto& thread : threads) thread.join();
  EXPECT_FALSE(torn);
  EXPECT_FALSE(crowded);
  EXPECT_EQ(first, 600);
  EXPECT_EQ(second, 600);
  EXPECT_GT(reads.load(), 0);
}

#ifndef _WIN32  // no fork on Windows
// A forked child (one thread, the registration of the barrier inherited) can still read and
// write. (A reader kept out while a writer is inside: the case above.)
TEST(ReadMostlyLockTest, ForkedChildReadsAndWrites) {
  ReadMostlyLock lock;
  lock.lock_shared();  // gives this thread a slot before the fork
  lock.unlock_shared();
  const pid_t child = fork();
  if (child == 0) {
    lock.lock_shared();
    lock.unlock_shared();
    lock.lock();
    lock.unlock();
    _exit(0);
  }
  int status = -1;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}
#endif

}  // namespace
}  // namespace settings
