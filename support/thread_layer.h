// The thread layer and the synchronisation functions on raw handles: worker threads that
// carry a block of their own in a thread-local storage slot and trace their start and end,
// plain events, event groups, mutexes and semaphores. Handles are those of the process's
// one table (platform/sync_objects.h), so a handle made by one component of the process
// means the same to every other. Wait results are 0 (signalled), 0x80 (abandoned mutex),
// 258 (time-out) and 0xFFFFFFFF (failure); kCvInfinite waits without end.
//
// Nothing here throws or writes trace lines, except the start and end lines of a layer
// thread; failure shows only in the result.
//
// Thread safety: ThreadLayerInitialize and ThreadLayerShutdown run while no other thread
// uses the layer (the component that starts the mail store parser calls them); every other
// function may be called from any thread.
//
// Part of cv_support; a user of these functions also links cvsync (libcvsync.so).
#ifndef SUPPORT_THREAD_LAYER_H_
#define SUPPORT_THREAD_LAYER_H_

#include <cstdint>

#include "platform/sync_objects.h"

namespace support {

// The body of a layer thread.
using LayerThreadRoutine = void (*)(void* argument);

// Makes the layer ready: allocates its thread-local storage slot. True when ready (at once
// when already initialised, with the slot it holds); false when no slot is left, the layer
// then still uninitialised.
bool ThreadLayerInitialize();
// Marks the layer uninitialised and frees its slot. Threads still running keep going, but
// their blocks are no longer reachable through the slot.
void ThreadLayerShutdown();
// The slot the layer holds, kCvTlsOutOfIndexes when none (for tests and diagnostics).
uint32_t ThreadLayerTlsSlot();

// Starts `routine(argument)` on a new thread and returns its handle, or 0: at once when the
// layer is not initialised or memory runs out, else when the thread cannot start (the last
// error, platform/errors.h, says why). The thread is started suspended and runs only once
// its handle is in its block, so ThreadCurrentHandle in it gives that handle. With
// `close_on_exit` the thread closes its own handle when it ends, so the caller must not use
// it after that; a caller that wants to wait for the thread passes false and calls
// ThreadJoin.
uint32_t ThreadCreate(LayerThreadRoutine routine, void* argument, bool close_on_exit);
// Waits without time-out for `thread` to end, closes its handle and returns the wait's
// result (0); 0xFFFFFFFF for a null handle or one not open.
uint32_t ThreadJoin(uint32_t thread);
// Ends the calling thread with exit code 0, releasing its block first when it is a layer
// thread (closing its handle if close-on-exit). Its stack is unwound; does not return.
[[noreturn]] void ThreadExitCurrent();
// Forcible termination cannot be done safely with POSIX threads: always false, the thread
// runs on (see CvTerminateThread). End a thread through an event it waits on.
bool ThreadTerminate(uint32_t thread, uint32_t exit_code);
// Gives the rest of the time slice to another ready thread.
void ThreadYield();
// Sleeps `milliseconds`.
void ThreadSleep(uint32_t milliseconds);
// The handle of the calling thread, stored in its block; 0 when the layer did not start it.
uint32_t ThreadCurrentHandle();

// An unnamed event; its handle, or 0 on failure.
uint32_t EventCreate(bool manual_reset, bool initially_signalled);
// Set, reset, close: the system's success flag (false for a handle not open).
bool EventSet(uint32_t event);
bool EventReset(uint32_t event);
bool EventClose(uint32_t event);
// The wait's result, unchanged.
uint32_t EventWait(uint32_t event, uint32_t timeout_ms);

// An event set: `count` events, each in its own slot of `events`; made and destroyed only
// by the functions below, which own both allocations.
struct EventGroup {
  int32_t count;
  uint32_t* events;
};
// `count` events with the same two flags; null when `count` is negative or memory runs out.
// An event that cannot be made leaves 0 in its slot (a wait over the set then fails).
EventGroup* EventGroupCreate(int32_t count, bool manual_reset, bool initially_signalled);
// Waits for any one event of `group` (result 0 plus its index) or for all; 0xFFFFFFFF for a
// null group or more than 64 events.
uint32_t EventGroupWait(const EventGroup* group, bool wait_all, uint32_t timeout_ms);
// Waits for event `index`. An index outside 0 to count - 1 gives 258 at once, without
// waiting; a null group 0xFFFFFFFF.
uint32_t EventGroupWaitOne(const EventGroup* group, int32_t index, uint32_t timeout_ms);
// Set or reset event `index`: false for a null group or an index outside 0 to count - 1
// (nothing touched), else the system's flag.
bool EventGroupSetOne(EventGroup* group, int32_t index);
bool EventGroupResetOne(EventGroup* group, int32_t index);
// Closes every event of `group` and frees it. False for null.
bool EventGroupDestroy(EventGroup* group);

// An unnamed mutex, owned by the caller when `initially_owned`; its handle or 0. A thread
// may take a mutex it owns again, and releases it as many times.
uint32_t MutexCreate(bool initially_owned);
// The wait's result; 0xFFFFFFFF for a null handle.
uint32_t MutexWait(uint32_t mutex, uint32_t timeout_ms);
// True exactly when a wait with time-out 0 gives 0 (an abandoned mutex is then taken but
// the result is false); false for a null handle.
bool MutexTryLock(uint32_t mutex);
// Release and close: false for a null handle, else the system's flag (a release by a
// thread that does not own the mutex fails).
bool MutexRelease(uint32_t mutex);
bool MutexClose(uint32_t mutex);

// The most a semaphore of the layer can count.
inline constexpr int32_t kSemaphoreMaximumCount = 0x7FFFFFF;
// An unnamed semaphore holding `initial_count` (0 to kSemaphoreMaximumCount); its handle,
// or 0.
uint32_t SemaphoreCreate(int32_t initial_count);
// The wait's result (takes one); 0xFFFFFFFF for a null handle.
uint32_t SemaphoreWait(uint32_t semaphore, uint32_t timeout_ms);
// True exactly when a wait with time-out 0 gives 0; false for a null handle.
bool SemaphoreTryWait(uint32_t semaphore);
// Adds `count`: false for a null handle, a count that is not positive or one that would
// take the semaphore above kSemaphoreMaximumCount (the count then unchanged).
bool SemaphoreRelease(uint32_t semaphore, int32_t count);
// False for a null handle, else the system's flag.
bool SemaphoreClose(uint32_t semaphore);

}  // namespace support

#endif  // SUPPORT_THREAD_LAYER_H_
