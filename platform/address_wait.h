// Sleeping until a 32-bit word changes, and waking those asleep on it: what std::atomic's
// wait and notify offer, done by the system itself (a futex on Linux, WaitOnAddress on
// Windows). The C++ library of the Windows toolchain implements wait and notify with a
// condition variable that it notifies without holding its mutex: a notify that comes
// between a waiter's look at the word and its sleep is lost, and the waiter sleeps until
// the next one, which may never come.
//
// Thread safety: any thread may wait or wake on any word.
#ifndef PLATFORM_ADDRESS_WAIT_H_
#define PLATFORM_ADDRESS_WAIT_H_

#include <atomic>
#include <cstdint>

namespace platform {

// Returns once `*word` has been seen to differ from `old`, or spuriously: callers look again.
void WaitWhileEqual(const std::atomic<uint32_t>* word, uint32_t old);
// Wakes every thread, or one thread, asleep in WaitWhileEqual on `word`.
void WakeAllWaiting(std::atomic<uint32_t>* word);
void WakeOneWaiting(std::atomic<uint32_t>* word);

}  // namespace platform

#endif  // PLATFORM_ADDRESS_WAIT_H_
