// The debug output sink: syslog at debug priority, user facility.
//
// Thread safety: syslog serialises its callers; safe from any thread.
#include "platform/debug_output.h"

#include <syslog.h>

namespace platform {

void OutputDebugString(const char* text) {
  if (text == nullptr) return;
  // No openlog: the host process (PHP) may have set its own identity, which we keep.
  syslog(LOG_DEBUG | LOG_USER, "%s", text);
}

}  // namespace platform
