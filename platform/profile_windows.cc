// Private profile (ini) files read by the system, GetPrivateProfileStringW, with the two
// rules of the port's contract (profile.h) that the system does not have made good here;
// the text goes through UTF-16 both ways.
//
// Thread safety: no state; the system reads the file anew at every call. Safe from any thread.
#include "platform/profile.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "platform/win32_windows.h"

namespace platform {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

uint32_t CopyOut(const std::string& text, char* buffer, uint32_t size) {
  const size_t count = std::min<size_t>(text.size(), size - 1);
  std::memcpy(buffer, text.data(), count);
  buffer[count] = '\0';
  return static_cast<uint32_t>(count);
}

// The system's value of `key`, read whole: the buffer grows while the system fills it to
// the brim.
std::wstring Ask(const wchar_t* section, const wchar_t* key, const wchar_t* default_value,
                 const wchar_t* file) {
  std::vector<wchar_t> value(256);
  for (;;) {
    const DWORD length = ::GetPrivateProfileStringW(section, key, default_value, value.data(),
                                                    static_cast<DWORD>(value.size()), file);
    if (length + 2 < value.size() || value.size() >= (1u << 20)) {
      return std::wstring(value.data(), length);
    }
    value.resize(value.size() * 2);
  }
}

// The lines of `section` as the system gives them, each terminated: "key=value", or the
// key alone for a line without '='.
std::wstring Section(const wchar_t* section, const wchar_t* file) {
  std::vector<wchar_t> lines(1024);
  for (;;) {
    const DWORD length = ::GetPrivateProfileSectionW(section, lines.data(),
                                                     static_cast<DWORD>(lines.size()), file);
    if (length + 2 < lines.size() || lines.size() >= (1u << 20)) {
      return std::wstring(lines.data(), length);
    }
    lines.resize(lines.size() * 2);
  }
}

bool SameKey(std::wstring_view a, std::wstring_view b) {
  return a.size() == b.size() &&
         ::CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

std::wstring_view TrimWide(std::wstring_view text) {
  while (!text.empty() && (text.front() == L' ' || text.front() == L'\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == L' ' || text.back() == L'\t')) text.remove_suffix(1);
  return text;
}

}  // namespace

uint32_t GetPrivateProfileString(const char* section, const char* key, const char* default_value,
                                 char* buffer, uint32_t size, const char* file) {
  if (buffer == nullptr || size == 0) return 0;
  std::string fallback = default_value != nullptr ? default_value : "";
  while (!fallback.empty() && IsBlank(fallback.back())) fallback.pop_back();
  if (section == nullptr || key == nullptr || file == nullptr) return CopyOut(fallback, buffer, size);

  // The value is read whole and cut on its UTF-8 form (a character may take several UTF-16
  // units). The system knows no comments, so a key that is one is never looked up; and it
  // gives the default for a line without '=', which the section's lines still hold: such a
  // key has the empty value.
  const std::wstring wide_section = WideText(section), wide_key = WideText(key);
  const std::wstring wide_file = WideText(file), wide_default = WideText(fallback);
  const std::wstring_view trimmed_key = TrimWide(wide_key);
  if (!trimmed_key.empty() && trimmed_key.front() == L';') return CopyOut(fallback, buffer, size);
  std::wstring value = Ask(wide_section.c_str(), wide_key.c_str(), wide_default.c_str(),
                           wide_file.c_str());
  if (value == wide_default) {
    // The default, or a value equal to it: asked again with a default no value can be.
    constexpr const wchar_t* kAbsent = L"\x01";
    value = Ask(wide_section.c_str(), wide_key.c_str(), kAbsent, wide_file.c_str());
    if (value == kAbsent) {
      const std::wstring lines = Section(wide_section.c_str(), wide_file.c_str());
      bool bare = false;
      for (size_t start = 0; start < lines.size() && !bare;) {
        const size_t end = std::min(lines.find(L'\0', start), lines.size());
        const std::wstring_view line = std::wstring_view(lines).substr(start, end - start);
        bare = line.find(L'=') == std::wstring_view::npos && SameKey(TrimWide(line), trimmed_key);
        start = end + 1;
      }
      value = bare ? std::wstring() : wide_default;
    }
  }
  return CopyOut(NarrowText(value), buffer, size);
}

}  // namespace platform
