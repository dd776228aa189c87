// The shape of file paths: how long one may be and what separates its folders.
#ifndef PLATFORM_PATH_H_
#define PLATFORM_PATH_H_

#include <cstdint>

namespace platform {

// MAX_PATH: the characters of a path, its terminator included, that the system's path
// buffers hold (also the longest name of a named kernel object).
inline constexpr uint32_t kMaxPath = 260;

// Separator of directories in file paths.
#ifdef _WIN32
inline constexpr char kPathSeparator = '\\';
#else
inline constexpr char kPathSeparator = '/';
#endif

}  // namespace platform

#endif  // PLATFORM_PATH_H_
