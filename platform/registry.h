// The local machine registry hive.
//
// Every registry read and write of the system goes through this interface. It keeps the
// Windows meaning the rest of the code relies on: value types (REG_SZ 1, REG_BINARY 3,
// REG_DWORD 4), Windows error numbers as results, access masks checked on every call, key
// and value names compared without regard to ASCII case, and value data returned exactly
// as stored (a REG_SZ written without its terminator reads back without one).
//
// The hive lives in one SQLite database under the machine root (see machine_root.h), so
// every process on the machine sees the same registry. Every write is one transaction:
// two processes writing at once lose nothing, and a failed write leaves nothing behind.
//
// Thread safety: a Hive may be used from any number of threads at once. A RegistryKey is
// a plain value owned by one caller; it may be copied between threads but not shared
// while being closed.
#ifndef PLATFORM_REGISTRY_H_
#define PLATFORM_REGISTRY_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/errors.h"

namespace platform {

// Results are Windows error numbers (errors.h): kErrorSuccess; kErrorFileNotFound, no such
// key or value; kErrorAccessDenied, a key opened without the needed access;
// kErrorInvalidHandle, a key not open; kErrorInvalidParameter; kErrorMoreData, a buffer too
// small (the size says what is needed); kErrorNoMoreItems, an enumeration index past the
// end; kErrorRegistryIo, the hive could not be read or written.

// Value types.
inline constexpr uint32_t kRegNone = 0;
inline constexpr uint32_t kRegSz = 1;
inline constexpr uint32_t kRegBinary = 3;
inline constexpr uint32_t kRegDword = 4;

// Access masks.
inline constexpr uint32_t kKeyQueryValue = 0x0001;
inline constexpr uint32_t kKeySetValue = 0x0002;
inline constexpr uint32_t kKeyCreateSubKey = 0x0004;
inline constexpr uint32_t kKeyEnumerateSubKeys = 0x0008;
inline constexpr uint32_t kKeyRead = 0x20019;
inline constexpr uint32_t kKeyWrite = 0x20006;
inline constexpr uint32_t kKeyAllAccess = 0xF003F;

// The limits of a key path, as Windows has them: at most kMaxKeyDepth names below
// HKEY_LOCAL_MACHINE, each of at most kMaxKeyNameLength characters (UTF-16 code units).
inline constexpr size_t kMaxKeyDepth = 512;
inline constexpr size_t kMaxKeyNameLength = 255;

// The most bytes of data one value may hold: more is refused with kErrorInvalidParameter
// before any of it is read (below SQLite's own blob limit).
inline constexpr uint32_t kMaxValueSize = 1u << 30;

// Why `path` (key names below HKEY_LOCAL_MACHINE joined by single backslashes, "" for the
// root) cannot name a key: a name is empty, holds a NUL or is too long, or there are too
// many levels. Null when it can. Every call of the hive refuses such a path with
// kErrorInvalidParameter, after dropping backslashes at either end.
const char* KeyPathProblem(std::string_view path);

class Hive;
class RegistryStore;

// An open key: the key's path (backslash separated, no leading or trailing backslash,
// as first created) and the access it was opened with. Closing is only forgetting; the
// key itself stays in the hive. Default-constructed keys are closed.
class RegistryKey {
 public:
  RegistryKey() = default;

  bool is_open() const { return hive_ != nullptr; }
  const std::string& path() const { return path_; }
  uint32_t access() const { return access_; }
  Hive* hive() const { return hive_; }
  void Close() { hive_ = nullptr; path_.clear(); id_ = 0; access_ = 0; }

 private:
  friend class Hive;
  Hive* hive_ = nullptr;
  std::string path_;
  int64_t id_ = 0;  // the hive's row of the key when it was opened
  uint32_t access_ = 0;
};

// One value as enumerated or exported.
struct RegistryValue {
  std::string name;   // empty for the key's default value ("@")
  uint32_t type = kRegNone;
  std::string data;   // the stored bytes
};

// One change of an import batch (see Hive::Apply).
struct RegistryChange {
  enum class Kind { kCreateKey, kDeleteKey, kSetValue, kDeleteValue };
  Kind kind = Kind::kCreateKey;
  std::string key;  // key path below HKEY_LOCAL_MACHINE
  RegistryValue value;  // name, type and data for kSetValue; name for kDeleteValue
};

class Hive {
 public:
  // Opens (creating when missing) the hive database at `db_path`. Never fails: an
  // unusable database makes every later call return kErrorRegistryIo.
  explicit Hive(std::string db_path);
  ~Hive();
  Hive(const Hive&) = delete;
  Hive& operator=(const Hive&) = delete;

  const std::string& db_path() const;

  // RegOpenKeyEx: opens an existing key. `subkey` is relative to HKEY_LOCAL_MACHINE
  // (empty opens the root). Fails with kErrorFileNotFound when the key does not exist,
  // kErrorInvalidParameter when the path breaks the limits above.
  uint32_t OpenKey(std::string_view subkey, uint32_t access, RegistryKey* key);
  // RegOpenKeyEx relative to an open key.
  uint32_t OpenKey(const RegistryKey& parent, std::string_view subkey, uint32_t access,
                   RegistryKey* key);

  // RegCreateKeyEx: opens the key, creating it and every missing ancestor.
  // `created`, when not null, says whether the key was new.
  uint32_t CreateKey(std::string_view subkey, uint32_t access, RegistryKey* key,
                     bool* created = nullptr);

  // RegQueryValueEx. Needs kKeyQueryValue. `type`, `data` and `size` may each be null.
  // With `data` null, stores the size needed in *size and succeeds. With a buffer of
  // *size bytes that is too small, stores the size needed and returns kErrorMoreData
  // (nothing copied). On success *size holds the bytes copied.
  uint32_t QueryValue(const RegistryKey& key, std::string_view name, uint32_t* type,
                      void* data, uint32_t* size);
  // Convenience: the whole value.
  uint32_t QueryValue(const RegistryKey& key, std::string_view name, RegistryValue* value);

  // RegSetValueEx. Needs kKeySetValue (else kErrorAccessDenied). Stores the bytes as given.
  uint32_t SetValue(const RegistryKey& key, std::string_view name, uint32_t type,
                    const void* data, uint32_t size);

  // RegDeleteValue. Needs kKeySetValue. kErrorFileNotFound when there is no such value.
  uint32_t DeleteValue(const RegistryKey& key, std::string_view name);

  // RegEnumKeyEx: the name of subkey number `index` (in name order, without regard to
  // case). Needs kKeyEnumerateSubKeys. kErrorNoMoreItems past the end.
  uint32_t EnumKey(const RegistryKey& key, uint32_t index, std::string* name);

  // All values of a key, in name order. Needs kKeyQueryValue.
  uint32_t EnumValues(const RegistryKey& key, std::vector<RegistryValue>* values);

  // RegDeleteTree of `subkey` below HKEY_LOCAL_MACHINE: the key, its values and all its
  // subkeys. kErrorFileNotFound when it does not exist.
  uint32_t DeleteTree(std::string_view subkey);

  // Applies every change in one transaction: all of them or, on the first failure, none.
  uint32_t Apply(const std::vector<RegistryChange>& changes);

 private:
  std::unique_ptr<RegistryStore> store_;
};

// The hive of this machine: $CORVANE_ROOT/registry.db (see machine_root.h). Made at the
// first call, safe to call from any thread. A Hive notices when it is used in a process
// forked after it opened the database and opens its own connection there, so the same
// object serves parent and children.
Hive& LocalMachine();
// Closes the local machine hive (module shutdown). A later LocalMachine() reopens it.
void ReleaseLocalMachine();

}  // namespace platform

#endif  // PLATFORM_REGISTRY_H_
