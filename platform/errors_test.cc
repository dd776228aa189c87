// The translation of POSIX errors into the Windows numbers the system reports, in both
// forms, and the last error kept for the calling thread.
#include "platform/errors_posix.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <thread>
#include <tuple>

namespace platform {
namespace {

TEST(ErrorsTest, PosixErrorsBecomeTheWindowsNumbersInBothForms) {
  const std::tuple<int, uint32_t, uint32_t> cases[] = {  // errno, number, result
      {0, 0, 0},
      {ENOENT, 2, 0x80070002},
      {EACCES, 5, 0x80070005},
      {EPERM, 5, 0x80070005},
      {EISDIR, 5, 0x80070005},
      {EBADF, 6, 0x80070006},
      {ENOMEM, 8, 0x8007000E},  // memory running out is E_OUTOFMEMORY in result form
      {EINVAL, 87, 0x80070057},
      {ENOSPC, 112, 0x80070070},
      {EEXIST, 183, 0x800700B7},
      {EAGAIN, 164, 0x800700A4},
      {ETIMEDOUT, 1460, 0x800705B4},
      {ELOOP, 1921, 0x80070781},
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

TEST(ErrorsTest, LastErrorIsPerThreadAndReadsBackWhatWasSet) {
  for (int error : {EACCES, ENOMEM, EINVAL, EAGAIN, EEXIST, ENOSPC, ETIMEDOUT, EIO}) {
    const uint32_t number = ErrorFromErrno(error);
    SetLastError(number);
    EXPECT_EQ(GetLastError(), number) << error;
  }
  SetLastError(kErrorFileNotFound);
  EXPECT_EQ(GetLastError(), kErrorFileNotFound);
  SetLastError(kErrorMoreData);  // never a reason the system gives: the general failure
  EXPECT_EQ(GetLastError(), kErrorGenFailure);

  SetLastError(kErrorAccessDenied);
  std::thread([] {
    EXPECT_EQ(GetLastError(), kErrorSuccess);
    SetLastError(kErrorNotEnoughMemory);
  }).join();
  EXPECT_EQ(GetLastError(), kErrorAccessDenied);
}

}  // namespace
}  // namespace platform
