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

}  // namespace platform

#endif  // PLATFORM_SYSTEM_INFO_H_
