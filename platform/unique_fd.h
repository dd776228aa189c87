// An owner for a file descriptor: closes it when it goes out of scope.
//
// Thread safety: one owner belongs to one thread at a time; the descriptor it holds may be
// used from any thread while the owner lives.
#ifndef PLATFORM_UNIQUE_FD_H_
#define PLATFORM_UNIQUE_FD_H_

#include <unistd.h>

#include <utility>

namespace platform {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { Reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int Release() { return std::exchange(fd_, -1); }
  void Reset(int fd = -1) {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

}  // namespace platform

#endif  // PLATFORM_UNIQUE_FD_H_
