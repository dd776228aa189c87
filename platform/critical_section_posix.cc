// The critical section over a recursive POSIX mutex (see critical_section.h).
#include "platform/critical_section.h"

#include <pthread.h>

#include <cstdlib>

namespace platform {

namespace {

static_assert(sizeof(pthread_mutex_t) <= sizeof(CriticalSection::lock) &&
              alignof(pthread_mutex_t) <= alignof(CriticalSection));

pthread_mutex_t* Mutex(CriticalSection* section) {
  return reinterpret_cast<pthread_mutex_t*>(section->lock);
}

}  // namespace

void InitializeCriticalSection(CriticalSection* section) {
  section->spin_count.store(0, std::memory_order_relaxed);
  pthread_mutexattr_t attributes;
  pthread_mutexattr_init(&attributes);
  pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
  // Fails only for lack of memory or a bad attribute.
  if (pthread_mutex_init(Mutex(section), &attributes) != 0) std::abort();
  pthread_mutexattr_destroy(&attributes);
}

void EnterCriticalSection(CriticalSection* section) {
  // Spinning saves the sleep and wake-up when the holder is about to let go, which is what
  // the spin count is for: sections held for a few instructions on a busy machine.
  for (uint32_t spins = section->spin_count.load(std::memory_order_relaxed); spins > 0;
       --spins) {
    if (pthread_mutex_trylock(Mutex(section)) == 0) return;
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
  }
  pthread_mutex_lock(Mutex(section));
}

void LeaveCriticalSection(CriticalSection* section) { pthread_mutex_unlock(Mutex(section)); }

void DeleteCriticalSection(CriticalSection* section) { pthread_mutex_destroy(Mutex(section)); }

uint32_t SetCriticalSectionSpinCount(CriticalSection* section, uint32_t spin_count) {
  return section->spin_count.exchange(spin_count, std::memory_order_relaxed);
}

}  // namespace platform
