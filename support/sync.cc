// The critical section over a recursive POSIX mutex.
//
// Thread safety: see sync.h.
#include "support/sync.h"

#include <cstdlib>

FCriticalSection::FCriticalSection(uint32_t spin_count) : spin_count_(spin_count) { Initialize(); }

FCriticalSection::~FCriticalSection() { pthread_mutex_destroy(&mutex_); }

void FCriticalSection::Initialize() {
  pthread_mutexattr_t attributes;
  pthread_mutexattr_init(&attributes);
  pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
  // Only fails for lack of memory or a bad attribute; a critical section cannot fail to be
  // made, and going on with a broken lock would corrupt whatever it guards.
  if (pthread_mutex_init(&mutex_, &attributes) != 0) std::abort();
  pthread_mutexattr_destroy(&attributes);
}

void FCriticalSection::Lock() {
  // Spinning first saves the sleep and wake-up when the holder is about to let go, which is
  // what the spin count is for: locks held for a few instructions on a busy machine.
  for (uint32_t spins = spin_count_.load(std::memory_order_relaxed); spins > 0; --spins) {
    if (pthread_mutex_trylock(&mutex_) == 0) return;
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
  }
  pthread_mutex_lock(&mutex_);
}

void FCriticalSection::Unlock() { pthread_mutex_unlock(&mutex_); }

uint32_t FCriticalSection::SetSpinCount(uint32_t spin_count) {
  return spin_count_.exchange(spin_count, std::memory_order_relaxed);
}

void FCriticalSection::ReinitializeAfterFork() { Initialize(); }
