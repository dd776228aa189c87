// Locks and events shaped like the Windows ones, for code written against that model: the
// critical section (a recursive lock: the owning thread may take it again) with its free
// functions and a scope guard, an interlocked counter, and FEvent, one event of the thread
// layer.
//
// The critical sections and the counter need cv_support only; FEvent is built on the
// thread layer's event functions, so a user of FEvent also links cvsync.
//
// Thread safety: an FCriticalSection may be locked and unlocked from any thread; each
// Unlock must come from the thread that holds the lock. An FLockGuard belongs to the one
// thread that made it. An FEvent may be set, reset and waited on from any thread; Close and
// destruction run when no other thread uses it.
#ifndef SUPPORT_SYNC_H_
#define SUPPORT_SYNC_H_

#include <cstdint>

#include "platform/critical_section.h"
#include "support/thread_layer.h"

namespace support {

// Critical section functions on a section held by value. Initialise, enter and leave need
// a valid section; delete does nothing for null; set spin count gives 0 for null, else the
// spin count before.
void CriticalSectionInitialize(platform::CriticalSection* section);
void CriticalSectionEnter(platform::CriticalSection* section);
void CriticalSectionLeave(platform::CriticalSection* section);
void CriticalSectionDelete(platform::CriticalSection* section);
uint32_t CriticalSectionSetSpinCount(platform::CriticalSection* section, uint32_t spin_count);

// Interlocked increment and decrement of `*value`; each returns the value it made.
int32_t AtomicCounterIncrement(int32_t* value);
int32_t AtomicCounterDecrement(int32_t* value);

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

  // Makes the lock new and free, keeping its spin count. Only for the child of a fork, in
  // which the thread that held the lock no longer exists (or, being the forking thread, has
  // a new thread id, so it could not unlock either); nothing else may be using the lock then.
  void ReinitializeAfterFork();

 private:
  platform::CriticalSection section_;
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

// One event of the thread layer, closed with the object.
class FEvent {
 public:
  // A manual-reset event, not signalled.
  FEvent() : FEvent(/*manual_reset=*/true, /*initially_signalled=*/false) {}
  FEvent(bool manual_reset, bool initially_signalled)
      : event_(EventCreate(manual_reset, initially_signalled)) {}
  ~FEvent() { Close(); }
  FEvent(const FEvent&) = delete;
  FEvent& operator=(const FEvent&) = delete;

  // Closes the event; its handle is null from then on. The close's result (false when
  // already closed).
  bool Close() {
    const bool closed = EventClose(event_);
    event_ = 0;
    return closed;
  }
  // The system's flag; false once closed.
  bool Set() { return EventSet(event_); }
  bool Reset() { return EventReset(event_); }
  // True exactly when the event was signalled within `timeout_ms` (an auto-reset event is
  // reset by it); time-out and failure give false.
  bool Wait(uint32_t timeout_ms) { return EventWait(event_, timeout_ms) == kCvWaitObject0; }
  // Wait with time-out 0: on an auto-reset event this takes the signal.
  bool IsSignalled() { return Wait(0); }

 private:
  uint32_t event_;
};

}  // namespace support

#endif  // SUPPORT_SYNC_H_
