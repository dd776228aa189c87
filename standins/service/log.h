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
#include <string>
#include <system_error>

namespace service {

inline void Log(const char* format, ...) __attribute__((format(printf, 1, 2)));
inline void Log(const char* format, ...) {
  char line[1024];
  va_list arguments;
  va_start(arguments, format);
  vsnprintf(line, sizeof line, format, arguments);
  va_end(arguments);
  std::fprintf(stderr, "%s: %s\n", program_invocation_short_name, line);
}

inline std::string ErrorText(int error) { return std::generic_category().message(error); }

}  // namespace service

#endif  // STANDINS_SERVICE_LOG_H_
