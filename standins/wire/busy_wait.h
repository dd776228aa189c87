// Waiting for the next frame on a connection without sleeping, for a short while.
//
// A request and its reply pass between two threads. When the waiting one sleeps, the
// kernel has to wake it, and on an idle machine (a virtual one most of all) that wake-up
// takes ten to twenty times longer than the agent takes to answer. So each side first
// looks at its socket again and again for a few tens of microseconds, and sleeps in poll()
// only when nothing came by then: a burst of requests (a whole policy read) costs no
// wake-ups, and a lone request costs that much processor time more.
#ifndef STANDINS_WIRE_BUSY_WAIT_H_
#define STANDINS_WIRE_BUSY_WAIT_H_

#include <chrono>

namespace wire {

inline constexpr std::chrono::microseconds kBusyWait{50};

// True as soon as `fd` has something to read, or has ended or failed (the read tells
// which); false when `limit` passed first.
bool BusyWaitReadable(int fd, std::chrono::microseconds limit = kBusyWait);

}  // namespace wire

#endif  // STANDINS_WIRE_BUSY_WAIT_H_
