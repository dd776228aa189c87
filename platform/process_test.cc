// Tests of the process facts: executable path with its truncation rule, ids, tick count.
#include "platform/process.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <iterator>
#include <string>
#include <thread>

namespace platform {
namespace {

std::string ExePath() {
  char path[PATH_MAX + 1];
  ssize_t length = readlink("/proc/self/exe", path, PATH_MAX);
  return std::string(path, length > 0 ? length : 0);
}

TEST(GetModuleFileNameTest, FitsOrIsCutWithSizeReturned) {
  const std::string expected = ExePath();
  ASSERT_FALSE(expected.empty());
  const uint32_t length = static_cast<uint32_t>(expected.size());

  char buffer[PATH_MAX + 2];
  EXPECT_EQ(GetModuleFileName(buffer, sizeof buffer), length);
  EXPECT_EQ(buffer, expected);

  // Exactly room for the terminator: fits.
  EXPECT_EQ(GetModuleFileName(buffer, length + 1), length);
  EXPECT_EQ(buffer, expected);

  // One short: cut to size - 1 characters, terminated, and `size` returned.
  std::fill(std::begin(buffer), std::end(buffer), 'X');
  EXPECT_EQ(GetModuleFileName(buffer, length), length);
  EXPECT_EQ(buffer, expected.substr(0, length - 1));

  EXPECT_EQ(GetModuleFileName(buffer, 1), 1u);
  EXPECT_EQ(buffer[0], '\0');

  EXPECT_EQ(GetModuleFileName(buffer, 0), 0u);
  EXPECT_EQ(GetModuleFileName(nullptr, 10), 0u);
}

TEST(ProcessIdsTest, MatchKernelIdsPerThread) {
  EXPECT_EQ(GetCurrentProcessId(), static_cast<uint32_t>(getpid()));
  // The main thread's id is the process id; another thread has its own.
  EXPECT_EQ(GetCurrentThreadId(), static_cast<uint32_t>(gettid()));
  uint32_t other_id = 0;
  uint32_t other_kernel_id = 0;
  std::thread([&] {
    other_id = GetCurrentThreadId();
    other_kernel_id = static_cast<uint32_t>(gettid());
  }).join();
  EXPECT_EQ(other_id, other_kernel_id);
  EXPECT_NE(other_id, GetCurrentThreadId());
}

TEST(GetTickCountTest, FollowsTheBootClockInMilliseconds) {
  timespec boot;
  clock_gettime(CLOCK_BOOTTIME, &boot);
  const uint32_t expected = static_cast<uint32_t>(static_cast<uint64_t>(boot.tv_sec) * 1000u +
                                                  static_cast<uint64_t>(boot.tv_nsec) / 1000000u);
  const uint32_t first = GetTickCount();
  // Unsigned differences survive the wrap at 2^32.
  EXPECT_LE(first - expected, 1000u);
  EXPECT_LE(GetTickCount() - first, 1000u);
}

}  // namespace
}  // namespace platform
