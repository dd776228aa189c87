// Address waits over WaitOnAddress and WakeByAddress (the synchronization library).
#include "platform/address_wait.h"

#include "platform/win32_windows.h"

namespace platform {

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t));

void WaitWhileEqual(const std::atomic<uint32_t>* word, uint32_t old) {
  // WaitOnAddress compares and sleeps as one step against WakeByAddress: no wake-up is lost.
  if (word->load(std::memory_order_acquire) != old) return;
  ::WaitOnAddress(const_cast<std::atomic<uint32_t>*>(word), &old, sizeof old, INFINITE);
  std::atomic_thread_fence(std::memory_order_acquire);
}

void WakeAllWaiting(std::atomic<uint32_t>* word) { ::WakeByAddressAll(word); }

void WakeOneWaiting(std::atomic<uint32_t>* word) { ::WakeByAddressSingle(word); }

}  // namespace platform
