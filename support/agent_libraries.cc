#include "support/agent_libraries.h"

#include <atomic>
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "platform/library.h"
#include "platform/path.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "support/trace.h"

using support::TRACE_ERROR;
using support::TraceEnabled;
using support::TraceOut;

namespace support {

namespace {

using platform::kMaxPath;
using platform::ModuleHandle;

struct LibrarySlot {
  const char* file_name;
  std::atomic<ModuleHandle> handle{nullptr};
};

LibrarySlot g_libraries[] = {{platform::kPolicyLibraryFileName},
                             {platform::kClientLibraryFileName}};

LibrarySlot& Slot(AgentLibrary library) {
  return g_libraries[library == AgentLibrary::kPolicy ? 0 : 1];
}

// Beside the host executable: its full path with the part after the last separator
// replaced by the library's file name.
std::string PathBesideExecutable(const char* file_name) {
  char executable[kMaxPath];
  const uint32_t length = platform::GetModuleFileName(executable, kMaxPath);
  if (length == 0 || length >= kMaxPath) return std::string();
  const char* separator = std::strrchr(executable, platform::kPathSeparator);
  if (separator == nullptr) return std::string();
  return std::string(executable, static_cast<size_t>(separator + 1 - executable)) + file_name;
}

// The full path stored under the library's file name in the delay-loading key: its size
// first, then its data into a buffer of that size plus 5 bytes (at least MAX_PATH).
std::string PathFromRegistry(const char* file_name) {
  platform::Hive& hive = platform::LocalMachine();
  platform::RegistryKey key;
  if (hive.OpenKey(kDelayLoadingKey, platform::kKeyRead, &key) != platform::kErrorSuccess) {
    return std::string();
  }
  uint32_t size = 0;
  if (hive.QueryValue(key, file_name, nullptr, nullptr, &size) != platform::kErrorSuccess) {
    return std::string();
  }
  std::vector<char> buffer(std::max<uint32_t>(size + 5, kMaxPath), '\0');
  uint32_t read = static_cast<uint32_t>(buffer.size());
  if (hive.QueryValue(key, file_name, nullptr, buffer.data(), &read) != platform::kErrorSuccess) {
    return std::string();
  }
  return std::string(buffer.data(), strnlen(buffer.data(), read));
}

// A library of this file name that the process has loaded already, wherever from (the host
// extension links the client library): that copy is the one to use, as a second copy would
// hold sessions and state the first knows nothing of. Returns a new reference to it.
ModuleHandle OpenAlreadyLoaded(const char* file_name) {
  ModuleHandle module = nullptr;
  platform::GetModuleHandleEx(0, file_name, &module);
  return module;
}

ModuleHandle Load(LibrarySlot& slot) {
  ModuleHandle handle = slot.handle.load(std::memory_order_acquire);
  if (handle != nullptr) return handle;

  handle = OpenAlreadyLoaded(slot.file_name);
  // Full paths only (platform::LoadLibrary refuses any other): a bare name would make the
  // system search its library path.
  if (handle == nullptr) {
    handle = platform::LoadLibrary(PathBesideExecutable(slot.file_name).c_str());
  }
  if (handle == nullptr) handle = platform::LoadLibrary(PathFromRegistry(slot.file_name).c_str());
  if (handle == nullptr) return nullptr;

  ModuleHandle previous = slot.handle.exchange(handle, std::memory_order_acq_rel);
  // Another thread loaded the same library meanwhile: keep one reference.
  if (previous == handle) platform::FreeLibrary(handle);
  return handle;
}

}  // namespace

const char* AgentLibraryFileName(AgentLibrary library) { return Slot(library).file_name; }

void* ResolveAgentFunction(AgentLibrary library, const char* name, int32_t* error) {
  LibrarySlot& slot = Slot(library);
  ModuleHandle handle = Load(slot);
  if (handle == nullptr) {
    if (error != nullptr) *error = kAgentModuleNotFound;
    if (TraceEnabled) {
      TraceOut("", TRACE_ERROR, 0, "Unable to load %s for %s\n", slot.file_name, name);
    }
    return nullptr;
  }
  void* function = platform::GetProcAddress(handle, name);
  if (function == nullptr) {
    if (error != nullptr) *error = kAgentProcedureNotFound;
    if (TraceEnabled) {
      TraceOut("", TRACE_ERROR, 0, "Unable to find %s in %s\n", name, slot.file_name);
    }
  }
  return function;
}

void ReleaseAgentLibraries() {
  for (LibrarySlot& slot : g_libraries) {
    if (ModuleHandle handle = slot.handle.exchange(nullptr, std::memory_order_acq_rel)) {
      platform::FreeLibrary(handle);
    }
  }
}

}  // namespace support
