// Machine facts from sysconf.
//
// Thread safety: no state of its own.
#include "platform/system_info.h"

#include <unistd.h>

namespace platform {

void GetSystemInfo(SystemInfo* info) {
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  info->number_of_processors = online > 0 ? static_cast<uint32_t>(online) : 1;
}

bool RunningUnderWine() { return false; }

}  // namespace platform
