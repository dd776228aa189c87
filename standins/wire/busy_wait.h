// Waiting for the next frame on a connection without sleeping, for a short while, and only
// while that pays.
//
// A request and its reply pass between two threads. When the waiting one sleeps, the
// kernel has to wake it, and on an idle machine (a virtual one most of all) that wake-up
// takes ten to twenty times longer than the other side takes to answer. So each side first
// looks at its socket again and again for a few tens of microseconds, and sleeps in poll()
// only when nothing came by then: a burst of requests (a whole policy read) costs no
// wake-ups.
//
// On a loaded machine the other side may not be running at all: then the looking only
// keeps it from a processor. A wait that was taken off its processor while it looked, or
// that saw nothing come, makes the next waits of the same connection sleep at once, twice as
// many each time it happens again (up to kMaxSleptWaits), until a look succeeds again.
//
// Thread safety: a BusyWait belongs to one connection's one waiting thread.
#ifndef STANDINS_WIRE_BUSY_WAIT_H_
#define STANDINS_WIRE_BUSY_WAIT_H_

#include <chrono>
#include <cstdint>

namespace wire {

inline constexpr std::chrono::microseconds kBusyWait{50};
// A gap this long between two looks means the thread lost its processor meanwhile.
inline constexpr std::chrono::microseconds kTakenOff{20};
inline constexpr uint32_t kMaxSleptWaits = 64;

class BusyWait {
 public:
  // True as soon as `fd` has something to read, or has ended or failed (the read tells
  // which); false when kBusyWait passed first, when the thread was taken off its processor
  // meanwhile, or at once while looking does not pay.
  bool Readable(int fd);

 private:
  uint32_t sleep_next_ = 0;  // waits left that sleep without looking
  uint32_t penalty_ = 0;     // how many the next miss makes sleep
};

}  // namespace wire

#endif  // STANDINS_WIRE_BUSY_WAIT_H_
