// The thread layer over the process's table of handles (see thread_layer.h).
//
// Thread safety: the slot and the initialised flag are written only by initialise and
// shut down. A thread's block is written by its creator before the thread is resumed and
// afterwards reached only by that thread, through its own value of the slot.
#include "support/thread_layer.h"

#include <atomic>
#include <new>

#include "platform/errors.h"
#include "support/trace.h"

namespace support {

namespace {

// Made by the creator, owned and freed by the thread it describes.
struct ThreadBlock {
  uint32_t handle;  // 0 until the thread exists
  LayerThreadRoutine routine;
  void* argument;
  int32_t close_on_exit;  // the thread closes its own handle when it ends
};

std::atomic<uint32_t> g_slot{kCvTlsOutOfIndexes};
std::atomic<bool> g_initialised{false};

// The calling thread's block, or null for a thread the layer did not start.
ThreadBlock* CurrentBlock() {
  const uint32_t slot = g_slot.load(std::memory_order_acquire);
  if (slot == kCvTlsOutOfIndexes) return nullptr;
  return static_cast<ThreadBlock*>(CvTlsGetValue(slot));
}

// Called by the thread the block describes, as it ends.
void ReleaseBlock(ThreadBlock* block) {
  const uint32_t slot = g_slot.load(std::memory_order_acquire);
  if (slot != kCvTlsOutOfIndexes && CvTlsGetValue(slot) == block) CvTlsSetValue(slot, nullptr);
  if (block->handle != 0 && block->close_on_exit != 0) CvCloseHandle(block->handle);
  delete block;
}

void TraceThread(const ThreadBlock& block, bool starting) {
  if (!TraceEnabled) return;
  const unsigned long id = CvGetCurrentThreadId();
  const unsigned long handle = block.handle;
  if (starting) {
    TraceOut("threading", TRACE_INFO, 0, "Thread (id=0x%lX, handle=0x%lX) is starting...\n", id,
             handle);
  } else {
    TraceOut("threading", TRACE_INFO, 0, "Thread (id=0x%lX, handle=0x%lX) is exiting...\n", id,
             handle);
  }
}

uint32_t ThreadEntry(void* argument) {
  auto* block = static_cast<ThreadBlock*>(argument);
  if (block == nullptr) return 0xFFFFFFFF;
  if (!CvTlsSetValue(g_slot.load(std::memory_order_acquire), block)) {
    ReleaseBlock(block);
    return 0xFFFFFFFF;
  }
  TraceThread(*block, true);
  if (block->routine != nullptr) block->routine(block->argument);
  TraceThread(*block, false);
  ReleaseBlock(block);
  return 0;
}

}  // namespace

bool ThreadLayerInitialize() {
  if (g_initialised.load(std::memory_order_acquire)) return true;
  const uint32_t slot = CvTlsAlloc();
  if (slot == kCvTlsOutOfIndexes) return false;
  g_slot.store(slot, std::memory_order_release);
  g_initialised.store(true, std::memory_order_release);
  return true;
}

void ThreadLayerShutdown() {
  g_initialised.store(false, std::memory_order_release);
  const uint32_t slot = g_slot.exchange(kCvTlsOutOfIndexes, std::memory_order_acq_rel);
  if (slot != kCvTlsOutOfIndexes) CvTlsFree(slot);
}

uint32_t ThreadLayerTlsSlot() { return g_slot.load(std::memory_order_acquire); }

uint32_t ThreadCreate(LayerThreadRoutine routine, void* argument, bool close_on_exit) {
  if (!g_initialised.load(std::memory_order_acquire)) return 0;
  auto* block = new (std::nothrow) ThreadBlock{0, routine, argument, close_on_exit ? 1 : 0};
  if (block == nullptr) return 0;
  const uint32_t thread = CvCreateThread(ThreadEntry, block, /*suspended=*/true);
  if (thread == 0) {
    const uint32_t error = platform::GetLastError();
    delete block;
    platform::SetLastError(error);
    return 0;
  }
  block->handle = thread;
  if (CvResumeThread(thread) == 0xFFFFFFFF) {
    // The thread never ran and never will: its block is still the creator's.
    CvCloseHandle(thread);
    delete block;
    return 0;
  }
  return thread;
}

uint32_t ThreadJoin(uint32_t thread) {
  if (thread == 0) return kCvWaitFailed;
  const uint32_t result = CvWaitForSingleObject(thread, kCvInfinite);
  CvCloseHandle(thread);
  return result;
}

void ThreadExitCurrent() {
  if (ThreadBlock* block = CurrentBlock()) ReleaseBlock(block);
  CvExitThread(0);
}

bool ThreadTerminate(uint32_t thread, uint32_t exit_code) {
  return CvTerminateThread(thread, exit_code);
}

void ThreadYield() { CvYieldThread(); }

void ThreadSleep(uint32_t milliseconds) { CvSleep(milliseconds); }

uint32_t ThreadCurrentHandle() {
  const ThreadBlock* block = CurrentBlock();
  return block == nullptr ? 0 : block->handle;
}

uint32_t EventCreate(bool manual_reset, bool initially_signalled) {
  return CvCreateEvent(manual_reset, initially_signalled);
}

bool EventSet(uint32_t event) { return CvSetEvent(event); }

bool EventReset(uint32_t event) { return CvResetEvent(event); }

bool EventClose(uint32_t event) { return CvCloseHandle(event); }

uint32_t EventWait(uint32_t event, uint32_t timeout_ms) {
  return CvWaitForSingleObject(event, timeout_ms);
}

EventGroup* EventGroupCreate(int32_t count, bool manual_reset, bool initially_signalled) {
  if (count < 0) return nullptr;
  auto* events = new (std::nothrow) uint32_t[count];
  if (events == nullptr) return nullptr;
  auto* group = new (std::nothrow) EventGroup{count, events};
  if (group == nullptr) {
    delete[] events;
    return nullptr;
  }
  for (int32_t i = 0; i < count; ++i) events[i] = EventCreate(manual_reset, initially_signalled);
  return group;
}

uint32_t EventGroupWait(const EventGroup* group, bool wait_all, uint32_t timeout_ms) {
  if (group == nullptr) return kCvWaitFailed;
  return CvWaitForMultipleObjects(static_cast<uint32_t>(group->count), group->events, wait_all,
                                  timeout_ms);
}

uint32_t EventGroupWaitOne(const EventGroup* group, int32_t index, uint32_t timeout_ms) {
  if (group == nullptr) return kCvWaitFailed;
  if (index < 0 || index >= group->count) return kCvWaitTimeout;
  return EventWait(group->events[index], timeout_ms);
}

bool EventGroupSetOne(EventGroup* group, int32_t index) {
  if (group == nullptr || index < 0 || index >= group->count) return false;
  return EventSet(group->events[index]);
}

bool EventGroupResetOne(EventGroup* group, int32_t index) {
  if (group == nullptr || index < 0 || index >= group->count) return false;
  return EventReset(group->events[index]);
}

bool EventGroupDestroy(EventGroup* group) {
  if (group == nullptr) return false;
  for (int32_t i = 0; i < group->count; ++i) EventClose(group->events[i]);
  delete[] group->events;
  delete group;
  return true;
}

uint32_t MutexCreate(bool initially_owned) { return CvCreateMutex(initially_owned); }

uint32_t MutexWait(uint32_t mutex, uint32_t timeout_ms) {
  return mutex == 0 ? kCvWaitFailed : CvWaitForSingleObject(mutex, timeout_ms);
}

bool MutexTryLock(uint32_t mutex) {
  return mutex != 0 && CvWaitForSingleObject(mutex, 0) == kCvWaitObject0;
}

bool MutexRelease(uint32_t mutex) { return mutex != 0 && CvReleaseMutex(mutex); }

bool MutexClose(uint32_t mutex) { return mutex != 0 && CvCloseHandle(mutex); }

uint32_t SemaphoreCreate(int32_t initial_count) {
  return CvCreateSemaphore(initial_count, kSemaphoreMaximumCount);
}

uint32_t SemaphoreWait(uint32_t semaphore, uint32_t timeout_ms) {
  return semaphore == 0 ? kCvWaitFailed : CvWaitForSingleObject(semaphore, timeout_ms);
}

bool SemaphoreTryWait(uint32_t semaphore) {
  return semaphore != 0 && CvWaitForSingleObject(semaphore, 0) == kCvWaitObject0;
}

bool SemaphoreRelease(uint32_t semaphore, int32_t count) {
  return semaphore != 0 && CvReleaseSemaphore(semaphore, count, nullptr);
}

bool SemaphoreClose(uint32_t semaphore) { return semaphore != 0 && CvCloseHandle(semaphore); }

}  // namespace support
