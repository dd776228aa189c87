// The one translator of the system's own error numbers (::GetLastError) into the numbers the
// port reports (errors.h), for the Windows implementations of the port. Most are the same
// number; a few that mean what a listed one means become it, so that a failure is called
// the same on every system.
//
// Thread safety: pure functions.
#ifndef PLATFORM_ERRORS_WINDOWS_H_
#define PLATFORM_ERRORS_WINDOWS_H_

#include <cstdint>

#include "platform/errors.h"

namespace platform {

// The port's number for the system's `error`; 0 for 0. An error with no number of the
// port's is kErrorGenFailure.
uint32_t ErrorFromWindows(uint32_t error);

// The same in result form: kEOutOfMemory for memory running out, kEFail for an error with
// no number of the port's.
uint32_t ResultFromWindows(uint32_t error);

}  // namespace platform

#endif  // PLATFORM_ERRORS_WINDOWS_H_
