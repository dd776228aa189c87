// Libraries of the process: loading one by its full path, finding one already loaded, the
// functions a library exports, and the file a library came from.
//
// A module is the program itself or a library loaded into it. LoadLibrary, and
// GetModuleHandleEx unless told otherwise, take a reference to a module; FreeLibrary gives
// one back, and a library goes when its last reference does (a pinned one never does).
// A library is only ever loaded by full path: a bare name would let the system's library
// search choose the file.
//
// Thread safety: every function may be called from any thread. A handle stays good while
// its module is loaded.
#ifndef PLATFORM_LIBRARY_H_
#define PLATFORM_LIBRARY_H_

#include <cstdint>
#include <utility>

namespace platform {

struct Module;
// HMODULE: a module of this process. Null means none.
using ModuleHandle = Module*;

// The file names of the management agent's two libraries on this system: the policy
// library ("libcvpmapi.so"; "cvpmapi.dll" on Windows) and the client library
// ("libcvma32.so"; "cvma32.dll").
extern const char kPolicyLibraryFileName[];
extern const char kClientLibraryFileName[];

// Flags of GetModuleHandleEx.
inline constexpr uint32_t kGetModuleHandleExFlagPin = 0x1;
inline constexpr uint32_t kGetModuleHandleExFlagUnchangedRefcount = 0x2;
inline constexpr uint32_t kGetModuleHandleExFlagFromAddress = 0x4;

// LoadLibrary: the library at `path`, loaded now when the process has not loaded it yet,
// its own symbols kept to itself (not used to bind other libraries). Takes a reference.
// Null when `path` is not absolute, does not fit in kMaxPath, or cannot be loaded, and
// when the file, or a folder above it (links resolved), is not root's or the process's
// account's, or another account may write it (a folder everyone may write counts only when
// it is sticky, as /tmp).
ModuleHandle LoadLibrary(const char* path);

// FreeLibrary: gives back one reference to `module`. False for null.
bool FreeLibrary(ModuleHandle module);

// GetProcAddress: the address of the function `name` exported by `module` (here, when the
// module itself has none, by a library it depends on). Null when there is none.
void* GetProcAddress(ModuleHandle module, const char* name);

// GetModuleHandleEx: a module the process has loaded already; never loads one.
// `name_or_address` is a file name without folder (kClientLibraryFileName), matched against the
// file name that ends each loaded library's path; with kGetModuleHandleExFlagFromAddress
// it is an address, and the module is the one holding it (the program itself included).
// Takes a reference unless kGetModuleHandleExFlagUnchangedRefcount; with
// kGetModuleHandleExFlagPin the module stays loaded until the process ends, and the handle
// needs no FreeLibrary. False, `*module` null, when no module matches or both of those
// flags are given.
bool GetModuleHandleEx(uint32_t flags, const void* name_or_address, ModuleHandle* module);

// GetModuleFileName of a module: its full path, with the rules of the executable's
// (process.h), which null `module` stands for.
uint32_t GetModuleFileName(ModuleHandle module, char* buffer, uint32_t size);

// Owns one reference to a module and gives it back when it goes.
class ModuleReference {
 public:
  ModuleReference() = default;
  explicit ModuleReference(ModuleHandle module) : module_(module) {}
  ModuleReference(ModuleReference&& other) noexcept : module_(other.release()) {}
  ModuleReference& operator=(ModuleReference&& other) noexcept {
    std::swap(module_, other.module_);
    return *this;
  }
  ~ModuleReference() {
    if (module_ != nullptr) FreeLibrary(module_);
  }

  ModuleHandle get() const { return module_; }
  // Hands the reference to the caller.
  ModuleHandle release() { return std::exchange(module_, nullptr); }

 private:
  ModuleHandle module_ = nullptr;
};

}  // namespace platform

#endif  // PLATFORM_LIBRARY_H_
