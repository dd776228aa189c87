// The local machine hive (registry.h) in Windows' own registry.
//
// Where the hive lives: the hive of the installed machine root is HKEY_LOCAL_MACHINE itself.
// Any other hive file (a test's machine root, a second emulated machine) is a small file that
// names a branch of its own, HKLM\SOFTWARE\Corvane\Hives\<number>, so emulated machines stay
// apart as their databases do elsewhere, and a file removed takes its hive with it. The
// branch itself stays in the registry: nothing tells the registry that its file went. A
// branch lies four levels down, which Windows counts against the 512 levels of a path (Wine
// does not); the installed hive has the whole depth.
//
// Data: REG_SZ (and the other string types) are the system's 8-bit text, UTF-8, as the
// narrow registry calls give them; they are stored as UTF-16, as Windows keeps strings, so
// other programs read them, and converted back when read. Valid UTF-8 reads back byte for
// byte, terminator or not; anything else comes back with U+FFFD, as through the narrow
// calls. Other types are stored as they are. Names compare as Windows compares them, which
// folds more than ASCII letters.
//
// Choices where the Windows calls leave room, as in the other hive:
//   - An open key is its path: a key deleted while open reports kErrorFileNotFound, and one
//     made again under the same path is the open key again.
//   - DeleteTree("") fails with kErrorAccessDenied: the root always exists.
//   - In Apply, deleting a key or value that does not exist is no change, and kSetValue
//     creates its key when missing.
//
// Apply: registry transactions exist in Windows but not in Wine (their calls are stubs
// there), so a batch keeps an undo log instead: before each change, what it replaces; on the
// first failure the log is played back, last change first. Other processes may see a batch
// half done while it runs, and a process killed in the middle leaves it half done.
//
// Thread safety: registry handles may be used from any thread; the hive keeps one handle,
// its root, opened at construction and closed at destruction.
#include "platform/registry.h"


#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <utility>

#include "platform/machine_root.h"
#include "platform/unicode.h"
#include "platform/win32_windows.h"

namespace platform {
namespace {

constexpr uint32_t kMaxValueSize = 1u << 30;
constexpr std::u16string_view kBranches = u"SOFTWARE\\Corvane\\Hives";
// The kernel's name of HKEY_LOCAL_MACHINE, which every key name below it starts with.
constexpr size_t kMachineNameLength = std::u16string_view(u"\\REGISTRY\\MACHINE").size();

const wchar_t* Wide(const std::u16string& text) {
  return reinterpret_cast<const wchar_t*>(text.c_str());
}

bool IsStringType(uint32_t type) {
  return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// A registry handle owned until the end of its scope.
class Key {
 public:
  Key() = default;
  explicit Key(HKEY key) : key_(key) {}
  ~Key() { Reset(); }
  Key(Key&& other) noexcept : key_(std::exchange(other.key_, nullptr)) {}
  Key& operator=(Key&& other) noexcept {
    if (this != &other) {
      Reset();
      key_ = std::exchange(other.key_, nullptr);
    }
    return *this;
  }

  HKEY get() const { return key_; }
  HKEY* out() {
    Reset();
    return &key_;
  }
  void Reset() {
    if (key_ != nullptr) RegCloseKey(key_);
    key_ = nullptr;
  }

 private:
  HKEY key_ = nullptr;
};

// Strips the outer backslashes and checks the path (KeyPathProblem).
uint32_t NormalizePath(std::string_view path, std::string* out) {
  while (!path.empty() && path.front() == '\\') path.remove_prefix(1);
  while (!path.empty() && path.back() == '\\') path.remove_suffix(1);
  if (KeyPathProblem(path) != nullptr) return kErrorInvalidParameter;
  out->assign(path);
  return kErrorSuccess;
}

std::string JoinPath(std::string_view parent, std::string_view child) {
  std::string path(parent);
  if (!path.empty() && !child.empty()) path += '\\';
  path += child;
  return path;
}

// The name order of the other hive: ASCII letters folded, then byte order.
bool NameLess(const std::string& a, const std::string& b) {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    const auto fold = [](unsigned char c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; };
    return fold(x) < fold(y);
  });
}

// The kernel's full name of an open key, first spellings kept. Empty when it cannot be read.
std::u16string KernelName(HKEY key) {
  using QueryKey = LONG(WINAPI*)(HANDLE, int, void*, ULONG, ULONG*);
  static const auto query = reinterpret_cast<QueryKey>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryKey")));
  constexpr int kKeyNameInformation = 3;
  if (query == nullptr) return {};
  std::string buffer(1024, '\0');
  for (;;) {
    ULONG needed = 0;
    const LONG status =
        query(key, kKeyNameInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
    if (status >= 0) break;
    // STATUS_BUFFER_OVERFLOW, STATUS_BUFFER_TOO_SMALL: room for the whole name.
    if (needed <= buffer.size()) return {};
    buffer.resize(needed);
  }
  ULONG length = 0;  // in bytes, then the name
  std::memcpy(&length, buffer.data(), sizeof length);
  std::u16string name(length / 2, u'\0');
  std::memcpy(name.data(), buffer.data() + sizeof length, name.size() * 2);
  return name;
}

// A file owned until the end of its scope.
class File {
 public:
  explicit File(HANDLE file) : file_(file) {}
  ~File() {
    if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
  }
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  HANDLE get() const { return file_; }

 private:
  HANDLE file_;
};

// The branch a hive file names: its file holds the branch's name, 16 hex digits.
constexpr size_t kBranchDigits = 16;

bool ReadBranch(const std::wstring& file_name, std::u16string* branch) {
  File file(CreateFileW(file_name.c_str(), GENERIC_READ,
                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  char digits[kBranchDigits + 1];
  DWORD read = 0;
  if (file.get() == INVALID_HANDLE_VALUE ||
      !ReadFile(file.get(), digits, sizeof digits, &read, nullptr) || read != kBranchDigits ||
      !std::all_of(digits, digits + kBranchDigits,
                   [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }))
    return false;
  branch->assign(digits, digits + kBranchDigits);
  return true;
}

// The branch of the hive file `db_path`, made with the file when there is none. A branch is
// never named after the file's path: a folder removed and made again under the same name
// (as temporary folders are) holds a new hive there, as it would hold a new database, so the
// file names a fresh number (of the process, the clock and a count), written whole under
// another name and moved into place; of two processes making it at once, the one whose move
// comes second reads the first one's.
bool BranchOf(const std::string& db_path, std::u16string* branch) {
  const std::wstring file_name = WideText(db_path);
  if (ReadBranch(file_name, branch)) return true;
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  static std::atomic<uint32_t> made{0};
  const uint64_t number = (static_cast<uint64_t>(GetCurrentProcessId()) << 44) ^
                          static_cast<uint64_t>(now.QuadPart) ^ (uint64_t{made++} << 32);
  char digits[kBranchDigits + 1];
  std::snprintf(digits, sizeof digits, "%016llx", static_cast<unsigned long long>(number));
  const std::wstring draft = file_name + L"." + WideText(digits);
  {
    File file(CreateFileW(draft.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                          FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    if (file.get() == INVALID_HANDLE_VALUE) return false;
    if (!WriteFile(file.get(), digits, kBranchDigits, &written, nullptr) ||
        written != kBranchDigits) {
      DeleteFileW(draft.c_str());
      return false;
    }
  }
  if (!MoveFileExW(draft.c_str(), file_name.c_str(), MOVEFILE_WRITE_THROUGH))
    DeleteFileW(draft.c_str());
  return ReadBranch(file_name, branch);
}

bool IsInstalledHive(const std::string& db_path) {
  namespace fs = std::filesystem;
  return fs::path(db_path).lexically_normal() ==
         (fs::path(kDefaultMachineRoot) / "registry.db").lexically_normal();
}

// What a value holds now, to put it back.
struct Saved {
  bool existed = false;
  RegistryValue value;
};

// A key as it was before a batch removed it: its path below the hive's root and its values,
// parents before their children.
struct SavedKey {
  std::string path;
  std::vector<RegistryValue> values;
};

}  // namespace

class Hive::Impl {
 public:
  explicit Impl(std::string path) : path_(std::move(path)) {
    if (IsInstalledHive(path_)) {
      installed_ = true;
      root_name_length_ = kMachineNameLength;
      return;
    }
    std::u16string name;
    if (!BranchOf(path_, &name)) return;
    const std::u16string branch = std::u16string(kBranches) + u"\\" + name;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, Wide(branch), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        branch_.out(), nullptr) != ERROR_SUCCESS) {
      branch_.Reset();
      return;
    }
    root_name_length_ = KernelName(branch_.get()).size();
  }

  bool usable() const { return installed_ || branch_.get() != nullptr; }
  HKEY root() const { return installed_ ? HKEY_LOCAL_MACHINE : branch_.get(); }

  // Opens `path` (normalised) below the root with `access`.
  uint32_t Open(const std::string& path, REGSAM access, Key* key) const {
    if (!usable()) return kErrorRegistryIo;
    const std::u16string wide = Utf8ToUtf16(path);
    return RegOpenKeyExW(root(), Wide(wide), 0, access, key->out());
  }

  // Creates `path` and its missing ancestors; `created` says whether the key was new.
  uint32_t Create(const std::string& path, REGSAM access, Key* key, bool* created) const {
    if (!usable()) return kErrorRegistryIo;
    const std::u16string wide = Utf8ToUtf16(path);
    DWORD disposition = 0;
    const LONG result = RegCreateKeyExW(root(), Wide(wide), 0, nullptr, 0, access, nullptr,
                                        key->out(), &disposition);
    if (created != nullptr) *created = disposition == REG_CREATED_NEW_KEY;
    return result;
  }

  // The path of an open key below the root as first spelled; `fallback` when the kernel
  // does not say.
  std::string StoredPath(HKEY key, const std::string& fallback) const {
    const std::u16string name = KernelName(key);
    if (name.size() < root_name_length_) return fallback;
    std::string stored = Utf16ToUtf8(std::u16string_view(name).substr(root_name_length_));
    if (!stored.empty() && stored.front() == '\\') stored.erase(0, 1);
    // Another spelling of the same names, or the kernel's name is not what it should be.
    return stored.size() == fallback.size() ? stored : fallback;
  }

  static uint32_t Read(HKEY key, std::string_view name, RegistryValue* value) {
    const std::u16string wide = Utf8ToUtf16(name);
    DWORD type = 0, size = 0;
    std::string data;
    LONG result;
    // Another writer may grow the value between the two calls: then ask again.
    do {
      result = RegQueryValueExW(key, Wide(wide), nullptr, &type, nullptr, &size);
      if (result != ERROR_SUCCESS) return result;
      data.resize(size);
      result = RegQueryValueExW(key, Wide(wide), nullptr, &type,
                                reinterpret_cast<BYTE*>(data.data()), &size);
    } while (result == ERROR_MORE_DATA);
    if (result != ERROR_SUCCESS) return result;
    data.resize(size);
    value->name.assign(name);
    value->type = type;
    if (IsStringType(type)) {
      std::u16string text(size / 2, u'\0');
      std::memcpy(text.data(), data.data(), text.size() * 2);
      value->data = Utf16ToUtf8(text);
    } else {
      value->data = std::move(data);
    }
    return kErrorSuccess;
  }

  static uint32_t Write(HKEY key, std::string_view name, uint32_t type, const void* data,
                        uint32_t size) {
    const std::u16string wide_name = Utf8ToUtf16(name);
    std::string bytes;
    if (IsStringType(type)) {
      const std::u16string text =
          Utf8ToUtf16(std::string_view(static_cast<const char*>(data), size));
      bytes.assign(reinterpret_cast<const char*>(text.data()), text.size() * 2);
    } else if (size != 0) {
      bytes.assign(static_cast<const char*>(data), size);
    }
    const auto length = static_cast<DWORD>(bytes.size());
    // RegSetValueExW adds a terminator to a string whose next character in memory is one
    // (Windows does so, and Wine after it): a non-NUL character after the data keeps the
    // value exactly as long as given.
    bytes.append(2, '\xFF');
    return RegSetValueExW(key, Wide(wide_name), 0, type,
                          reinterpret_cast<const BYTE*>(bytes.data()), length);
  }

  // Every value of an open key, in name order.
  static uint32_t ReadAll(HKEY key, std::vector<RegistryValue>* values) {
    values->clear();
    for (DWORD index = 0;; ++index) {
      wchar_t name[16384];  // the longest value name Windows allows, and its terminator
      DWORD length = sizeof name / sizeof name[0];
      const LONG result =
          RegEnumValueW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
      if (result == ERROR_NO_MORE_ITEMS) break;
      if (result != ERROR_SUCCESS) return result;
      RegistryValue value;
      const uint32_t read = Read(
          key, Utf16ToUtf8(std::u16string_view(reinterpret_cast<char16_t*>(name), length)), &value);
      if (read == kErrorFileNotFound) continue;  // deleted meanwhile
      if (read != kErrorSuccess) return read;
      values->push_back(std::move(value));
    }
    std::sort(values->begin(), values->end(), [](const RegistryValue& a, const RegistryValue& b) {
      return NameLess(a.name, b.name);
    });
    return kErrorSuccess;
  }

  // The names of the subkeys of an open key, in name order.
  static uint32_t SubKeys(HKEY key, std::vector<std::string>* names) {
    names->clear();
    for (DWORD index = 0;; ++index) {
      wchar_t name[kMaxKeyNameLength + 1];
      DWORD length = kMaxKeyNameLength + 1;
      const LONG result =
          RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
      if (result == ERROR_NO_MORE_ITEMS) break;
      if (result != ERROR_SUCCESS) return result;
      names->push_back(Utf16ToUtf8(std::u16string_view(reinterpret_cast<char16_t*>(name), length)));
    }
    std::sort(names->begin(), names->end(), NameLess);
    return kErrorSuccess;
  }

  // The key `path` and everything below it, parents first.
  uint32_t SaveTree(const std::string& path, std::vector<SavedKey>* saved) const {
    Key key;
    uint32_t result = Open(path, KEY_READ, &key);
    std::vector<std::string> children;
    if (result == kErrorSuccess) {
      saved->push_back({path, {}});
      result = ReadAll(key.get(), &saved->back().values);
    }
    if (result == kErrorSuccess) result = SubKeys(key.get(), &children);
    for (size_t i = 0; result == kErrorSuccess && i < children.size(); ++i)
      result = SaveTree(JoinPath(path, children[i]), saved);
    return result;
  }

  // The shortest ancestor of `path` (itself included) that does not exist; empty when the
  // whole path exists.
  std::string FirstMissing(const std::string& path) const {
    for (size_t end = 0; end <= path.size() && !path.empty();) {
      end = std::min(path.find('\\', end == 0 ? 0 : end + 1), path.size());
      const std::string prefix = path.substr(0, end);
      Key key;
      if (Open(prefix, KEY_READ, &key) == kErrorFileNotFound) return prefix;
      if (end == path.size()) break;
    }
    return {};
  }

  std::string path_;
  bool installed_ = false;
  Key branch_;
  size_t root_name_length_ = 0;
};

namespace {

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

Hive::Hive(std::string db_path) : impl_(std::make_unique<Impl>(std::move(db_path))) {}
Hive::~Hive() = default;

const std::string& Hive::db_path() const { return impl_->path_; }

uint32_t Hive::OpenKey(std::string_view subkey, uint32_t access, RegistryKey* key) {
  if (key == nullptr) return kErrorInvalidParameter;
  key->Close();
  return Guarded([&] {
    std::string path;
    Key opened;
    uint32_t result = NormalizePath(subkey, &path);
    if (result == kErrorSuccess) result = impl_->Open(path, KEY_READ, &opened);
    if (result != kErrorSuccess) return result;
    key->hive_ = this;
    key->path_ = impl_->StoredPath(opened.get(), path);
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
    Key handle;
    uint32_t status = NormalizePath(subkey, &relative);
    // The limits hold for the whole path.
    if (status == kErrorSuccess) status = NormalizePath(JoinPath(parent.path(), relative), &whole);
    if (status == kErrorSuccess) status = impl_->Open(whole, KEY_READ, &handle);
    if (status != kErrorSuccess) return status;
    opened.hive_ = this;
    opened.path_ = impl_->StoredPath(handle.get(), whole);
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
    Key handle;
    bool is_new = false;
    uint32_t result = NormalizePath(subkey, &path);
    if (result == kErrorSuccess) result = impl_->Create(path, KEY_READ, &handle, &is_new);
    if (result != kErrorSuccess) return result;
    key->hive_ = this;
    key->path_ = impl_->StoredPath(handle.get(), path);
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
  return Guarded([&] {
    Key handle;
    uint32_t status = impl_->Open(key.path(), KEY_QUERY_VALUE, &handle);
    return status == kErrorSuccess ? Impl::Read(handle.get(), name, value) : status;
  });
}

uint32_t Hive::SetValue(const RegistryKey& key, std::string_view name, uint32_t type,
                        const void* data, uint32_t size) {
  uint32_t result = CheckKey(this, key, kKeySetValue);
  if (result != kErrorSuccess) return result;
  if ((data == nullptr && size != 0) || size > kMaxValueSize ||
      name.find('\0') != std::string_view::npos)
    return kErrorInvalidParameter;
  return Guarded([&] {
    Key handle;
    uint32_t status = impl_->Open(key.path(), KEY_SET_VALUE, &handle);
    return status == kErrorSuccess ? Impl::Write(handle.get(), name, type, data, size) : status;
  });
}

uint32_t Hive::DeleteValue(const RegistryKey& key, std::string_view name) {
  uint32_t result = CheckKey(this, key, kKeySetValue);
  if (result != kErrorSuccess) return result;
  return Guarded([&] {
    Key handle;
    uint32_t status = impl_->Open(key.path(), KEY_SET_VALUE, &handle);
    if (status != kErrorSuccess) return status;
    const std::u16string wide = Utf8ToUtf16(name);
    return static_cast<uint32_t>(RegDeleteValueW(handle.get(), Wide(wide)));
  });
}

uint32_t Hive::EnumKey(const RegistryKey& key, uint32_t index, std::string* name) {
  uint32_t result = CheckKey(this, key, kKeyEnumerateSubKeys);
  if (result != kErrorSuccess) return result;
  if (name == nullptr) return kErrorInvalidParameter;
  return Guarded([&] {
    Key handle;
    std::vector<std::string> names;
    uint32_t status = impl_->Open(key.path(), KEY_ENUMERATE_SUB_KEYS, &handle);
    if (status == kErrorSuccess) status = Impl::SubKeys(handle.get(), &names);
    if (status != kErrorSuccess) return status;
    if (index >= names.size()) return kErrorNoMoreItems;
    *name = std::move(names[index]);
    return kErrorSuccess;
  });
}

uint32_t Hive::EnumValues(const RegistryKey& key, std::vector<RegistryValue>* values) {
  uint32_t result = CheckKey(this, key, kKeyQueryValue);
  if (result != kErrorSuccess) return result;
  if (values == nullptr) return kErrorInvalidParameter;
  values->clear();
  return Guarded([&] {
    Key handle;
    uint32_t status = impl_->Open(key.path(), KEY_QUERY_VALUE, &handle);
    if (status == kErrorSuccess) status = Impl::ReadAll(handle.get(), values);
    if (status != kErrorSuccess) values->clear();
    return status;
  });
}

uint32_t Hive::DeleteTree(std::string_view subkey) {
  return Guarded([&] {
    std::string path;
    uint32_t result = NormalizePath(subkey, &path);
    if (result != kErrorSuccess) return result;
    if (path.empty()) return kErrorAccessDenied;
    if (!impl_->usable()) return kErrorRegistryIo;
    const std::u16string wide = Utf8ToUtf16(path);
    return static_cast<uint32_t>(RegDeleteTreeW(impl_->root(), Wide(wide)));
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
    if (!impl_->usable()) return kErrorRegistryIo;

    // The undo log: keys the batch made (removed again), values it replaced or removed (put
    // back), subtrees it removed (made again). Played back last entry first.
    struct Undo {
      std::string made_key;
      std::string value_key;
      Saved value;
      std::vector<SavedKey> tree;
    };
    std::vector<Undo> log;
    uint32_t result = kErrorSuccess;
    for (size_t i = 0; result == kErrorSuccess && i < changes.size(); ++i) {
      const RegistryChange& change = changes[i];
      const std::string& path = paths[i];
      Undo undo;
      Key key;
      switch (change.kind) {
        case Kind::kCreateKey:
        case Kind::kSetValue:
          undo.made_key = impl_->FirstMissing(path);
          result = impl_->Create(path, KEY_ALL_ACCESS, &key, nullptr);
          if (result != kErrorSuccess || change.kind == Kind::kCreateKey) break;
          undo.value_key = path;
          undo.value.value.name = change.value.name;
          if (undo.made_key.empty()) {
            result = Impl::Read(key.get(), change.value.name, &undo.value.value);
            undo.value.existed = result == kErrorSuccess;
            if (result == kErrorFileNotFound) result = kErrorSuccess;
          }
          if (result == kErrorSuccess)
            result = Impl::Write(key.get(), change.value.name, change.value.type,
                                 change.value.data.data(),
                                 static_cast<uint32_t>(change.value.data.size()));
          break;
        case Kind::kDeleteKey:
          result = impl_->SaveTree(path, &undo.tree);
          if (result == kErrorFileNotFound) {
            result = kErrorSuccess;
            break;
          }
          if (result == kErrorSuccess) {
            const std::u16string wide = Utf8ToUtf16(path);
            result = RegDeleteTreeW(impl_->root(), Wide(wide));
          }
          break;
        case Kind::kDeleteValue:
          result = impl_->Open(path, KEY_ALL_ACCESS, &key);
          if (result == kErrorFileNotFound) {
            result = kErrorSuccess;
            break;
          }
          if (result == kErrorSuccess)
            result = Impl::Read(key.get(), change.value.name, &undo.value.value);
          if (result == kErrorFileNotFound) {
            result = kErrorSuccess;
            break;
          }
          if (result != kErrorSuccess) break;
          undo.value.existed = true;
          undo.value_key = path;
          {
            const std::u16string wide = Utf8ToUtf16(change.value.name);
            result = RegDeleteValueW(key.get(), Wide(wide));
          }
          break;
      }
      // Logged even when the change failed: what it did before failing is undone too.
      log.push_back(std::move(undo));
    }
    if (result == kErrorSuccess) return result;
    for (auto undo = log.rbegin(); undo != log.rend(); ++undo) {
      for (const SavedKey& saved : undo->tree) {
        Key key;
        if (impl_->Create(saved.path, KEY_ALL_ACCESS, &key, nullptr) != kErrorSuccess) continue;
        for (const RegistryValue& value : saved.values)
          Impl::Write(key.get(), value.name, value.type, value.data.data(),
                      static_cast<uint32_t>(value.data.size()));
      }
      if (!undo->value_key.empty()) {
        Key key;
        if (impl_->Open(undo->value_key, KEY_ALL_ACCESS, &key) == kErrorSuccess) {
          const RegistryValue& value = undo->value.value;
          if (undo->value.existed) {
            Impl::Write(key.get(), value.name, value.type, value.data.data(),
                        static_cast<uint32_t>(value.data.size()));
          } else {
            const std::u16string wide = Utf8ToUtf16(value.name);
            RegDeleteValueW(key.get(), Wide(wide));
          }
        }
      }
      if (!undo->made_key.empty()) {
        const std::u16string wide = Utf8ToUtf16(undo->made_key);
        RegDeleteTreeW(impl_->root(), Wide(wide));
      }
    }
    return result;
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
    // The folder of a hive file is made here, as elsewhere; when that fails, every call
    // reports kErrorRegistryIo.
    std::error_code error;
    if (!IsInstalledHive(MachineFile("registry.db")))
      std::filesystem::create_directories(MachineRoot(), error);
    local_machine = new Hive(MachineFile("registry.db"));
  }
  return *local_machine;
}

void ReleaseLocalMachine() {
  std::lock_guard<std::mutex> lock(local_machine_mutex);
  delete local_machine;
  local_machine = nullptr;
}

}  // namespace platform
