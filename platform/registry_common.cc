// The local machine hive (registry.h) on every system: the limits of a key path, the checks
// of open keys, access, names and sizes, the buffer rules of QueryValue, Apply's order and
// its all-or-nothing, and the local machine's hive. The store under it, one key or value at
// a time, is the system's (registry_store.h).
//
// Thread safety: the checks are pure functions; the hive's calls are as safe as its store's.
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <system_error>
#include <utility>

#include "platform/machine_root.h"
#include "platform/registry.h"
#include "platform/registry_store.h"
#include "platform/unicode.h"

namespace platform {
namespace {

// Strips the outer backslashes and checks the path (KeyPathProblem). `out` gets the
// normalised path.
uint32_t NormalizePath(std::string_view path, std::string* out) {
  while (!path.empty() && path.front() == '\\') path.remove_prefix(1);
  while (!path.empty() && path.back() == '\\') path.remove_suffix(1);
  if (KeyPathProblem(path) != nullptr) return kErrorInvalidParameter;
  out->assign(path);
  return kErrorSuccess;
}

// The key is open on `hive` with every right in `needed`.
uint32_t CheckKey(const Hive* hive, const RegistryKey& key, uint32_t needed) {
  if (!key.is_open() || key.hive() != hive) return kErrorInvalidHandle;
  return (key.access() & needed) == needed ? kErrorSuccess : kErrorAccessDenied;
}

// Runs `body`; an exception (an allocation failure) ends here as kErrorRegistryIo.
template <typename Body>
uint32_t Guarded(Body&& body) {
  try {
    return body();
  } catch (...) {
    return kErrorRegistryIo;
  }
}

}  // namespace

const char* KeyPathProblem(std::string_view path) {
  if (path.empty()) return nullptr;  // the root
  size_t depth = 0;
  for (size_t start = 0; start <= path.size(); ++depth) {
    const size_t end = std::min(path.find('\\', start), path.size());
    const std::string_view name = path.substr(start, end - start);
    start = end + 1;
    if (name.empty()) return "a key name in the path is empty";
    if (name.find('\0') != std::string_view::npos) return "a key name holds a NUL character";
    // UTF-16 never takes more code units than UTF-8 takes bytes.
    if (name.size() > kMaxKeyNameLength && Utf8ToUtf16(name).size() > kMaxKeyNameLength)
      return "a key name is longer than 255 characters";
    if (depth == kMaxKeyDepth) return "the key path is more than 512 levels deep";
  }
  return nullptr;
}

Hive::Hive(std::string db_path) : store_(OpenRegistryStore(std::move(db_path))) {}
Hive::~Hive() = default;

const std::string& Hive::db_path() const { return store_->path(); }

uint32_t Hive::OpenKey(std::string_view subkey, uint32_t access, RegistryKey* key) {
  if (key == nullptr) return kErrorInvalidParameter;
  key->Close();
  return Guarded([&] {
    std::string path;
    StoredKey found;
    uint32_t result = NormalizePath(subkey, &path);
    if (result == kErrorSuccess) result = store_->Find(path, &found);
    if (result != kErrorSuccess) return result;
    key->hive_ = this;
    key->path_ = std::move(found.path);
    key->id_ = found.id;
    key->access_ = access;
    return kErrorSuccess;
  });
}

uint32_t Hive::OpenKey(const RegistryKey& parent, std::string_view subkey, uint32_t access,
                       RegistryKey* key) {
  uint32_t result = CheckKey(this, parent, 0);
  if (result != kErrorSuccess) return result;
  if (key == nullptr) return kErrorInvalidParameter;
  RegistryKey opened;  // `key` may be `parent`
  result = Guarded([&] {
    std::string relative, whole;
    StoredKey found;
    uint32_t status = NormalizePath(subkey, &relative);
    // The limits hold for the whole path.
    if (status == kErrorSuccess) status = NormalizePath(JoinPath(parent.path(), relative), &whole);
    if (status == kErrorSuccess)
      status = store_->FindBelow({parent.path(), parent.id_}, relative, whole, &found);
    if (status != kErrorSuccess) return status;
    opened.hive_ = this;
    opened.path_ = std::move(found.path);
    opened.id_ = found.id;
    opened.access_ = access;
    return kErrorSuccess;
  });
  if (result != kErrorSuccess) {
    key->Close();
    return result;
  }
  *key = std::move(opened);
  return kErrorSuccess;
}

uint32_t Hive::CreateKey(std::string_view subkey, uint32_t access, RegistryKey* key,
                         bool* created) {
  if (key == nullptr) return kErrorInvalidParameter;
  key->Close();
  return Guarded([&] {
    std::string path;
    StoredKey made;
    bool is_new = false;
    uint32_t result = NormalizePath(subkey, &path);
    if (result == kErrorSuccess) result = store_->Create(path, &made, &is_new);
    if (result != kErrorSuccess) return result;
    key->hive_ = this;
    key->path_ = std::move(made.path);
    key->id_ = made.id;
    key->access_ = access;
    if (created != nullptr) *created = is_new;
    return kErrorSuccess;
  });
}

uint32_t Hive::QueryValue(const RegistryKey& key, std::string_view name, uint32_t* type, void* data,
                          uint32_t* size) {
  uint32_t result = CheckKey(this, key, kKeyQueryValue);
  if (result != kErrorSuccess) return result;
  if (data != nullptr && size == nullptr) return kErrorInvalidParameter;
  RegistryValue value;
  result = QueryValue(key, name, &value);
  if (result != kErrorSuccess) return result;
  if (type != nullptr) *type = value.type;
  const auto needed = static_cast<uint32_t>(value.data.size());
  if (data != nullptr && *size < needed) {
    *size = needed;
    return kErrorMoreData;
  }
  if (data != nullptr && needed != 0) std::memcpy(data, value.data.data(), needed);
  if (size != nullptr) *size = needed;
  return kErrorSuccess;
}

uint32_t Hive::QueryValue(const RegistryKey& key, std::string_view name, RegistryValue* value) {
  uint32_t result = CheckKey(this, key, kKeyQueryValue);
  if (result != kErrorSuccess) return result;
  if (value == nullptr) return kErrorInvalidParameter;
  return Guarded([&] { return store_->Read({key.path(), key.id_}, name, value); });
}

uint32_t Hive::SetValue(const RegistryKey& key, std::string_view name, uint32_t type,
                        const void* data, uint32_t size) {
  uint32_t result = CheckKey(this, key, kKeySetValue);
  if (result != kErrorSuccess) return result;
  if ((data == nullptr && size != 0) || size > kMaxValueSize ||
      name.find('\0') != std::string_view::npos)
    return kErrorInvalidParameter;
  return Guarded([&] { return store_->Write({key.path(), key.id_}, name, type, data, size); });
}

uint32_t Hive::DeleteValue(const RegistryKey& key, std::string_view name) {
  uint32_t result = CheckKey(this, key, kKeySetValue);
  if (result != kErrorSuccess) return result;
  return Guarded([&] { return store_->Erase({key.path(), key.id_}, name); });
}

uint32_t Hive::EnumKey(const RegistryKey& key, uint32_t index, std::string* name) {
  uint32_t result = CheckKey(this, key, kKeyEnumerateSubKeys);
  if (result != kErrorSuccess) return result;
  if (name == nullptr) return kErrorInvalidParameter;
  return Guarded([&] { return store_->SubKey({key.path(), key.id_}, index, name); });
}

uint32_t Hive::EnumValues(const RegistryKey& key, std::vector<RegistryValue>* values) {
  uint32_t result = CheckKey(this, key, kKeyQueryValue);
  if (result != kErrorSuccess) return result;
  if (values == nullptr) return kErrorInvalidParameter;
  values->clear();
  result = Guarded([&] { return store_->ReadAll({key.path(), key.id_}, values); });
  if (result != kErrorSuccess) values->clear();
  return result;
}

uint32_t Hive::DeleteTree(std::string_view subkey) {
  return Guarded([&] {
    std::string path;
    uint32_t result = NormalizePath(subkey, &path);
    if (result != kErrorSuccess) return result;
    if (path.empty()) return kErrorAccessDenied;
    return store_->RemoveTree(path);
  });
}

uint32_t Hive::Apply(const std::vector<RegistryChange>& changes) {
  using Kind = RegistryChange::Kind;
  return Guarded([&] {
    // Everything the batch can be refused for is looked at before anything changes.
    std::vector<std::string> paths(changes.size());
    for (size_t i = 0; i < changes.size(); ++i) {
      const RegistryChange& change = changes[i];
      if (NormalizePath(change.key, &paths[i]) != kErrorSuccess) return kErrorInvalidParameter;
      if (change.kind == Kind::kDeleteKey && paths[i].empty()) return kErrorAccessDenied;
      if (change.kind == Kind::kSetValue && (change.value.data.size() > kMaxValueSize ||
                                             change.value.name.find('\0') != std::string::npos))
        return kErrorInvalidParameter;
    }
    std::unique_ptr<RegistryBatch> batch;
    uint32_t result = store_->Begin(&batch);
    for (size_t i = 0; result == kErrorSuccess && i < changes.size(); ++i) {
      const RegistryChange& change = changes[i];
      switch (change.kind) {
        case Kind::kCreateKey:
          result = batch->CreateKey(paths[i]);
          break;
        case Kind::kSetValue:
          result = batch->SetValue(paths[i], change.value);
          break;
        case Kind::kDeleteKey:
          result = batch->DeleteKey(paths[i]);
          break;
        case Kind::kDeleteValue:
          result = batch->DeleteValue(paths[i], change.value.name);
          break;
      }
    }
    // A batch not committed is undone as it goes.
    return result == kErrorSuccess ? batch->Commit() : result;
  });
}

namespace {

std::mutex local_machine_mutex;
// Never destroyed at exit: other threads may still use it then. ReleaseLocalMachine()
// is the orderly end.
Hive* local_machine = nullptr;

}  // namespace

Hive& LocalMachine() {
  std::lock_guard<std::mutex> lock(local_machine_mutex);
  if (local_machine == nullptr) {
    // A missing root folder is made here; when that fails, every call reports
    // kErrorRegistryIo, which is what the caller can act on.
    const std::string db_path = MachineFile("registry.db");
    std::error_code error;
    if (HiveNeedsMachineRoot(db_path)) std::filesystem::create_directories(MachineRoot(), error);
    local_machine = new Hive(db_path);
  }
  return *local_machine;
}

void ReleaseLocalMachine() {
  std::lock_guard<std::mutex> lock(local_machine_mutex);
  delete local_machine;
  local_machine = nullptr;
}

}  // namespace platform
