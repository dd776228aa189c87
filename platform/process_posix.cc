// Process facts from the Linux kernel: /proc/self/exe, getpid, gettid and the boot clock.
//
// Thread safety: no state of its own; safe from any thread.
#include "platform/process.h"

#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <vector>

namespace platform {

uint32_t GetModuleFileName(char* buffer, uint32_t size) {
  if (buffer == nullptr || size == 0) return 0;
  // readlink neither terminates nor says whether it cut the path, so read into a buffer
  // that grows until the link text fits with room to spare; only then can the Windows
  // truncation rule be applied exactly.
  std::vector<char> path(512);
  ssize_t length;
  for (;;) {
    length = readlink("/proc/self/exe", path.data(), path.size());
    if (length < 0) {
      buffer[0] = '\0';
      return 0;
    }
    if (static_cast<size_t>(length) < path.size()) break;
    path.resize(path.size() * 2);
  }
  if (static_cast<size_t>(length) < size) {
    std::memcpy(buffer, path.data(), length);
    buffer[length] = '\0';
    return static_cast<uint32_t>(length);
  }
  std::memcpy(buffer, path.data(), size - 1);
  buffer[size - 1] = '\0';
  return size;
}

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

}  // namespace platform
