// Address waits over the C++ library's own, which is a futex on Linux.
#include "platform/address_wait.h"

namespace platform {

void WaitWhileEqual(const std::atomic<uint32_t>* word, uint32_t old) {
  word->wait(old, std::memory_order_acquire);
}

void WakeAllWaiting(std::atomic<uint32_t>* word) { word->notify_all(); }

void WakeOneWaiting(std::atomic<uint32_t>* word) { word->notify_one(); }

}  // namespace platform
