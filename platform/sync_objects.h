// Synchronisation objects and threads of this process, reached through 32-bit handles.
//
// Events (manual or auto reset), mutexes (recursive, owned by a thread), semaphores (with a
// maximum count) and threads keep the Windows meaning the system relies on: a handle is a
// number, never 0 (0 means no handle); an object is signalled or not; a wait ends with 0
// (signalled), 0x80 (a mutex whose owner ended without releasing it), 258 (time-out) or
// 0xFFFFFFFF (failure), and a wait over several handles gives 0 (or 0x80) plus the index
// of the handle that ended it.
//
// A handle has to mean the same thing to every component of the process: an object made by
// one PHP extension is waited on and set by the other, each of which links its own copy of
// the core. So the table lives in one shared library (libcvsync.so), loaded once per
// process and never unloaded, whose threads may outlive the component that started them.
// These handles and those of the named blocks (named_blocks.h) are separate tables.
//
// A process forked from one that held objects starts with an empty table: no handle of the
// parent means anything in the child, and no lock of the table is inherited held.
// Thread-local storage slots are the process's own and survive a fork.
//
// Thread safety: every function may be called from any thread. One lock guards the table;
// a blocked wait does not hold it.
#ifndef PLATFORM_SYNC_OBJECTS_H_
#define PLATFORM_SYNC_OBJECTS_H_

#include <cstddef>
#include <cstdint>

#include "platform/export.h"

inline constexpr uint32_t kCvWaitObject0 = 0;
inline constexpr uint32_t kCvWaitAbandoned0 = 0x80;
inline constexpr uint32_t kCvWaitTimeout = 258;
inline constexpr uint32_t kCvWaitFailed = 0xFFFFFFFF;
// A time-out that never ends.
inline constexpr uint32_t kCvInfinite = 0xFFFFFFFF;
inline constexpr uint32_t kCvMaximumWaitObjects = 64;
// The exit code of a thread that has not ended.
inline constexpr uint32_t kCvStillActive = 259;
// No thread-local storage slot.
inline constexpr uint32_t kCvTlsOutOfIndexes = 0xFFFFFFFF;

// The body of a thread: its result is the thread's exit code.
typedef uint32_t (*CvThreadRoutine)(void* argument);

// An event, signalled or not. Returns its handle, or 0 when memory runs out.
CV_EXPORT uint32_t CvCreateEvent(bool manual_reset, bool initially_signalled);
// Signals the event. A manual-reset event stays signalled, releasing every waiter, until
// reset; an auto-reset event releases one waiter and is reset by that wait. False when
// `event` is not an event of this table.
CV_EXPORT bool CvSetEvent(uint32_t event);
// Makes the event not signalled. False when `event` is not an event of this table.
CV_EXPORT bool CvResetEvent(uint32_t event);

// A mutex, owned by the calling thread when `initially_owned`. A wait on it takes it; the
// owner may take it again and releases it as many times. Returns the handle, or 0.
CV_EXPORT uint32_t CvCreateMutex(bool initially_owned);
// Gives back one hold of the calling thread. False when the caller does not own it or
// `mutex` is not a mutex of this table.
CV_EXPORT bool CvReleaseMutex(uint32_t mutex);

// A semaphore with `initial_count` free of at most `maximum_count`; a wait takes one.
// Returns the handle, or 0 when `maximum_count` is not positive or `initial_count` is out of
// 0 to `maximum_count`.
CV_EXPORT uint32_t CvCreateSemaphore(int32_t initial_count, int32_t maximum_count);
// Adds `count` (positive) to the semaphore; the count before goes to `*previous_count` when
// that is not null. False, the count unchanged, when it would go above the maximum, when
// `count` is not positive or `semaphore` is not a semaphore of this table.
CV_EXPORT bool CvReleaseSemaphore(uint32_t semaphore, int32_t count, int32_t* previous_count);

// Starts `routine(argument)` on a new thread with the default stack size; when `suspended`,
// the routine does not begin before CvResumeThread. The handle is signalled once the
// thread has ended and stays valid until closed, whether the thread runs or not. Returns
// the handle, or 0 with the last error (errors.h) telling why: 164 no more threads, 8 out
// of memory, 87 a null routine.
CV_EXPORT uint32_t CvCreateThread(CvThreadRoutine routine, void* argument, bool suspended);
// Lets a thread created suspended begin. Returns the suspend count before (1 for a thread
// still suspended, 0 otherwise), or 0xFFFFFFFF when `thread` is not a thread of this table.
CV_EXPORT uint32_t CvResumeThread(uint32_t thread);
// Forcible termination. A POSIX thread cannot be stopped from outside without leaving the
// locks it holds taken and its memory in use (cancellation acts only at points the thread
// reaches itself), so this is not done: the result is always false and the thread runs on.
// A thread is ended by asking it to end, through an event it waits on.
CV_EXPORT bool CvTerminateThread(uint32_t thread, uint32_t exit_code);
// The exit code of the thread behind `thread` (259 while it runs) into `*exit_code`. False
// when `thread` is not a thread of this table.
CV_EXPORT bool CvGetExitCodeThread(uint32_t thread, uint32_t* exit_code);
// Ends the calling thread with `exit_code`, unwinding its stack (destructors run). Does not
// return. On the process's first thread the process goes on until its other threads end.
CV_EXPORT __attribute__((noreturn)) void CvExitThread(uint32_t exit_code);

// Waits until the object behind `handle` is signalled (and takes it: an auto-reset event is
// reset, a semaphore's count goes down by one, a mutex becomes the caller's) or
// `milliseconds` pass (0 only tests, kCvInfinite waits without end). Returns 0, 0x80 (a
// mutex taken over from an owner that ended holding it), 258, or 0xFFFFFFFF for a handle
// not in this table.
CV_EXPORT uint32_t CvWaitForSingleObject(uint32_t handle, uint32_t milliseconds);
// Waits for any one of `count` (1 to 64) handles, or for all of them at once when
// `wait_all`. Any: returns 0 (or 0x80) plus the lowest index signalled, taking that object
// only. All: takes every object in one step once all are signalled, none before; returns 0,
// or 0x80 plus the index of an abandoned mutex. 258 on time-out; 0xFFFFFFFF for a count out
// of range, a handle not in this table or, with `wait_all`, a handle given twice.
CV_EXPORT uint32_t CvWaitForMultipleObjects(uint32_t count, const uint32_t* handles,
                                            bool wait_all, uint32_t milliseconds);
// Closes `handle`. The object goes when its last user does (a thread runs on, a wait in
// progress ends normally). False when `handle` is not in this table.
CV_EXPORT bool CvCloseHandle(uint32_t handle);
// How many handles are open in this process (for tests and diagnostics).
CV_EXPORT size_t CvSyncHandleCount();

// A thread-local storage slot, holding null in every thread. Returns its index, or
// kCvTlsOutOfIndexes when none is left.
CV_EXPORT uint32_t CvTlsAlloc();
// Gives the slot back. False for an index not allocated.
CV_EXPORT bool CvTlsFree(uint32_t slot);
// The calling thread's value of the slot; null when this thread never set it or `slot` is
// out of range.
CV_EXPORT void* CvTlsGetValue(uint32_t slot);
// Sets the calling thread's value. False for a slot not allocated.
CV_EXPORT bool CvTlsSetValue(uint32_t slot, void* value);

// Gives the rest of the calling thread's time slice to another ready thread.
CV_EXPORT void CvYieldThread();
// Sleeps `milliseconds` (0 yields; kCvInfinite never returns).
CV_EXPORT void CvSleep(uint32_t milliseconds);
// The kernel id of the calling thread, as in trace lines.
CV_EXPORT uint32_t CvGetCurrentThreadId();

#endif  // PLATFORM_SYNC_OBJECTS_H_
