// Private profile (ini) files, read with the Windows rules.
//
// Thread safety: reads the file anew at every call; safe from any thread.
#ifndef PLATFORM_PROFILE_H_
#define PLATFORM_PROFILE_H_

#include <cstdint>

namespace platform {

// GetPrivateProfileString for one key: finds `key` in `section` of `file` (section and key
// names compared without regard to case, surrounding blanks ignored, the first occurrence
// wins) and copies its value, trimmed of surrounding blanks and of one pair of matching
// surrounding quotes, into `buffer` of `size` characters. When the file, the section or the
// key is missing, `default_value` (null means empty; trailing blanks removed) is copied
// instead. A value longer than `size` - 1 is cut to `size` - 1 characters. The buffer is
// always terminated when `size` > 0. Returns the number of characters copied, without the
// terminator.
uint32_t GetPrivateProfileString(const char* section, const char* key, const char* default_value,
                                 char* buffer, uint32_t size, const char* file);

}  // namespace platform

#endif  // PLATFORM_PROFILE_H_
