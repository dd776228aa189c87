// The process-wide memory barrier with FlushProcessWriteBuffers. Wine's does nothing (it
// returns without interrupting a thread), so under Wine the barrier is not offered and the
// lock that would rely on it takes its fenced path.
//
// Thread safety: the answer is made once (a function-local static).
#include "platform/memory_barrier.h"

#include "platform/system_info.h"
#include "platform/win32_windows.h"

namespace platform {

bool CanFlushProcessWriteBuffers() {
  static const bool available = !RunningUnderWine();
  return available;
}

void FlushProcessWriteBuffers() { ::FlushProcessWriteBuffers(); }

}  // namespace platform
