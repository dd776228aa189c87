// Owners of the thread layer's raw handles: an event handle closed with its owner, and a
// thread handle joined with its owner. Move-only; Release hands the handle over (or, on
// purpose, leaves it open: a thread that would not stop may still use what it was given).
//
// Thread safety: an owner belongs to one thread at a time; the handles it holds may be used
// from any thread, as the thread layer allows.
#ifndef SUPPORT_LAYER_HANDLES_H_
#define SUPPORT_LAYER_HANDLES_H_

#include <cstdint>
#include <utility>

#include "support/thread_layer.h"

namespace support {

// Closes an event handle of the thread layer.
class EventHandle {
 public:
  EventHandle() = default;
  explicit EventHandle(uint32_t handle) : handle_(handle) {}
  ~EventHandle() { Close(); }
  EventHandle(EventHandle&& other) noexcept : handle_(other.Release()) {}
  EventHandle& operator=(EventHandle&& other) noexcept {
    if (this != &other) {
      Close();
      handle_ = other.Release();
    }
    return *this;
  }

  // The handle, 0 when none; it stays owned.
  uint32_t get() const { return handle_; }
  uint32_t Release() { return std::exchange(handle_, 0); }
  void Close() {
    if (handle_ != 0) EventClose(Release());
  }

 private:
  uint32_t handle_ = 0;
};

// Joins a thread of the thread layer (started with close-on-exit off). The thread must have
// been told to end before its owner goes, or the owner waits for it.
class ThreadHandle {
 public:
  ThreadHandle() = default;
  explicit ThreadHandle(uint32_t handle) : handle_(handle) {}
  ~ThreadHandle() { Join(); }
  ThreadHandle(ThreadHandle&& other) noexcept : handle_(other.Release()) {}
  ThreadHandle& operator=(ThreadHandle&& other) noexcept {
    if (this != &other) {
      Join();
      handle_ = other.Release();
    }
    return *this;
  }

  uint32_t get() const { return handle_; }
  uint32_t Release() { return std::exchange(handle_, 0); }
  // Waits for the thread to end and closes its handle; nothing when none is held.
  void Join() {
    if (handle_ != 0) ThreadJoin(Release());
  }

 private:
  uint32_t handle_ = 0;
};

}  // namespace support

#endif  // SUPPORT_LAYER_HANDLES_H_
