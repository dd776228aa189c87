// Facts about the machine the process runs on.
//
// Thread safety: safe from any thread.
#ifndef PLATFORM_SYSTEM_INFO_H_
#define PLATFORM_SYSTEM_INFO_H_

#include <cstdint>

namespace platform {

// SYSTEM_INFO, the fields the system reads.
struct SystemInfo {
  uint32_t number_of_processors;  // processors online, at least 1
};

// GetSystemInfo: fills `*info`.
void GetSystemInfo(SystemInfo* info);

// Whether this process runs under Wine rather than Windows (its ntdll exports
// wine_get_version). False on every other system. The port checks what Wine is more lenient
// about than Windows by itself, and the tests skip what Wine lacks.
bool RunningUnderWine();

}  // namespace platform

#endif  // PLATFORM_SYSTEM_INFO_H_
