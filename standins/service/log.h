// The servers' one line of output: the program's name, then the message, on standard error
// (the service manager's journal). Header-only, so that what a server shares with its
// readers (the storage sources, their fuzz targets) needs no library for it.
//
// Thread safety: each line is one write; lines of several threads do not mix.
#ifndef STANDINS_SERVICE_LOG_H_
#define STANDINS_SERVICE_LOG_H_

#include <errno.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <system_error>

namespace service {

#ifdef _WIN32
// The program's name as glibc's program_invocation_short_name gives it: without its folder.
inline const char* ProgramName() {
  static const std::string name = [] {
    std::string path = __argv != nullptr && __argv[0] != nullptr ? __argv[0] : "server";
    path = path.substr(path.find_last_of("\\/") + 1);
    return path.size() > 4 && path.substr(path.size() - 4) == ".exe"
               ? path.substr(0, path.size() - 4)
               : path;
  }();
  return name.c_str();
}
#else
inline const char* ProgramName() { return program_invocation_short_name; }
#endif

// The C library's printf on Windows is mingw's own, which takes the C99 forms (%zu).
#ifdef _WIN32
#define SERVICE_PRINTF_FORMAT(string, first) __attribute__((format(gnu_printf, string, first)))
#else
#define SERVICE_PRINTF_FORMAT(string, first) __attribute__((format(printf, string, first)))
#endif

inline void Log(const char* format, ...) SERVICE_PRINTF_FORMAT(1, 2);
inline void Log(const char* format, ...) {
  char line[1024];
  va_list arguments;
  va_start(arguments, format);
  vsnprintf(line, sizeof line, format, arguments);
  va_end(arguments);
  std::fprintf(stderr, "%s: %s\n", ProgramName(), line);
}

inline std::string ErrorText(int error) { return std::generic_category().message(error); }

}  // namespace service

#endif  // STANDINS_SERVICE_LOG_H_
