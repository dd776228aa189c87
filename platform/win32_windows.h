// <windows.h> for the Windows port's own files, and nothing else includes it: its macros
// would rename the port's functions (LoadLibrary, CreateFile, GetModuleFileName,
// GetModuleHandleEx, GetComputerName, OutputDebugString, GetPrivateProfileString,
// SecureZeroMemory) into their narrow forms, so they are undone here and the port calls the
// wide forms by name. Inside namespace platform an unqualified GetLastError is the port's
// own: the system's is ::GetLastError.
//
// Thread safety: conversions only.
#ifndef PLATFORM_WIN32_WINDOWS_H_
#define PLATFORM_WIN32_WINDOWS_H_

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#undef LoadLibrary
#undef CreateFile
#undef GetModuleFileName
#undef GetModuleHandleEx
#undef GetComputerName
#undef OutputDebugString
#undef GetPrivateProfileString
#undef SecureZeroMemory

#include <string>
#include <string_view>

#include "platform/unicode.h"

namespace platform {

// UTF-8 text of the port's interface as the wide text of the system's calls, and back
// (wchar_t is UTF-16 on Windows).
inline std::wstring WideText(std::string_view text) {
  const std::u16string wide = Utf8ToUtf16(text);
  return std::wstring(wide.begin(), wide.end());
}
inline std::string NarrowText(std::wstring_view text) {
  return Utf16ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(text.data()), text.size()));
}

}  // namespace platform

#endif  // PLATFORM_WIN32_WINDOWS_H_
