// Process facts from the Linux kernel: getpid, gettid, the boot clock, the local time, the
// host name and the process's account (the executable's path is the first module's, in
// library_posix.cc).
//
// Thread safety: no state of its own; safe from any thread.
#include "platform/process.h"

#include <pwd.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/errors.h"
#include "platform/unicode.h"

namespace platform {

uint32_t GetCurrentProcessId() { return static_cast<uint32_t>(getpid()); }

uint32_t GetCurrentThreadId() { return static_cast<uint32_t>(gettid()); }

uint32_t GetTickCount() {
  // The boot clock goes on counting while the machine sleeps, as the Windows tick count does.
  timespec now;
  if (clock_gettime(CLOCK_BOOTTIME, &now) != 0) clock_gettime(CLOCK_MONOTONIC, &now);
  uint64_t milliseconds =
      static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(milliseconds);  // wraps at 2^32; callers compare differences
}

bool GetLocalTime(SystemTime* time) {
  // The clock time() reads, so that a second here is the second the C library's callers
  // see; it moves in ticks, as the Windows system time does.
  timespec now;
  tm local;
  if (clock_gettime(CLOCK_REALTIME_COARSE, &now) != 0 ||
      localtime_r(&now.tv_sec, &local) == nullptr) {
    return false;
  }
  time->year = static_cast<uint16_t>(local.tm_year + 1900);
  time->month = static_cast<uint16_t>(local.tm_mon + 1);
  time->day_of_week = static_cast<uint16_t>(local.tm_wday);
  time->day = static_cast<uint16_t>(local.tm_mday);
  time->hour = static_cast<uint16_t>(local.tm_hour);
  time->minute = static_cast<uint16_t>(local.tm_min);
  time->second = static_cast<uint16_t>(local.tm_sec);
  time->milliseconds = static_cast<uint16_t>(now.tv_nsec / 1000000);
  return true;
}

bool GetComputerName(char16_t* buffer, uint32_t* size) {
  if (size == nullptr) return false;
  char host[256];
  if (gethostname(host, sizeof host) != 0) return false;
  host[sizeof host - 1] = '\0';
  std::string name(host, strcspn(host, "."));
  const std::u16string wide = Utf8ToUtf16(name);
  if (buffer == nullptr || wide.size() + 1 > *size) {
    *size = static_cast<uint32_t>(wide.size() + 1);
    return false;
  }
  std::copy(wide.begin(), wide.end(), buffer);
  buffer[wide.size()] = u'\0';
  *size = static_cast<uint32_t>(wide.size());
  return true;
}

uint32_t LookupProcessAccount(std::u16string* domain, std::u16string* account) {
  passwd entry;
  passwd* found = nullptr;
  std::vector<char> buffer(1024);
  int error;
  while ((error = getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found)) ==
         ERANGE) {
    if (buffer.size() >= (1u << 20)) return kErrorNotEnoughMemory;
    buffer.resize(buffer.size() * 2);
  }
  if (error != 0 || found == nullptr) return kErrorNoneMapped;
  char16_t host[64];
  uint32_t size = 64;
  if (!GetComputerName(host, &size)) size = 0;
  if (domain != nullptr) domain->assign(host, size);
  if (account != nullptr) *account = Utf8ToUtf16(entry.pw_name);
  return 0;
}

}  // namespace platform
