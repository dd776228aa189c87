// The critical section over Windows' own (see critical_section.h): recursive, with the spin
// count the system keeps itself.
#include "platform/critical_section.h"

#include "platform/win32_windows.h"


namespace platform {

namespace {

static_assert(sizeof(CRITICAL_SECTION) <= sizeof(CriticalSection::lock) &&
              alignof(CRITICAL_SECTION) <= alignof(CriticalSection));

CRITICAL_SECTION* Section(CriticalSection* section) {
  return reinterpret_cast<CRITICAL_SECTION*>(section->lock);
}

}  // namespace

// Windows' own cannot fail since Vista: it makes its wait event when first contended.
void InitializeCriticalSection(CriticalSection* section) {
  section->spin_count.store(0, std::memory_order_relaxed);
  ::InitializeCriticalSectionAndSpinCount(Section(section), 0);
}

void EnterCriticalSection(CriticalSection* section) { ::EnterCriticalSection(Section(section)); }

void LeaveCriticalSection(CriticalSection* section) { ::LeaveCriticalSection(Section(section)); }

void DeleteCriticalSection(CriticalSection* section) { ::DeleteCriticalSection(Section(section)); }

// The count is kept in both places: Windows spins by its own, and the field answers the
// next call as it does elsewhere.
uint32_t SetCriticalSectionSpinCount(CriticalSection* section, uint32_t spin_count) {
  ::SetCriticalSectionSpinCount(Section(section), spin_count);
  return section->spin_count.exchange(spin_count, std::memory_order_relaxed);
}

}  // namespace platform
