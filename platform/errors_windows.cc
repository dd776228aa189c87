// Windows errors in the port's numbers (errors_windows.h), and the last error kept where the
// system keeps it, per thread.
//
// Thread safety: the tables are constant; the last error is per thread.
#include "platform/errors_windows.h"

#include "platform/win32_windows.h"

namespace platform {

namespace {

// The numbers the port gives as they are.
constexpr uint32_t kPortErrors[] = {
    kErrorFileNotFound,     kErrorPathNotFound,      kErrorTooManyOpenFiles,
    kErrorAccessDenied,     kErrorInvalidHandle,     kErrorNotEnoughMemory,
    kErrorNotSameDevice,    kErrorWriteProtect,      kErrorGenFailure,
    kErrorSharingViolation, kErrorNotSupported,      kErrorInvalidParameter,
    kErrorBrokenPipe,       kErrorDiskFull,          kErrorCallNotImplemented,
    kErrorModNotFound,      kErrorProcNotFound,      kErrorDirNotEmpty,
    kErrorMaxThreadsReached, kErrorBusy,             kErrorAlreadyExists,
    kErrorBadExeFormat,     kErrorFilenameExcedRange, kErrorFileTooLarge,
    kErrorIoDevice,         kErrorConnectionRefused, kErrorDiskQuotaExceeded,
    kErrorNoneMapped,       kErrorTimeout,           kErrorCantResolveFilename,
};

struct Translation {
  uint32_t windows;
  uint32_t port;
};

// System errors that mean what a number of the port's means.
constexpr Translation kTranslations[] = {
    {ERROR_FILE_EXISTS, kErrorAlreadyExists},        // CREATE_NEW on a file that is there
    {ERROR_OUTOFMEMORY, kErrorNotEnoughMemory},
    {ERROR_NOT_ENOUGH_QUOTA, kErrorNotEnoughMemory},
    {ERROR_HANDLE_DISK_FULL, kErrorDiskFull},
    {ERROR_LOCK_VIOLATION, kErrorSharingViolation},
    {ERROR_DIRECTORY, kErrorPathNotFound},           // a file where a folder should be
    {ERROR_INVALID_NAME, kErrorFileNotFound},        // no file can have that name
    {ERROR_BAD_PATHNAME, kErrorPathNotFound},
    {ERROR_NO_DATA, kErrorBrokenPipe},               // a pipe being closed at the other end
    {ERROR_PIPE_NOT_CONNECTED, kErrorBrokenPipe},
    {ERROR_SEM_TIMEOUT, kErrorTimeout},
    {WAIT_TIMEOUT, kErrorTimeout},
    {ERROR_CANT_ACCESS_FILE, kErrorAccessDenied},
    {ERROR_PRIVILEGE_NOT_HELD, kErrorAccessDenied},
    {ERROR_FILENAME_EXCED_RANGE, kErrorFilenameExcedRange},
};

// 0 when `error` has no number of the port's.
uint32_t Translate(uint32_t error) {
  for (uint32_t known : kPortErrors) {
    if (known == error) return error;
  }
  for (const Translation& translation : kTranslations) {
    if (translation.windows == error) return translation.port;
  }
  return 0;
}

}  // namespace

uint32_t ErrorFromWindows(uint32_t error) {
  if (error == 0) return kErrorSuccess;
  const uint32_t port = Translate(error);
  return port != 0 ? port : kErrorGenFailure;
}

uint32_t ResultFromWindows(uint32_t error) {
  if (error == 0) return kSOk;
  const uint32_t port = Translate(error);
  if (port == kErrorNotEnoughMemory) return kEOutOfMemory;
  return port != 0 ? ResultFromError(port) : kEFail;
}

uint32_t GetLastError() { return ErrorFromWindows(::GetLastError()); }

void SetLastError(uint32_t error) {
  ::SetLastError(error == kErrorSuccess ? 0 : Translate(error) == error ? error : kErrorGenFailure);
}

}  // namespace platform
