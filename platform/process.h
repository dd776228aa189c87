// Facts about the running process: its executable, its ids, the system tick count and the
// local time.
//
// Thread safety: every function is safe from any thread.
#ifndef PLATFORM_PROCESS_H_
#define PLATFORM_PROCESS_H_

#include <cstdint>
#include <string>

#include "platform/path.h"

namespace platform {

// GetModuleFileName for the process itself: copies the full path of the host executable
// (/proc/self/exe) into `buffer`. When it fits, the path is terminated and its length
// (without terminator) returned. When it does not fit, the first `size` - 1 characters
// and a terminator are stored and `size` is returned. 0 when the path cannot be read or
// `size` is 0.
uint32_t GetModuleFileName(char* buffer, uint32_t size);

// Process id (getpid) and kernel thread id (gettid).
uint32_t GetCurrentProcessId();
uint32_t GetCurrentThreadId();

// Milliseconds since system start, wrapping at 2^32.
uint32_t GetTickCount();

// SYSTEMTIME: a date and time of day. Months count from 1, days of the week from Sunday 0.
struct SystemTime {
  uint16_t year;
  uint16_t month;
  uint16_t day_of_week;
  uint16_t day;
  uint16_t hour;
  uint16_t minute;
  uint16_t second;
  uint16_t milliseconds;
};

// GetLocalTime: now, in the machine's time zone, into `*time`. False, `*time` unchanged,
// when the clock or the zone cannot be read.
bool GetLocalTime(SystemTime* time);

// GetComputerName: the host name up to its first '.', in UTF-16, when it fits in `*size`
// characters with its terminator; *size becomes its length. False (and *size the length
// needed, when known) otherwise.
bool GetComputerName(char16_t* buffer, uint32_t* size);

// The account this process runs as: its name, and the domain that holds it (for a local
// account, this computer's name). 0, or a Windows error number (1332: the account has no
// name).
uint32_t LookupProcessAccount(std::u16string* domain, std::u16string* account);

}  // namespace platform

#endif  // PLATFORM_PROCESS_H_
