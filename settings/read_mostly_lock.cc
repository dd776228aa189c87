#include "settings/read_mostly_lock.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "platform/address_wait.h"
#include "platform/memory_barrier.h"

namespace settings {

namespace {

std::atomic<uint32_t> g_next_slot{0};

// Waits a little, more politely the longer the wait.
void Backoff(unsigned* round) {
  if (++*round < 64) {
    std::this_thread::yield();
  } else {
    std::this_thread::sleep_for(std::chrono::microseconds(50));
  }
}

}  // namespace

constinit thread_local uint32_t ReadMostlyLock::thread_slot_ = kUnassigned;

bool ReadMostlyLock::Asymmetric() { return platform::CanFlushProcessWriteBuffers(); }

ReadMostlyLock::ReadMostlyLock() { Asymmetric(); }

void ReadMostlyLock::AssignThreadSlot() {
  // Slots are not given back when a thread ends: a process that starts more than kSlots
  // reading threads in its life reads through the shared counter in the later ones.
  uint32_t slot = kSlots;
  if (Asymmetric()) {
    slot = g_next_slot.fetch_add(1, std::memory_order_relaxed);
    if (slot >= kSlots) {
      g_next_slot.store(kSlots, std::memory_order_relaxed);
      slot = kSlots;
    }
  }
  thread_slot_ = slot;
}

void ReadMostlyLock::LockSharedSlowly(uint32_t slot) {
  for (;;) {
    if (slot < kSlots) {
      slots_[slot].inside.store(0, std::memory_order_release);  // the writer need not wait
      WaitForWriter();
      slots_[slot].inside.store(1, std::memory_order_relaxed);
      std::atomic_signal_fence(std::memory_order_seq_cst);
    } else {
      // Counted only once no writer is in sight: readers that count themselves while a
      // writer waits for the count to reach 0 can keep it from ever seeing 0.
      WaitForWriter();
      shared_.fetch_add(1, std::memory_order_seq_cst);
    }
    if (writer_.load(std::memory_order_seq_cst) == 0) return;
    if (slot >= kSlots) shared_.fetch_sub(1, std::memory_order_seq_cst);
  }
}

void ReadMostlyLock::WaitForWriter() {
  uint32_t writer = writer_.load(std::memory_order_acquire);
  while (writer != 0) {
    platform::WaitWhileEqual(&writer_, writer);
    writer = writer_.load(std::memory_order_acquire);
  }
}

void ReadMostlyLock::lock() {
  writers_.lock();
  writer_.store(1, std::memory_order_seq_cst);
  // Readers on the fence-free way depend on this barrier: it cannot be skipped.
  if (Asymmetric()) platform::FlushProcessWriteBuffers();
  const uint32_t used = std::min(g_next_slot.load(std::memory_order_acquire), kSlots);
  for (uint32_t slot = 0; slot < used; ++slot) {
    for (unsigned round = 0; slots_[slot].inside.load(std::memory_order_acquire) != 0;) {
      Backoff(&round);
    }
  }
  for (unsigned round = 0; shared_.load(std::memory_order_seq_cst) != 0;) Backoff(&round);
}

void ReadMostlyLock::unlock() {
  writer_.store(0, std::memory_order_release);
  platform::WakeAllWaiting(&writer_);
  writers_.unlock();
}

}  // namespace settings
