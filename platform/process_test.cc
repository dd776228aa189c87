// Tests of the process and machine facts: the executable path with its truncation rule,
// the local time's fields and the processor count (thread ids are checked in the trace
// lines that carry them).
#include "platform/process.h"

#include <gtest/gtest.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <thread>

#include "platform/system_info.h"

namespace platform {
namespace {

TEST(ProcessTest, ModuleFileNameIsTheExecutableOrItsStartWithSizeReturned) {
  char link[4096] = {};
  ASSERT_GT(readlink("/proc/self/exe", link, sizeof link - 1), 10);
  const std::string path = link;
  const auto length = static_cast<uint32_t>(path.size());
  // Fits: the path and its length. Does not: size - 1 characters, terminated, and `size`.
  for (uint32_t size : {4096u, length + 1, length, 10u, 1u, 0u}) {
    std::string buffer(4096, 'X');
    EXPECT_EQ(GetModuleFileName(buffer.data(), size), std::min(size, length)) << size;
    if (size > 0) {
      EXPECT_EQ(buffer.c_str(), path.substr(0, size - 1)) << size;
    }
  }
}

// Compared with the C library's own broken-down time, taken until both fall in one second.
TEST(ProcessTest, LocalTimeCountsMonthsFromOneAndYearsWhole) {
  for (int attempt = 0; attempt < 10; ++attempt) {
    const time_t before = time(nullptr);
    SystemTime now{};
    ASSERT_TRUE(GetLocalTime(&now));
    if (time(nullptr) != before) continue;
    tm local{};
    ASSERT_NE(localtime_r(&before, &local), nullptr);
    EXPECT_EQ(now.year, local.tm_year + 1900);
    EXPECT_EQ(now.month, local.tm_mon + 1);
    EXPECT_EQ(now.day, local.tm_mday);
    EXPECT_EQ(now.day_of_week, local.tm_wday);
    EXPECT_EQ(now.hour, local.tm_hour);
    EXPECT_EQ(now.minute, local.tm_min);
    EXPECT_EQ(now.second, local.tm_sec);
    EXPECT_LT(now.milliseconds, 1000);
    return;
  }
  FAIL() << "no reading fell within one second";
}

TEST(ProcessTest, ProcessorCountIsTheOnlineProcessors) {
  SystemInfo info{};
  GetSystemInfo(&info);
  EXPECT_EQ(info.number_of_processors, std::max(1u, std::thread::hardware_concurrency()));
}

}  // namespace
}  // namespace platform
