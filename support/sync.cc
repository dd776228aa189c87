// The critical section functions and FCriticalSection over the platform's critical
// section, and the interlocked counter.
//
// Thread safety: see sync.h.
#include "support/sync.h"

#include <atomic>

namespace support {

void CriticalSectionInitialize(platform::CriticalSection* section) {
  platform::InitializeCriticalSection(section);
}

void CriticalSectionEnter(platform::CriticalSection* section) {
  platform::EnterCriticalSection(section);
}

void CriticalSectionLeave(platform::CriticalSection* section) {
  platform::LeaveCriticalSection(section);
}

void CriticalSectionDelete(platform::CriticalSection* section) {
  if (section != nullptr) platform::DeleteCriticalSection(section);
}

uint32_t CriticalSectionSetSpinCount(platform::CriticalSection* section, uint32_t spin_count) {
  return section == nullptr ? 0 : platform::SetCriticalSectionSpinCount(section, spin_count);
}

int32_t AtomicCounterIncrement(int32_t* value) {
  return std::atomic_ref<int32_t>(*value).fetch_add(1) + 1;
}

int32_t AtomicCounterDecrement(int32_t* value) {
  return std::atomic_ref<int32_t>(*value).fetch_sub(1) - 1;
}

FCriticalSection::FCriticalSection(uint32_t spin_count) {
  CriticalSectionInitialize(&section_);
  CriticalSectionSetSpinCount(&section_, spin_count);
}

FCriticalSection::~FCriticalSection() { CriticalSectionDelete(&section_); }

void FCriticalSection::Lock() { CriticalSectionEnter(&section_); }

void FCriticalSection::Unlock() { CriticalSectionLeave(&section_); }

uint32_t FCriticalSection::SetSpinCount(uint32_t spin_count) {
  return CriticalSectionSetSpinCount(&section_, spin_count);
}

void FCriticalSection::ReinitializeAfterFork() {
  const uint32_t spin_count = CriticalSectionSetSpinCount(&section_, 0);
  CriticalSectionInitialize(&section_);
  CriticalSectionSetSpinCount(&section_, spin_count);
}

}  // namespace support
