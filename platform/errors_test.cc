// The translation of the system's errors into the Windows numbers the port reports, in both
// forms, and the last error kept for the calling thread.
#ifdef _WIN32
#include "platform/errors_windows.h"
#else
#include "platform/errors_posix.h"
#endif

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <thread>
#include <tuple>

namespace platform {
namespace {

#ifdef _WIN32
TEST(ErrorsTest, WindowsErrorsBecomeThePortsNumbersInBothForms) {
  const std::tuple<uint32_t, uint32_t, uint32_t> cases[] = {  // system, number, result
      {0, 0, 0},
      {5, 5, 0x80070005},
      {80, 183, 0x800700B7},   // ERROR_FILE_EXISTS: the file is there, as on every system
      {14, 8, 0x8007000E},     // ERROR_OUTOFMEMORY: E_OUTOFMEMORY in result form
      {267, 3, 0x80070003},    // ERROR_DIRECTORY: a file where a folder should be
      {122, 31, 0x80004005},   // ERROR_INSUFFICIENT_BUFFER: nothing closer
  };
  for (const auto& [error, number, result] : cases) {
    EXPECT_EQ(ErrorFromWindows(error), number) << error;
    EXPECT_EQ(ResultFromWindows(error), result) << error;
  }
}
#else

TEST(ErrorsTest, PosixErrorsBecomeTheWindowsNumbersInBothForms) {
  const std::tuple<int, uint32_t, uint32_t> cases[] = {  // errno, number, result
      {0, 0, 0},
      {EPERM, 5, 0x80070005},
      {ENOMEM, 8, 0x8007000E},  // memory running out is E_OUTOFMEMORY in result form
      {EEXIST, 183, 0x800700B7},
      {EPROTO, 31, 0x80004005},  // nothing closer: ERROR_GEN_FAILURE, E_FAIL
  };
  for (const auto& [error, number, result] : cases) {
    EXPECT_EQ(ErrorFromErrno(error), number) << error;
    EXPECT_EQ(ResultFromErrno(error), result) << error;
  }
}

TEST(ErrorsTest, SomethingMissingIsAFileOrAFolderAsTheCallerLookedForIt) {
  for (int error : {ENOENT, ENOTDIR}) {
    EXPECT_EQ(ErrorFromErrno(error), kErrorFileNotFound) << error;
    EXPECT_EQ(ErrorFromErrno(error, kErrorPathNotFound), kErrorPathNotFound) << error;
    EXPECT_EQ(ResultFromErrno(error, kErrorPathNotFound), 0x80070003u) << error;
  }
  EXPECT_EQ(ResultFromErrno(EACCES, kErrorPathNotFound), kEAccessDenied);
}
#endif

TEST(ErrorsTest, LastErrorIsPerThreadAndReadsBackWhatWasSet) {
  SetLastError(kErrorFileNotFound);
  EXPECT_EQ(GetLastError(), kErrorFileNotFound);
  SetLastError(kErrorMoreData);  // never a reason the system gives: the general failure
  EXPECT_EQ(GetLastError(), kErrorGenFailure);

  // Each thread keeps its own: two threads set theirs and wait for each other without a
  // system call (which may set the last error itself) before reading theirs back.
  std::atomic<int> set{0};
  auto set_and_read = [&set](uint32_t error) {
    SetLastError(error);
    set.fetch_add(1);
    while (set.load() < 2) std::this_thread::yield();
    EXPECT_EQ(GetLastError(), error);
  };
  std::thread first(set_and_read, kErrorAccessDenied), second(set_and_read, kErrorNotEnoughMemory);
  first.join();
  second.join();
}

}  // namespace
}  // namespace platform
