#include "standins/wire/busy_wait.h"

#include <poll.h>

#include <algorithm>

namespace wire {

bool BusyWait::Readable(int fd) {
  if (sleep_next_ > 0) {
    --sleep_next_;
    return false;
  }
  using Clock = std::chrono::steady_clock;
  Clock::time_point now = Clock::now();
  const Clock::time_point end = now + kBusyWait;
  do {
    pollfd event{fd, POLLIN, 0};
    if (poll(&event, 1, 0) != 0) {  // ready, or an error the caller meets next
      penalty_ = 0;
      return true;
    }
    __builtin_ia32_pause();
    const Clock::time_point before = now;
    now = Clock::now();
    if (now - before >= kTakenOff) break;
  } while (now < end);
  penalty_ = std::clamp<uint32_t>(2 * penalty_, 1, kMaxSleptWaits);
  sleep_next_ = penalty_;
  return false;
}

}  // namespace wire
