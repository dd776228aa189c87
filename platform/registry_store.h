// What the hive needs of the store under it, and what a store's file takes from the rest of
// the hive. registry_common.cc holds the hive itself (the checks of keys, access, paths,
// names, types and sizes, the buffer rules of QueryValue, Apply's order and its
// all-or-nothing, the local machine's hive); each store's file (registry_posix.cc, an SQLite
// database; registry_windows.cc, Windows' own registry) implements the reads and writes of
// one key or value below and nothing else. Paths handed to a store are normalised and
// within the limits (KeyPathProblem). Internal to the port: nothing outside those files
// includes it.
//
// Thread safety: a store may be used from any number of threads at once; a batch by the one
// thread that began it.
#ifndef PLATFORM_REGISTRY_STORE_H_
#define PLATFORM_REGISTRY_STORE_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry.h"

namespace platform {

// A key as the store found or made it: its path below the root as first spelled, and the
// store's own number for it where it has one.
struct StoredKey {
  std::string path;
  int64_t id = 0;
};

// `child` below `parent`, either of which may be the root's "".
inline std::string JoinPath(std::string_view parent, std::string_view child) {
  std::string path(parent);
  if (!path.empty() && !child.empty()) path += '\\';
  path += child;
  return path;
}

// An open key handed back to the store.
struct KeyRef {
  std::string_view path;
  int64_t id = 0;
};

// The changes of one Apply. What is not committed is undone when the batch goes.
class RegistryBatch {
 public:
  virtual ~RegistryBatch() = default;

  // Makes the key and its missing ancestors.
  virtual uint32_t CreateKey(const std::string& path) = 0;
  // Sets the value, making its key when missing.
  virtual uint32_t SetValue(const std::string& path, const RegistryValue& value) = 0;
  // Removes the key and all below it; no change when it does not exist.
  virtual uint32_t DeleteKey(const std::string& path) = 0;
  // Removes the value; no change when it or its key does not exist.
  virtual uint32_t DeleteValue(const std::string& path, std::string_view name) = 0;
  virtual uint32_t Commit() = 0;
};

class RegistryStore {
 public:
  explicit RegistryStore(std::string path) : path_(std::move(path)) {}
  virtual ~RegistryStore() = default;
  RegistryStore(const RegistryStore&) = delete;
  RegistryStore& operator=(const RegistryStore&) = delete;

  const std::string& path() const { return path_; }

  // The existing key at `path` below the root.
  virtual uint32_t Find(std::string_view path, StoredKey* key) = 0;
  // The existing key `relative` below the open key `parent`; `whole` is both joined.
  virtual uint32_t FindBelow(KeyRef parent, std::string_view relative, std::string_view whole,
                             StoredKey* key) = 0;
  // The key at `path`, made with its missing ancestors; `created` says whether it was new.
  virtual uint32_t Create(std::string_view path, StoredKey* key, bool* created) = 0;
  // The key at `path` (not the root) and all below it; kErrorFileNotFound when missing.
  virtual uint32_t RemoveTree(std::string_view path) = 0;
  // The name of subkey number `index` in name order; kErrorNoMoreItems past the end.
  virtual uint32_t SubKey(KeyRef key, uint32_t index, std::string* name) = 0;

  // One value; kErrorFileNotFound when there is none.
  virtual uint32_t Read(KeyRef key, std::string_view name, RegistryValue* value) = 0;
  // Every value, in name order.
  virtual uint32_t ReadAll(KeyRef key, std::vector<RegistryValue>* values) = 0;
  virtual uint32_t Write(KeyRef key, std::string_view name, uint32_t type, const void* data,
                         uint32_t size) = 0;
  // Removes one value; kErrorFileNotFound when there is none.
  virtual uint32_t Erase(KeyRef key, std::string_view name) = 0;

  // Starts the changes of one Apply.
  virtual uint32_t Begin(std::unique_ptr<RegistryBatch>* batch) = 0;

 private:
  const std::string path_;
};

// The store of the hive file `db_path`. Never fails: an unusable store answers every call
// with kErrorRegistryIo.
std::unique_ptr<RegistryStore> OpenRegistryStore(std::string db_path);

// Whether the machine root must be made for the hive file `db_path` to be usable.
bool HiveNeedsMachineRoot(const std::string& db_path);

}  // namespace platform

#endif  // PLATFORM_REGISTRY_STORE_H_
