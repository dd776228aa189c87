#include "platform/shared_memory.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <utility>

namespace platform {

namespace {

// Windows-style error numbers for the errno values these calls give.
uint32_t ErrorNumber(int error) {
  switch (error) {
    case ENOENT:
      return 2;  // file not found
    case EACCES:
    case EPERM:
      return 5;  // access denied
    case EMFILE:
    case ENFILE:
      return 4;  // too many open files
    case ENOMEM:
    case ENOSPC:
      return 8;  // not enough memory
    case EINVAL:
    case ENAMETOOLONG:
      return 87;  // invalid parameter
    default:
      return 31;  // device not functioning
  }
}

// Maps all of `fd` (its current size); returns 0 or the error number, closing `fd` on
// failure.
uint32_t MapAll(int fd, bool writable, void** view, size_t* size) {
  struct stat status {};
  if (fstat(fd, &status) != 0) {
    const int error = errno;
    close(fd);
    return ErrorNumber(error);
  }
  *size = static_cast<size_t>(status.st_size);
  if (*size == 0) {
    // Nothing to map: a block that was never sized is as good as none.
    close(fd);
    return 87;
  }
  const int protection = writable ? PROT_READ | PROT_WRITE : PROT_READ;
  *view = mmap(nullptr, *size, protection, MAP_SHARED, fd, 0);
  if (*view == MAP_FAILED) {
    const int error = errno;
    *view = nullptr;
    close(fd);
    return ErrorNumber(error);
  }
  return 0;
}

}  // namespace

SharedBlock::SharedBlock(SharedBlock&& other) noexcept
    : view_(std::exchange(other.view_, nullptr)),
      fd_(std::exchange(other.fd_, -1)),
      size_(std::exchange(other.size_, 0)) {}

SharedBlock& SharedBlock::operator=(SharedBlock&& other) noexcept {
  if (this != &other) {
    Release();
    view_ = std::exchange(other.view_, nullptr);
    fd_ = std::exchange(other.fd_, -1);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

std::string SharedBlock::ObjectName(std::string_view block_name, pid_t pid) {
  std::string name = "/";
  name.append(block_name);
  name += '.';
  name += std::to_string(pid);
  return name;
}

uint32_t SharedBlock::Open(std::string_view block_name, bool writable, SharedBlock* block) {
  block->Release();
  const std::string name = ObjectName(block_name, getpid());
  const int fd = shm_open(name.c_str(), (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC, 0);
  if (fd < 0) return ErrorNumber(errno);
  void* view = nullptr;
  size_t size = 0;
  const uint32_t result = MapAll(fd, writable, &view, &size);
  if (result != 0) return result;
  block->view_ = view;
  block->fd_ = fd;
  block->size_ = size;
  return 0;
}

uint32_t SharedBlock::Create(std::string_view block_name, size_t size, SharedBlock* block,
                             bool* existed) {
  block->Release();
  if (existed != nullptr) *existed = false;
  if (size == 0) return 87;
  const std::string name = ObjectName(block_name, getpid());
  int fd = shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd >= 0) {
    // The umask narrowed the mode; every account is to reach the block.
    if (fchmod(fd, 0666) != 0 || ftruncate(fd, static_cast<off_t>(size)) != 0) {
      const int error = errno;
      close(fd);
      shm_unlink(name.c_str());
      return ErrorNumber(error);
    }
  } else if (errno == EEXIST) {
    fd = shm_open(name.c_str(), O_RDWR | O_CLOEXEC, 0);
    if (fd < 0) return ErrorNumber(errno);
    if (existed != nullptr) *existed = true;
    // A block left shorter than asked for grows to the size this caller relies on.
    struct stat status {};
    if (fstat(fd, &status) == 0 && static_cast<size_t>(status.st_size) < size &&
        ftruncate(fd, static_cast<off_t>(size)) != 0) {
      const int error = errno;
      close(fd);
      return ErrorNumber(error);
    }
  } else {
    return ErrorNumber(errno);
  }
  void* view = nullptr;
  size_t mapped = 0;
  const uint32_t result = MapAll(fd, /*writable=*/true, &view, &mapped);
  if (result != 0) return result;
  block->view_ = view;
  block->fd_ = fd;
  block->size_ = mapped;
  return 0;
}

uintptr_t SharedBlock::ReadWord() const {
  if (view_ == nullptr || size_ < sizeof(uintptr_t)) return 0;
  return __atomic_load_n(static_cast<const uintptr_t*>(view_), __ATOMIC_ACQUIRE);
}

void SharedBlock::WriteWord(uintptr_t value) {
  if (view_ == nullptr || size_ < sizeof(uintptr_t)) return;
  __atomic_store_n(static_cast<uintptr_t*>(view_), value, __ATOMIC_RELEASE);
}

void SharedBlock::Release() {
  if (view_ != nullptr) munmap(view_, size_);
  if (fd_ >= 0) close(fd_);
  view_ = nullptr;
  fd_ = -1;
  size_ = 0;
}

void SharedBlock::Unlink(std::string_view block_name, pid_t pid) {
  shm_unlink(ObjectName(block_name, pid).c_str());
}

}  // namespace platform
