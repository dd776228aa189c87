// The debug output sink on Windows: the debugger's stream (OutputDebugStringW), which a
// debugger or a viewer of that stream shows.
//
// Thread safety: the system serialises its callers; safe from any thread.
#include "platform/debug_output.h"

#include "platform/win32_windows.h"

namespace platform {

void OutputDebugString(const char* text) {
  if (text == nullptr) return;
  ::OutputDebugStringW(WideText(text).c_str());
}

}  // namespace platform
