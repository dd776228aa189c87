// A reader-writer lock for a structure that is read far more often than it is changed:
// the catalogue, which every getter call reads and only setters, rebuilds, commits and
// reloads change.
//
// Readers pay no atomic read-modify-write and no fence. Each reading thread has a slot of
// its own in the lock (a cache line); it enters by storing 1 there and then looking at the
// writer flag, and leaves by storing 0. A store followed by a load of another location may
// be reordered by the processor, so the writer does the ordering for both sides: it sets
// the flag, then has the system run a memory barrier on every running thread of the
// process (FlushProcessWriteBuffers), and only then looks at the slots. After that either
// the writer sees a reader's 1 and waits for its 0, or the reader sees the flag and steps
// back. A reader that finds the flag set leaves its slot and sleeps on the flag until the
// writer is done.
//
// Where the system offers no such barrier, and for threads beyond the slots, readers count
// themselves in one shared counter with sequentially consistent operations instead.
//
// Writers are rare and exclude one another with a mutex; a waiting writer yields rather
// than sleeps, because readers hold the lock only for a lookup and a copy.
//
// Shaped as a SharedMutex for std::shared_lock and std::unique_lock. Not recursive: a
// thread holding either side must not take the lock again.
#ifndef SETTINGS_READ_MOSTLY_LOCK_H_
#define SETTINGS_READ_MOSTLY_LOCK_H_

#include <atomic>
#include <cstdint>
#include <mutex>

namespace settings {

class ReadMostlyLock {
 public:
  static constexpr uint32_t kSlots = 64;

  ReadMostlyLock();
  ReadMostlyLock(const ReadMostlyLock&) = delete;
  ReadMostlyLock& operator=(const ReadMostlyLock&) = delete;

  void lock_shared() {
    const uint32_t slot = ThreadSlot();
    if (slot < kSlots) [[likely]] {
      slots_[slot].inside.store(1, std::memory_order_relaxed);
      std::atomic_signal_fence(std::memory_order_seq_cst);  // the writer's barrier orders it
      if (writer_.load(std::memory_order_acquire) == 0) [[likely]] return;
    }
    LockSharedSlowly(slot);
  }

  void unlock_shared() {
    const uint32_t slot = ThreadSlot();
    if (slot < kSlots) [[likely]] {
      slots_[slot].inside.store(0, std::memory_order_release);
    } else {
      shared_.fetch_sub(1, std::memory_order_seq_cst);
    }
  }

  void lock();
  void unlock();

  // Whether readers take the fence-free way in this process.
  static bool Asymmetric();

 private:
  // The calling thread's slot, or kSlots when it reads through the shared counter.
  static uint32_t ThreadSlot() {
    if (thread_slot_ == kUnassigned) [[unlikely]] AssignThreadSlot();
    return thread_slot_;
  }
  static void AssignThreadSlot();
  void LockSharedSlowly(uint32_t slot);
  void WaitForWriter();

  static constexpr uint32_t kUnassigned = ~0u;
  // Defined once, in the core library (the shells' inlined readers use the same one);
  // constant-initialised, so no access needs a wrapper call.
  static constinit thread_local uint32_t thread_slot_ __attribute__((tls_model("initial-exec")));

  struct alignas(64) Slot {
    std::atomic<uint32_t> inside{0};
  };
  Slot slots_[kSlots];
  alignas(64) std::atomic<uint32_t> writer_{0};
  std::atomic<uint32_t> shared_{0};  // readers inside by way of the counter
  std::mutex writers_;
};

}  // namespace settings

#endif  // SETTINGS_READ_MOSTLY_LOCK_H_
