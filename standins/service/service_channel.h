// What the service frame needs of a system, and what a system's file takes from the rest of
// the frame. service_shared.cc holds the frame itself (admission by the bounds, the
// connections' loop of measuring, budgeting, answering and sending, the deadlines, the
// notifications, the memory budget, the limited log); each system's file (service.cc on
// POSIX, service_windows.cc) implements the listening socket or pipe, the peer's identity,
// the accept loop, the startup and the Channel below, and nothing else. Internal to the
// frame: nothing outside those files includes it.
//
// Thread safety: a Channel is used by its connection's thread alone, except Wake and Sever,
// which any thread may call while the channel lives.
#ifndef STANDINS_SERVICE_SERVICE_CHANNEL_H_
#define STANDINS_SERVICE_SERVICE_CHANNEL_H_

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "standins/service/service.h"
#include "standins/wire/unique_fd.h"

namespace service {

using Clock = std::chrono::steady_clock;

// What one read takes at most, perhaps beyond the message under way (outside the budget:
// one such buffer per connection).
inline constexpr size_t kReadChunk = 64 * 1024;

inline int64_t MillisecondsUntil(Clock::time_point deadline) {
  auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return std::clamp<int64_t>(left, 0, INT_MAX);
}

// One admitted client's end of the socket or pipe.
class Channel {
 public:
  virtual ~Channel() = default;

  // Hands the client what it takes now of `unread`: `*taken` bytes of its front (0 when it
  // takes nothing yet). False when the client has gone or the channel failed.
  virtual bool Send(std::string_view unread, size_t* taken) = 0;
  // Waits until `due` for bytes from the client (when `want_input`), for room to send (when
  // `writing`) or for Wake. False when waiting failed.
  virtual bool Wait(bool want_input, bool writing, Clock::time_point due) = 0;
  // Appends to `inbox` what has arrived (nothing when not `want_input`, unless a read was
  // already under way), with its size in `*got`. False when the client has gone, the
  // channel failed or it was severed.
  virtual bool Receive(bool want_input, std::string* inbox, size_t* got) = 0;
  // Ends the channel for its thread. `orderly`: the server ended it after its last reply,
  // which the client may still read.
  virtual void Close(bool orderly) = 0;

  // From any thread: ends the wait in progress or the next one.
  virtual void Wake() = 0;
  // From any thread: makes the connection end (its wait ends, and so does its next receive).
  virtual void Sever() = 0;
};

// The channel over the accepted `peer`; null when the system cannot give it what it needs.
std::unique_ptr<Channel> OpenChannel(wire::UniqueFd peer);

// Gives the system the memory freed by a large message, where its allocator keeps it.
void GiveBackFreedMemory();

// The group of this machine called `name` (not a number), or false when there is none.
bool GroupByName(const std::string& name, gid_t* group);

}  // namespace service

#endif  // STANDINS_SERVICE_SERVICE_CHANNEL_H_
