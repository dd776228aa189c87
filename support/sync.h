// Locks shaped like the Windows critical section, for code written against that model:
// a recursive lock (the owning thread may take it again) and a scope guard for it.
//
// Thread safety: an FCriticalSection may be locked and unlocked from any thread; each
// Unlock must come from the thread that holds the lock. An FLockGuard belongs to the one
// thread that made it.
#ifndef SUPPORT_SYNC_H_
#define SUPPORT_SYNC_H_

#include <pthread.h>

#include <atomic>
#include <cstdint>

class FCriticalSection {
 public:
  // `spin_count`: how many times Lock tries to take a busy lock before it sleeps.
  explicit FCriticalSection(uint32_t spin_count = 0);
  ~FCriticalSection();
  FCriticalSection(const FCriticalSection&) = delete;
  FCriticalSection& operator=(const FCriticalSection&) = delete;

  // Waits until the lock is free or held by this thread, then takes it once more.
  void Lock();
  // Gives back one Lock of this thread.
  void Unlock();

  // Sets the spin count; returns the one before.
  uint32_t SetSpinCount(uint32_t spin_count);

  // Makes the lock new and free. Only for the child of a fork, in which the thread that
  // held the lock no longer exists (or, being the forking thread, has a new thread id, so
  // it could not unlock either); nothing else may be using the lock then.
  void ReinitializeAfterFork();

 private:
  void Initialize();

  pthread_mutex_t mutex_;
  std::atomic<uint32_t> spin_count_;
};

// Holds `lock` from construction to destruction; a null lock is allowed and means no lock.
class FLockGuard {
 public:
  explicit FLockGuard(FCriticalSection* lock) : lock_(lock) {
    if (lock_ != nullptr) lock_->Lock();
  }
  virtual ~FLockGuard() {
    if (lock_ != nullptr) lock_->Unlock();
  }
  FLockGuard(const FLockGuard&) = delete;
  FLockGuard& operator=(const FLockGuard&) = delete;

 private:
  FCriticalSection* const lock_;
};

#endif  // SUPPORT_SYNC_H_
