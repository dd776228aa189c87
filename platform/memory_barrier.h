// A memory barrier run on every thread of the process at once, for locks whose readers pay
// no fence of their own and leave the ordering to the rare writer (the catalogue's
// reader-writer lock).
//
// Thread safety: both functions may be called from any thread.
#ifndef PLATFORM_MEMORY_BARRIER_H_
#define PLATFORM_MEMORY_BARRIER_H_

namespace platform {

// Whether FlushProcessWriteBuffers works in this process. The first call makes it ready
// (a forked child inherits that); the answer never changes afterwards.
bool CanFlushProcessWriteBuffers();

// FlushProcessWriteBuffers: returns once every running thread of the process has passed a
// full memory barrier. Only where CanFlushProcessWriteBuffers said so: the lock that relies
// on it would no longer exclude, so a barrier that fails stops the process.
void FlushProcessWriteBuffers();

}  // namespace platform

#endif  // PLATFORM_MEMORY_BARRIER_H_
