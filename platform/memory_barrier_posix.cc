// The process-wide memory barrier with Linux's membarrier: the private expedited command,
// registered once per process.
//
// Thread safety: the registration runs once (a function-local static).
#include "platform/memory_barrier.h"

#include <linux/membarrier.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>

namespace platform {

namespace {

int Membarrier(int command) { return static_cast<int>(syscall(__NR_membarrier, command, 0, 0)); }

bool RegisterBarrier() {
  return Membarrier(MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED) == 0 &&
         Membarrier(MEMBARRIER_CMD_PRIVATE_EXPEDITED) == 0;
}

}  // namespace

bool CanFlushProcessWriteBuffers() {
  static const bool available = RegisterBarrier();
  return available;
}

void FlushProcessWriteBuffers() {
  if (Membarrier(MEMBARRIER_CMD_PRIVATE_EXPEDITED) != 0) std::abort();
}

}  // namespace platform
