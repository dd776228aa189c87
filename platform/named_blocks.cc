// The table of named blocks of this process (see named_blocks.h), the same on every system:
// process memory found by name, never a mapping of the system's.
//
// Thread safety: one mutex guards the table. Where processes fork, the port's fork handler
// (named_blocks_posix.cc) holds it across the fork through the hooks of
// named_blocks_table.h.
#include "platform/named_blocks.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "platform/named_blocks_table.h"
#include "platform/path.h"

namespace {

using platform::kErrorAlreadyExists;
using platform::kErrorFileNotFound;
using platform::kErrorInvalidHandle;
using platform::kErrorInvalidParameter;
using platform::kErrorNotEnoughMemory;
// Names are at most MAX_PATH characters, as for named kernel objects.
constexpr size_t kMaxName = platform::kMaxPath;

struct Block {
  std::string name;  // empty once the block is gone
  void* memory = nullptr;
  size_t size = 0;
  unsigned handles = 0;
  unsigned views = 0;
};

struct Handle {
  uint32_t number;
  Block* block;
};

struct Table {
  std::mutex mutex;
  std::vector<Block*> blocks;     // live blocks
  std::vector<Handle> handles;    // open handles
  std::vector<Block*> forgotten;  // blocks of a parent process, kept reachable after a fork
  uint32_t next_handle = 0;

  // The library is unloaded after both extensions' module shutdown; whatever is still
  // held then goes with it.
  ~Table() {
    for (std::vector<Block*>* list : {&blocks, &forgotten}) {
      for (Block* block : *list) {
        std::free(block->memory);
        delete block;
      }
    }
  }
};

// Made at first use; a mutex of the Windows C library cannot be constant-initialised.
Table& TheTable() {
  static Table table;
  return table;
}

// Names compare exactly, as the names of kernel objects do.
Block* FindLocked(Table& table, const char* name) {
  for (Block* block : table.blocks) {
    if (block->name == name) return block;
  }
  return nullptr;
}

// Handle numbers run 4, 8, 12, ... as a process's kernel handles do, skipping 0 and any in use.
uint32_t AddHandleLocked(Table& table, Block* block) {
  for (;;) {
    table.next_handle += 4;
    if (table.next_handle == 0) continue;
    bool used = false;
    for (const Handle& handle : table.handles) used |= handle.number == table.next_handle;
    if (!used) break;
  }
  table.handles.push_back({table.next_handle, block});
  ++block->handles;
  return table.next_handle;
}

void FreeIfUnusedLocked(Table& table, Block* block) {
  if (block->handles != 0 || block->views != 0) return;
  for (auto it = table.blocks.begin(); it != table.blocks.end(); ++it) {
    if (*it == block) {
      table.blocks.erase(it);
      break;
    }
  }
  std::free(block->memory);
  delete block;
}

bool ValidName(const char* name) {
  return name != nullptr && name[0] != '\0' && std::strlen(name) <= kMaxName;
}

void SetError(uint32_t* error, uint32_t value) {
  if (error != nullptr) *error = value;
}

}  // namespace

uint32_t CvCreateBlock(const char* name, size_t size, uint32_t* error) {
  if (!ValidName(name) || size == 0) {
    SetError(error, kErrorInvalidParameter);
    return 0;
  }
  Table& table = TheTable();
  try {
    std::lock_guard lock(table.mutex);
    table.handles.reserve(table.handles.size() + 1);
    if (Block* existing = FindLocked(table, name)) {
      SetError(error, kErrorAlreadyExists);
      return AddHandleLocked(table, existing);
    }
    const size_t bytes = size < sizeof(uintptr_t) ? sizeof(uintptr_t) : size;
    void* memory = std::calloc(1, bytes);
    if (memory == nullptr) {
      SetError(error, kErrorNotEnoughMemory);
      return 0;
    }
    auto* block = new Block{name, memory, bytes, 0, 0};
    table.blocks.push_back(block);
    SetError(error, 0);
    return AddHandleLocked(table, block);
  } catch (...) {
    SetError(error, kErrorNotEnoughMemory);
    return 0;
  }
}

uint32_t CvOpenBlock(const char* name, uint32_t* error) {
  if (!ValidName(name)) {
    SetError(error, kErrorInvalidParameter);
    return 0;
  }
  Table& table = TheTable();
  try {
    std::lock_guard lock(table.mutex);
    Block* block = FindLocked(table, name);
    if (block == nullptr) {
      SetError(error, kErrorFileNotFound);
      return 0;
    }
    table.handles.reserve(table.handles.size() + 1);
    SetError(error, 0);
    return AddHandleLocked(table, block);
  } catch (...) {
    SetError(error, kErrorNotEnoughMemory);
    return 0;
  }
}

void* CvMapBlockView(uint32_t handle, bool /*writable*/, size_t* size, uint32_t* error) {
  Table& table = TheTable();
  std::lock_guard lock(table.mutex);
  for (const Handle& entry : table.handles) {
    if (entry.number != handle) continue;
    ++entry.block->views;
    if (size != nullptr) *size = entry.block->size;
    SetError(error, 0);
    return entry.block->memory;
  }
  SetError(error, kErrorInvalidHandle);
  return nullptr;
}

bool CvUnmapBlockView(const void* view) {
  if (view == nullptr) return false;
  Table& table = TheTable();
  std::lock_guard lock(table.mutex);
  for (Block* block : table.blocks) {
    if (block->memory == view && block->views != 0) {
      --block->views;
      FreeIfUnusedLocked(table, block);
      return true;
    }
  }
  return false;
}

bool CvCloseBlock(uint32_t handle) {
  if (handle == 0) return false;
  Table& table = TheTable();
  std::lock_guard lock(table.mutex);
  for (auto it = table.handles.begin(); it != table.handles.end(); ++it) {
    if (it->number != handle) continue;
    Block* block = it->block;
    table.handles.erase(it);
    --block->handles;
    FreeIfUnusedLocked(table, block);
    return true;
  }
  return false;
}

size_t CvBlockCount() {
  Table& table = TheTable();
  std::lock_guard lock(table.mutex);
  return table.blocks.size();
}

namespace platform::named_blocks_table {

void LockForFork() { TheTable().mutex.lock(); }

void UnlockInParent() { TheTable().mutex.unlock(); }

void ForgetInChild() {
  Table& table = TheTable();
  try {
    table.forgotten.insert(table.forgotten.end(), table.blocks.begin(), table.blocks.end());
  } catch (...) {
    // Out of memory in a fresh child: the parent's blocks are merely lost.
  }
  table.blocks.clear();
  table.handles.clear();
  table.mutex.unlock();
}

}  // namespace platform::named_blocks_table

namespace platform {

NamedBlock& NamedBlock::operator=(NamedBlock&& other) noexcept {
  if (this != &other) {
    Release();
    view_ = std::exchange(other.view_, nullptr);
    handle_ = std::exchange(other.handle_, 0);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

uint32_t NamedBlock::MapAndHold(uint32_t handle, bool writable) {
  uint32_t error = 0;
  void* view = CvMapBlockView(handle, writable, &size_, &error);
  if (view == nullptr) {
    CvCloseBlock(handle);
    size_ = 0;
    return error;
  }
  handle_ = handle;
  view_ = view;
  return 0;
}

uint32_t NamedBlock::Open(const char* name, bool writable, NamedBlock* block) {
  block->Release();
  uint32_t error = 0;
  const uint32_t handle = CvOpenBlock(name, &error);
  return handle == 0 ? error : block->MapAndHold(handle, writable);
}

uint32_t NamedBlock::Create(const char* name, size_t size, NamedBlock* block, bool* existed) {
  block->Release();
  uint32_t error = 0;
  const uint32_t handle = CvCreateBlock(name, size, &error);
  if (existed != nullptr) *existed = handle != 0 && error == kErrorAlreadyExists;
  return handle == 0 ? error : block->MapAndHold(handle, /*writable=*/true);
}

uintptr_t NamedBlock::ReadWord() const {
  if (view_ == nullptr || size_ < sizeof(uintptr_t)) return 0;
  return __atomic_load_n(static_cast<const uintptr_t*>(view_), __ATOMIC_ACQUIRE);
}

void NamedBlock::WriteWord(uintptr_t value) {
  if (view_ == nullptr || size_ < sizeof(uintptr_t)) return;
  __atomic_store_n(static_cast<uintptr_t*>(view_), value, __ATOMIC_RELEASE);
}

void NamedBlock::Release() {
  if (view_ != nullptr) CvUnmapBlockView(view_);
  if (handle_ != 0) CvCloseBlock(handle_);
  view_ = nullptr;
  handle_ = 0;
  size_ = 0;
}

}  // namespace platform
