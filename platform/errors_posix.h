// The one translator of POSIX errors (errno values) into the system's Windows error numbers
// and results (errors.h), for the POSIX implementations of the port and for the stand-in
// programs that report in the same numbers.
//
// Thread safety: pure functions.
#ifndef PLATFORM_ERRORS_POSIX_H_
#define PLATFORM_ERRORS_POSIX_H_

#include <cstdint>

#include "platform/errors.h"

namespace platform {

// The Windows error number of `error`; 0 for 0. ENOENT and ENOTDIR (nothing of that name, or
// a file where a folder should be on the way) become `not_found`: kErrorFileNotFound where
// the caller looked for a file, kErrorPathNotFound where it looked for a folder. An errno
// with no closer Windows number is kErrorGenFailure.
uint32_t ErrorFromErrno(int error, uint32_t not_found = kErrorFileNotFound);

// The same in result form: 0 for 0, kEOutOfMemory for ENOMEM (as COM reports memory running
// out), kEFail for an errno with no closer Windows number, else ResultFromError of it.
uint32_t ResultFromErrno(int error, uint32_t not_found = kErrorFileNotFound);

}  // namespace platform

#endif  // PLATFORM_ERRORS_POSIX_H_
