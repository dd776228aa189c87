// Modules of the process with the Windows loader: LoadLibraryExW by full path only,
// GetProcAddress, GetModuleHandleExW, GetModuleFileNameW.
//
// Thread safety: no state of its own; the loader serialises its own work.
#include "platform/library.h"

#include <cstring>
#include <string>
#include <vector>

#include "platform/path.h"
#include "platform/process.h"
#include "platform/trusted_path_windows.h"
#include "platform/win32_windows.h"

namespace platform {

const char kPolicyLibraryFileName[] = "cvpmapi.dll";
const char kClientLibraryFileName[] = "cvma32.dll";

namespace {

ModuleHandle FromLoader(HMODULE module) { return reinterpret_cast<ModuleHandle>(module); }

HMODULE ToLoader(ModuleHandle module) { return reinterpret_cast<HMODULE>(module); }

// A drive-letter path ("C:\...") or a share ("\\server\share\...").
bool IsFullPath(const char* path) {
  const bool drive = ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z')) &&
                     path[1] == ':' && (path[2] == '\\' || path[2] == '/');
  const bool share = (path[0] == '\\' || path[0] == '/') && (path[1] == '\\' || path[1] == '/');
  return drive || share;
}

// The path of `module` (null: the program), with the Windows rule for a buffer of `size`
// characters applied to its UTF-8 form: when it fits, the path, terminated, and its
// length; when it does not, its first `size` - 1 characters, terminated, and `size`.
uint32_t ModulePath(HMODULE module, char* buffer, uint32_t size) {
  if (buffer == nullptr || size == 0) return 0;
  // The system cuts a path that does not fit without saying by how much: read into a
  // buffer that grows until the path fits with room to spare.
  std::vector<wchar_t> wide(kMaxPath);
  DWORD length;
  for (;;) {
    length = ::GetModuleFileNameW(module, wide.data(), static_cast<DWORD>(wide.size()));
    if (length == 0 || (length >= wide.size() && wide.size() >= 32768)) {
      buffer[0] = '\0';
      return 0;
    }
    if (length < wide.size()) break;
    wide.resize(wide.size() * 2);
  }
  const std::string path = NarrowText(std::wstring_view(wide.data(), length));
  if (path.size() < size) {
    std::memcpy(buffer, path.data(), path.size() + 1);
    return static_cast<uint32_t>(path.size());
  }
  std::memcpy(buffer, path.data(), size - 1);
  buffer[size - 1] = '\0';
  return size;
}

}  // namespace

ModuleHandle LoadLibrary(const char* path) {
  if (path == nullptr || !IsFullPath(path) || std::strlen(path) >= kMaxPath) return nullptr;
  // The path comes from configuration (the registry, which a group may write): nothing
  // another account could have put or replaced there is loaded, and the resolved path is
  // what is loaded. The libraries it needs are looked for beside it first.
  const std::wstring trusted = TrustedFilePath(WideText(path));
  if (trusted.empty()) return nullptr;
  return FromLoader(::LoadLibraryExW(trusted.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
}

bool FreeLibrary(ModuleHandle module) { return module != nullptr && ::FreeLibrary(ToLoader(module)); }

void* GetProcAddress(ModuleHandle module, const char* name) {
  if (module == nullptr || name == nullptr) return nullptr;
  return reinterpret_cast<void*>(::GetProcAddress(ToLoader(module), name));
}

bool GetModuleHandleEx(uint32_t flags, const void* name_or_address, ModuleHandle* module) {
  *module = nullptr;
  const bool pin = (flags & kGetModuleHandleExFlagPin) != 0;
  if (name_or_address == nullptr || (pin && (flags & kGetModuleHandleExFlagUnchangedRefcount))) {
    return false;
  }
  // The port's flags are the system's.
  static_assert(kGetModuleHandleExFlagPin == GET_MODULE_HANDLE_EX_FLAG_PIN &&
                kGetModuleHandleExFlagUnchangedRefcount ==
                    GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT &&
                kGetModuleHandleExFlagFromAddress == GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS);
  HMODULE found = nullptr;
  bool ok;
  if ((flags & kGetModuleHandleExFlagFromAddress) != 0) {
    ok = ::GetModuleHandleExW(flags, static_cast<LPCWSTR>(name_or_address), &found);
  } else {
    // A file name without folder: a name with one would let a caller pick a copy elsewhere.
    const char* name = static_cast<const char*>(name_or_address);
    if (std::strpbrk(name, "\\/:") != nullptr) return false;
    ok = ::GetModuleHandleExW(flags, WideText(name).c_str(), &found);
  }
  if (!ok || found == nullptr) return false;
  *module = FromLoader(found);
  return true;
}

uint32_t GetModuleFileName(ModuleHandle module, char* buffer, uint32_t size) {
  return ModulePath(ToLoader(module), buffer, size);
}

uint32_t GetModuleFileName(char* buffer, uint32_t size) { return ModulePath(nullptr, buffer, size); }

}  // namespace platform
