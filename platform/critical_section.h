// The critical section: a lock held by one thread at a time, which the holding thread may
// take again (it is released when every Enter has had its Leave), held by value in the
// object it guards. Before it sleeps on a busy section, Enter tries again as many times as
// the spin count says.
//
// A critical section is the process's own memory: nothing names it, and a forked child
// that needs one held at the fork re-initialises it.
//
// Thread safety: any thread may enter; only the holder leaves. Initialize and Delete run
// while no other thread uses the section.
#ifndef PLATFORM_CRITICAL_SECTION_H_
#define PLATFORM_CRITICAL_SECTION_H_

#include <atomic>
#include <cstdint>

namespace platform {

struct CriticalSection {
  // The system's own lock, held in place: a recursive pthread mutex (40 bytes on 64-bit
  // Linux) or a CRITICAL_SECTION (24 bytes on 32-bit Windows). Each implementation checks
  // that its lock fits.
  alignas(8) unsigned char lock[40];
  std::atomic<uint32_t> spin_count;
};

// Makes `section` new and free, with spin count 0. It cannot fail: a lock that could not be
// made would leave what it guards unguarded, so the process stops instead.
void InitializeCriticalSection(CriticalSection* section);
// Waits until `section` is free or held by the caller, then takes it once more.
void EnterCriticalSection(CriticalSection* section);
// Gives back one Enter of the caller.
void LeaveCriticalSection(CriticalSection* section);
// Ends `section`, which nobody may hold.
void DeleteCriticalSection(CriticalSection* section);
// Sets the spin count of `section`; returns the one before.
uint32_t SetCriticalSectionSpinCount(CriticalSection* section, uint32_t spin_count);

}  // namespace platform

#endif  // PLATFORM_CRITICAL_SECTION_H_
