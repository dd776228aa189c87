#include "standins/wire/busy_wait.h"

#include <poll.h>

namespace wire {

bool BusyWaitReadable(int fd, std::chrono::microseconds limit) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point end = Clock::now() + limit;
  do {
    pollfd event{fd, POLLIN, 0};
    if (poll(&event, 1, 0) != 0) return true;  // ready, or an error the caller meets next
    __builtin_ia32_pause();
  } while (Clock::now() < end);
  return false;
}

}  // namespace wire
