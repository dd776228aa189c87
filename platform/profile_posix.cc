// Private profile (ini) files read with the Windows rules: a file of "[section]" headers
// and "key=value" lines, looked up by section and key without regard to case.
//
// Thread safety: no state; every call reads the file anew. Safe from any thread.
#include "platform/profile.h"

#include <strings.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

namespace platform {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// Copies at most `size` - 1 characters of `text` and a terminator; returns the count.
uint32_t CopyOut(std::string_view text, char* buffer, uint32_t size) {
  size_t count = std::min<size_t>(text.size(), size - 1);
  std::copy_n(text.data(), count, buffer);
  buffer[count] = '\0';
  return static_cast<uint32_t>(count);
}

// Finds the value of `key` in the first `section` of `contents`. False when the section or
// the key is missing. A line without '=' is a key with an empty value, as Windows lists it.
// A later section of the same name is not searched: the first occurrence wins.
bool FindValue(std::string_view contents, std::string_view section, std::string_view key,
               std::string_view* value) {
  bool in_section = false;
  bool section_seen = false;
  while (!contents.empty()) {
    size_t end = contents.find('\n');
    std::string_view line = contents.substr(0, end);
    contents.remove_prefix(end == std::string_view::npos ? contents.size() : end + 1);

    line = Trim(line);  // also drops the '\r' of CRLF files
    if (line.empty() || line.front() == ';') continue;
    if (line.front() == '[') {
      if (section_seen) return false;
      // A header without ']' names everything after '['; its keys then belong to it rather
      // than to the section above.
      size_t close = line.find(']');
      std::string_view name = Trim(
          line.substr(1, close == std::string_view::npos ? std::string_view::npos : close - 1));
      in_section = EqualsIgnoringCase(name, section);
      section_seen = in_section;
      continue;
    }
    if (!in_section) continue;
    size_t equals = line.find('=');
    if (!EqualsIgnoringCase(Trim(line.substr(0, equals)), key)) continue;
    *value = equals == std::string_view::npos ? std::string_view() : Trim(line.substr(equals + 1));
    return true;
  }
  return false;
}

// Reads the whole file. False when it cannot be read (also when it is too large to hold,
// which is reported rather than thrown: callers then get their default).
bool ReadFile(const char* path, std::string* contents) {
  try {
    std::ifstream stream(path, std::ios::binary);
    if (!stream) return false;
    contents->assign(std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>());
    return !stream.bad();
  } catch (...) {
    return false;
  }
}

}  // namespace

uint32_t GetPrivateProfileString(const char* section, const char* key, const char* default_value,
                                 char* buffer, uint32_t size, const char* file) {
  if (buffer == nullptr || size == 0) return 0;

  if (section != nullptr && key != nullptr && file != nullptr) {
    std::string contents;
    if (ReadFile(file, &contents)) {
      std::string_view text(contents);
      if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);  // UTF-8 byte order mark
      std::string_view value;
      if (FindValue(text, Trim(section), Trim(key), &value)) {
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
            value.back() == value.front()) {
          value = value.substr(1, value.size() - 2);
        }
        return CopyOut(value, buffer, size);
      }
    }
  }

  std::string_view fallback = default_value != nullptr ? default_value : "";
  while (!fallback.empty() && IsBlank(fallback.back())) fallback.remove_suffix(1);
  return CopyOut(fallback, buffer, size);
}

}  // namespace platform
