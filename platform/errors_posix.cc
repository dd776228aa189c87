// POSIX errors in the system's numbers (errors_posix.h), and the last error kept in errno.
//
// Thread safety: the table is constant; errno is per thread.
#include "platform/errors_posix.h"

#include <cerrno>

namespace platform {

namespace {

struct Translation {
  int error;
  uint32_t windows;
};

// The first errno of a Windows number is the one SetLastError stores for it.
constexpr Translation kTranslations[] = {
    {EACCES, kErrorAccessDenied},
    {EPERM, kErrorAccessDenied},
    {EISDIR, kErrorAccessDenied},  // a folder opened as a file
    {EMFILE, kErrorTooManyOpenFiles},
    {ENFILE, kErrorTooManyOpenFiles},
    {EBADF, kErrorInvalidHandle},
    {ENOMEM, kErrorNotEnoughMemory},
    {EXDEV, kErrorNotSameDevice},
    {EROFS, kErrorWriteProtect},
    {EIO, kErrorGenFailure},
    {ETXTBSY, kErrorSharingViolation},
    {ENOTSUP, kErrorNotSupported},
    {EOPNOTSUPP, kErrorNotSupported},
    {EINVAL, kErrorInvalidParameter},
    {EPIPE, kErrorBrokenPipe},
    {ENOSPC, kErrorDiskFull},
    {ENOSYS, kErrorCallNotImplemented},
    {ENOTEMPTY, kErrorDirNotEmpty},
    {EAGAIN, kErrorMaxThreadsReached},  // met where a thread cannot be started
    {EBUSY, kErrorBusy},
    {EEXIST, kErrorAlreadyExists},
    {ENOEXEC, kErrorBadExeFormat},
    {ENAMETOOLONG, kErrorFilenameExcedRange},
    {EFBIG, kErrorFileTooLarge},
    {ECONNREFUSED, kErrorConnectionRefused},
    {EDQUOT, kErrorDiskQuotaExceeded},
    {ETIMEDOUT, kErrorTimeout},
    {ELOOP, kErrorCantResolveFilename},
};

// 0 when `error` has no Windows number of its own.
uint32_t Translate(int error, uint32_t not_found) {
  if (error == ENOENT || error == ENOTDIR) return not_found;
  for (const Translation& translation : kTranslations) {
    if (translation.error == error) return translation.windows;
  }
  return 0;
}

}  // namespace

uint32_t ErrorFromErrno(int error, uint32_t not_found) {
  if (error == 0) return kErrorSuccess;
  const uint32_t windows = Translate(error, not_found);
  return windows != 0 ? windows : kErrorGenFailure;
}

uint32_t ResultFromErrno(int error, uint32_t not_found) {
  if (error == 0) return kSOk;
  if (error == ENOMEM) return kEOutOfMemory;
  const uint32_t windows = Translate(error, not_found);
  return windows != 0 ? ResultFromError(windows) : kEFail;
}

uint32_t GetLastError() { return ErrorFromErrno(errno); }

void SetLastError(uint32_t error) {
  if (error == kErrorSuccess) {
    errno = 0;
    return;
  }
  if (error == kErrorFileNotFound) {
    errno = ENOENT;
    return;
  }
  for (const Translation& translation : kTranslations) {
    if (translation.windows == error) {
      errno = translation.error;
      return;
    }
  }
  errno = EIO;  // reads back as kErrorGenFailure
}

}  // namespace platform
