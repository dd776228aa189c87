// Named blocks: the meeting points between components of one host process.
//
// A block carries addresses that mean something only inside the process that made it, and
// every reader of a block lives in that process. So a block is process-local memory, found
// by name in a table of this process: no file, no shared-memory object, nothing another
// account could open, write, squat on in advance or find left behind after a crash. The
// table lives in one shared library (libcvblocks.so) that every component of the process
// links, so the process holds it once, whatever loaded it first.
//
// The shape is that of a named file mapping: create (or open the existing one) by name and
// get a handle, map a view of the whole block, unmap the view, close the handle. A block
// lives while a handle or a view of it remains. Handles are 32-bit numbers, never 0; 0 means
// no handle. Errors are Windows error numbers: 2 no such block, 87 invalid parameter, 6 an
// invalid handle, 8 out of memory. Views of one block share one address, and the access
// asked for is recorded, not enforced by the memory: everything that maps a view runs in
// this process.
//
// A process forked from one that held blocks starts with an empty table: the parent's
// blocks are not the child's, and nothing made before a fork is relied on after it.
//
// Thread safety: every function may be called from any thread; the table has one lock. The
// words in a view are read and written with atomic loads and stores by their users.
#ifndef PLATFORM_NAMED_BLOCKS_H_
#define PLATFORM_NAMED_BLOCKS_H_

#include <cstddef>
#include <cstdint>
#include <utility>

#include "platform/export.h"

// Creates block `name` with `size` bytes, zero-filled (at least one pointer-sized word), or
// opens it when it exists; `*error` is then 183 (already exists), else 0. Returns the
// handle, or 0 with the error number in `*error`.
CV_EXPORT uint32_t CvCreateBlock(const char* name, size_t size, uint32_t* error);
// Opens existing block `name`. Returns the handle, or 0 with `*error` 2 when there is none.
CV_EXPORT uint32_t CvOpenBlock(const char* name, uint32_t* error);
// A view of the whole block behind `handle`; its size goes to `*size` (when not null).
// Null with `*error` 6 for a handle this process does not hold.
CV_EXPORT void* CvMapBlockView(uint32_t handle, bool writable, size_t* size, uint32_t* error);
// Ends one view at `view`. False when no view is there.
CV_EXPORT bool CvUnmapBlockView(const void* view);
// Closes `handle`. False when this process does not hold it.
CV_EXPORT bool CvCloseBlock(uint32_t handle);
// How many blocks exist in this process (for tests and diagnostics).
CV_EXPORT size_t CvBlockCount();

namespace platform {

// A handle and its view, owned together; released in reverse order of acquisition.
class __attribute__((visibility("default"))) NamedBlock {
 public:
  NamedBlock() = default;
  ~NamedBlock() { Release(); }
  NamedBlock(NamedBlock&& other) noexcept { *this = std::move(other); }
  NamedBlock& operator=(NamedBlock&& other) noexcept;
  NamedBlock(const NamedBlock&) = delete;
  NamedBlock& operator=(const NamedBlock&) = delete;

  // Opens the existing block and maps all of it. Returns 0, 2 (no such block) or another
  // error number; on failure `block` holds nothing.
  static uint32_t Open(const char* name, bool writable, NamedBlock* block);
  // Creates the block with `size` bytes (zero-filled), or opens it when it exists
  // (`*existed` true), and maps it read-write.
  static uint32_t Create(const char* name, size_t size, NamedBlock* block, bool* existed);

  bool is_mapped() const { return view_ != nullptr; }
  void* view() const { return view_; }
  uint32_t handle() const { return handle_; }
  size_t size() const { return size_; }

  // Word 0 of the view, as a pointer-sized value (0 without a view).
  uintptr_t ReadWord() const;
  void WriteWord(uintptr_t value);

  // Unmaps the view and closes the handle. The block itself goes when no one else holds it.
  void Release();

 private:
  // Maps a view of the block behind `handle` and holds both; on failure closes `handle`.
  uint32_t MapAndHold(uint32_t handle, bool writable);

  void* view_ = nullptr;
  uint32_t handle_ = 0;
  size_t size_ = 0;
};

}  // namespace platform

#endif  // PLATFORM_NAMED_BLOCKS_H_
