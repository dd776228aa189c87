// Modules of the process with the dynamic loader: dlopen by full path, dlsym, the loader's
// list of loaded objects for a library known by file name, and /proc/self/exe for the
// program itself.
//
// Thread safety: no state of its own; the loader serialises its own work.
#include "platform/library.h"

#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/path.h"
#include "platform/process.h"
#include "platform/trusted_path_posix.h"

namespace platform {

const char kPolicyLibraryFileName[] = "libcvpmapi.so";
const char kClientLibraryFileName[] = "libcvma32.so";

namespace {

ModuleHandle FromLoader(void* handle) { return static_cast<ModuleHandle>(handle); }


void* ToLoader(ModuleHandle module) { return static_cast<void*>(module); }

// The Windows rule for a path handed back in a buffer of `size` characters: when it fits,
// the path, terminated, and its length; when it does not, its first `size` - 1 characters,
// terminated, and `size`.
uint32_t CopyModulePath(const char* path, size_t length, char* buffer, uint32_t size) {
  if (buffer == nullptr || size == 0) return 0;
  if (length < size) {
    std::memcpy(buffer, path, length);
    buffer[length] = '\0';
    return static_cast<uint32_t>(length);
  }
  std::memcpy(buffer, path, size - 1);
  buffer[size - 1] = '\0';
  return size;
}

// The path the loader keeps for the library holding `address`; empty for the program
// itself. False when no loaded object holds it.
bool LoadedPathOf(const void* address, std::string* path) {
  Dl_info info{};
  link_map* object = nullptr;
  if (dladdr1(address, &info, reinterpret_cast<void**>(&object), RTLD_DL_LINKMAP) == 0 ||
      object == nullptr) {
    return false;
  }
  path->assign(object->l_name != nullptr ? object->l_name : "");
  return true;
}

// The full path of the loaded library whose file name is `file_name`.
std::string LoadedPathNamed(const char* file_name) {
  struct Search {
    const char* file_name;
    std::string path;
  } search{file_name, {}};
  dl_iterate_phdr(
      [](dl_phdr_info* info, size_t, void* data) -> int {
        auto* wanted = static_cast<Search*>(data);
        // The program and the kernel's own object have no path here.
        if (info->dlpi_name == nullptr || info->dlpi_name[0] != kPathSeparator) return 0;
        const char* base = std::strrchr(info->dlpi_name, kPathSeparator) + 1;
        if (std::strcmp(base, wanted->file_name) != 0) return 0;
        wanted->path = info->dlpi_name;
        return 1;
      },
      &search);
  return search.path;
}

}  // namespace

ModuleHandle LoadLibrary(const char* path) {
  if (path == nullptr || path[0] != kPathSeparator || std::strlen(path) >= kMaxPath) {
    return nullptr;
  }
  // The path comes from configuration (the registry, which a group may write): nothing
  // another account could have put or replaced there is loaded, and the resolved path is
  // what is loaded, so no link can be swapped in between.
  const std::string trusted = TrustedFilePath(path);
  if (trusted.empty()) return nullptr;
  return FromLoader(dlopen(trusted.c_str(), RTLD_NOW | RTLD_LOCAL));
}

bool FreeLibrary(ModuleHandle module) { return module != nullptr && dlclose(ToLoader(module)) == 0; }

void* GetProcAddress(ModuleHandle module, const char* name) {
  if (module == nullptr || name == nullptr) return nullptr;
  return dlsym(ToLoader(module), name);
}

bool GetModuleHandleEx(uint32_t flags, const void* name_or_address, ModuleHandle* module) {
  *module = nullptr;
  const bool pin = (flags & kGetModuleHandleExFlagPin) != 0;
  if (name_or_address == nullptr || (pin && (flags & kGetModuleHandleExFlagUnchangedRefcount))) {
    return false;
  }
  std::string path;
  if ((flags & kGetModuleHandleExFlagFromAddress) != 0) {
    if (!LoadedPathOf(name_or_address, &path)) return false;
  } else {
    path = LoadedPathNamed(static_cast<const char*>(name_or_address));
    if (path.empty()) return false;
  }
  // The program is opened by the null name; a library by its path, only when loaded.
  void* handle = path.empty()
                     ? dlopen(nullptr, RTLD_NOW)
                     : dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD | (pin ? RTLD_NODELETE : 0));
  if (handle == nullptr) return false;
  // A pinned module never goes, so its handle stays good without the reference.
  if (pin || (flags & kGetModuleHandleExFlagUnchangedRefcount) != 0) dlclose(handle);
  *module = FromLoader(handle);
  return true;
}

uint32_t GetModuleFileName(ModuleHandle module, char* buffer, uint32_t size) {
  if (module == nullptr) return GetModuleFileName(buffer, size);
  link_map* object = nullptr;
  if (dlinfo(ToLoader(module), RTLD_DI_LINKMAP, &object) != 0 || object == nullptr) {
    if (buffer != nullptr && size > 0) buffer[0] = '\0';
    return 0;
  }
  if (object->l_name == nullptr || object->l_name[0] == '\0') return GetModuleFileName(buffer, size);
  return CopyModulePath(object->l_name, std::strlen(object->l_name), buffer, size);
}

uint32_t GetModuleFileName(char* buffer, uint32_t size) {
  if (buffer == nullptr || size == 0) return 0;
  // readlink neither terminates nor says whether it cut the path, so read into a buffer
  // that grows until the link text fits with room to spare; only then can the Windows
  // truncation rule be applied exactly.
  std::vector<char> path(512);
  ssize_t length;
  for (;;) {
    length = readlink("/proc/self/exe", path.data(), path.size());
    if (length < 0) {
      buffer[0] = '\0';
      return 0;
    }
    if (static_cast<size_t>(length) < path.size()) break;
    path.resize(path.size() * 2);
  }
  return CopyModulePath(path.data(), static_cast<size_t>(length), buffer, size);
}

}  // namespace platform
