// The failures the system reports: Windows error numbers, and the same numbers in result
// form (0x8007xxxx) for the COM-style interfaces.
//
// Every implementation of the port reports in these numbers, whatever its OS says; each
// OS has one translator (for POSIX, errors_posix.h), so a failure is called the same
// everywhere. The trace lines and results the system defines carry these numbers.
//
// Thread safety: the last error is the calling thread's own.
#ifndef PLATFORM_ERRORS_H_
#define PLATFORM_ERRORS_H_

#include <cstdint>

namespace platform {

// Windows error numbers.
inline constexpr uint32_t kErrorSuccess = 0;
inline constexpr uint32_t kErrorFileNotFound = 2;    // no such file, key or value
inline constexpr uint32_t kErrorPathNotFound = 3;    // no such folder
inline constexpr uint32_t kErrorTooManyOpenFiles = 4;
inline constexpr uint32_t kErrorAccessDenied = 5;
inline constexpr uint32_t kErrorInvalidHandle = 6;
inline constexpr uint32_t kErrorNotEnoughMemory = 8;
inline constexpr uint32_t kErrorNotSameDevice = 17;
inline constexpr uint32_t kErrorWriteProtect = 19;
inline constexpr uint32_t kErrorGenFailure = 31;     // a failure with no closer number
inline constexpr uint32_t kErrorSharingViolation = 32;
inline constexpr uint32_t kErrorNotSupported = 50;
inline constexpr uint32_t kErrorInvalidParameter = 87;
inline constexpr uint32_t kErrorBrokenPipe = 109;
inline constexpr uint32_t kErrorDiskFull = 112;
inline constexpr uint32_t kErrorCallNotImplemented = 120;
inline constexpr uint32_t kErrorModNotFound = 126;
inline constexpr uint32_t kErrorProcNotFound = 127;
inline constexpr uint32_t kErrorDirNotEmpty = 145;
inline constexpr uint32_t kErrorMaxThreadsReached = 164;
inline constexpr uint32_t kErrorBusy = 170;
inline constexpr uint32_t kErrorAlreadyExists = 183;
inline constexpr uint32_t kErrorBadExeFormat = 193;
inline constexpr uint32_t kErrorFilenameExcedRange = 206;
inline constexpr uint32_t kErrorFileTooLarge = 223;
inline constexpr uint32_t kErrorMoreData = 234;      // buffer too small; size says what is needed
inline constexpr uint32_t kErrorNoMoreItems = 259;   // enumeration index past the end
inline constexpr uint32_t kErrorRegistryIo = 1016;   // the hive could not be read or written
inline constexpr uint32_t kErrorIoDevice = 1117;
inline constexpr uint32_t kErrorConnectionRefused = 1225;
inline constexpr uint32_t kErrorDiskQuotaExceeded = 1295;
inline constexpr uint32_t kErrorNoneMapped = 1332;   // an account without a name
inline constexpr uint32_t kErrorTimeout = 1460;
inline constexpr uint32_t kErrorCantResolveFilename = 1921;  // too many symbolic links

// Results.
inline constexpr uint32_t kSOk = 0;
inline constexpr uint32_t kEFail = 0x80004005;
inline constexpr uint32_t kEAccessDenied = 0x80070005;
inline constexpr uint32_t kEOutOfMemory = 0x8007000E;
inline constexpr uint32_t kEInvalidArg = 0x80070057;

// HRESULT_FROM_WIN32: a Windows error number in result form; 0 stays 0.
constexpr uint32_t ResultFromError(uint32_t error) {
  return error == 0 ? kSOk : 0x80070000u | (error & 0xFFFFu);
}

// The calling thread's last error: why its last failed call of the port said so, where
// that call's contract names the last error as its reason (CvCreateThread, for one).
uint32_t GetLastError();
// Sets the calling thread's last error, as a failing call of the port does. A number the
// port can give as a last error reads back unchanged; any other reads back as 31.
void SetLastError(uint32_t error);

}  // namespace platform

#endif  // PLATFORM_ERRORS_H_
