// Named shared-memory blocks: the meeting points between components of one host process.
//
// A block carries addresses that mean something only inside one process, and PHP usually
// runs as several worker processes, so the object behind block NAME of process PID is the
// POSIX shared-memory object "/NAME.PID". Blocks are created with mode 0666 whatever the
// umask (every account may use them). A block is one pointer-sized word or more.
//
// Thread safety: a SharedBlock is owned by one caller; the words in a view are read and
// written with atomic loads and stores by their users.
#ifndef PLATFORM_SHARED_MEMORY_H_
#define PLATFORM_SHARED_MEMORY_H_

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

class SharedBlock {
 public:
  SharedBlock() = default;
  ~SharedBlock() { Release(); }
  SharedBlock(SharedBlock&& other) noexcept;
  SharedBlock& operator=(SharedBlock&& other) noexcept;
  SharedBlock(const SharedBlock&) = delete;
  SharedBlock& operator=(const SharedBlock&) = delete;

  // "/" + name + "." + pid.
  static std::string ObjectName(std::string_view block_name, pid_t pid);

  // Opens the existing block of this process and maps all of it, read-only or read-write.
  // Returns 0, 2 (no such block) or another Windows-style error number.
  static uint32_t Open(std::string_view block_name, bool writable, SharedBlock* block);
  // Creates the block of this process with `size` bytes (zero-filled), or opens it when it
  // already exists (`*existed` true), and maps it read-write.
  static uint32_t Create(std::string_view block_name, size_t size, SharedBlock* block,
                         bool* existed);

  bool is_mapped() const { return view_ != nullptr; }
  void* view() const { return view_; }
  int handle() const { return fd_; }
  size_t size() const { return size_; }

  // Word 0 of the view, as a pointer-sized value.
  uintptr_t ReadWord() const;
  void WriteWord(uintptr_t value);

  // Unmaps the view and closes the handle; the object stays.
  void Release();
  // Removes the object's name (its creator does, at shutdown).
  static void Unlink(std::string_view block_name, pid_t pid);

 private:
  void* view_ = nullptr;
  int fd_ = -1;
  size_t size_ = 0;
};

}  // namespace platform

#endif  // PLATFORM_SHARED_MEMORY_H_
