// Machine facts from the system, and whether the system is Wine.
//
// Thread safety: no state of its own but the answer about Wine, made once.
#include "platform/system_info.h"

#include "platform/win32_windows.h"

namespace platform {

void GetSystemInfo(SystemInfo* info) {
  SYSTEM_INFO system{};
  ::GetSystemInfo(&system);
  info->number_of_processors = system.dwNumberOfProcessors > 0 ? system.dwNumberOfProcessors : 1;
}

bool RunningUnderWine() {
  static const bool wine = [] {
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
  }();
  return wine;
}

}  // namespace platform
