// The stand-ins' descriptor owner is the OS port's. On Windows the stand-ins' connections
// are pipes, and what stands for a descriptor is a handle's value (handles are 32-bit
// values on every Windows): the owner closes it as a handle.
#ifndef STANDINS_WIRE_UNIQUE_FD_H_
#define STANDINS_WIRE_UNIQUE_FD_H_

#ifdef _WIN32

#include <utility>

namespace wire {

// Closes the handle whose value is `handle`.
void CloseHandleValue(int handle);

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int handle) : fd_(handle) {}
  ~UniqueFd() { Reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }

  int get() const { return fd_; }
  // Null and INVALID_HANDLE_VALUE (-1) are no handle.
  bool valid() const { return fd_ != 0 && fd_ != -1; }
  int Release() { return std::exchange(fd_, -1); }
  void Reset(int handle = -1) {
    if (valid()) CloseHandleValue(fd_);
    fd_ = handle;
  }

 private:
  int fd_ = -1;
};

}  // namespace wire

#else

#include "platform/unique_fd.h"

namespace wire {

using platform::UniqueFd;

}  // namespace wire

#endif

#endif  // STANDINS_WIRE_UNIQUE_FD_H_
