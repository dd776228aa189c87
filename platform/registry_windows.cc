// The store of the local machine hive (registry.h, registry_store.h) in Windows' own
// registry.
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
#include "platform/registry_store.h"
#include "platform/unicode.h"
#include "platform/win32_windows.h"

namespace platform {
namespace {

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

class WindowsStore final : public RegistryStore {
 public:
  explicit WindowsStore(std::string path) : RegistryStore(std::move(path)) {
    if (IsInstalledHive(this->path())) {
      installed_ = true;
      root_name_length_ = kMachineNameLength;
      return;
    }
    std::u16string name;
    if (!BranchOf(this->path(), &name)) return;
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
  uint32_t OpenHandle(std::string_view path, REGSAM access, Key* key) const {
    if (!usable()) return kErrorRegistryIo;
    const std::u16string wide = Utf8ToUtf16(path);
    return RegOpenKeyExW(root(), Wide(wide), 0, access, key->out());
  }

  // Creates `path` and its missing ancestors; `created` says whether the key was new.
  uint32_t CreateHandle(std::string_view path, REGSAM access, Key* key, bool* created) const {
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
  std::string StoredPath(HKEY key, std::string_view fallback) const {
    const std::u16string name = KernelName(key);
    if (name.size() < root_name_length_) return std::string(fallback);
    std::string stored = Utf16ToUtf8(std::u16string_view(name).substr(root_name_length_));
    if (!stored.empty() && stored.front() == '\\') stored.erase(0, 1);
    // Another spelling of the same names, or the kernel's name is not what it should be.
    return stored.size() == fallback.size() ? stored : std::string(fallback);
  }

  static uint32_t ReadValue(HKEY key, std::string_view name, RegistryValue* value) {
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

  static uint32_t WriteValue(HKEY key, std::string_view name, uint32_t type, const void* data,
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
  static uint32_t AllValues(HKEY key, std::vector<RegistryValue>* values) {
    values->clear();
    for (DWORD index = 0;; ++index) {
      wchar_t name[16384];  // the longest value name Windows allows, and its terminator
      DWORD length = sizeof name / sizeof name[0];
      const LONG result =
          RegEnumValueW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
      if (result == ERROR_NO_MORE_ITEMS) break;
      if (result != ERROR_SUCCESS) return result;
      RegistryValue value;
      const uint32_t read = ReadValue(
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

  uint32_t Find(std::string_view path, StoredKey* key) override {
    Key handle;
    const uint32_t result = OpenHandle(path, KEY_READ, &handle);
    if (result == kErrorSuccess) key->path = StoredPath(handle.get(), path);
    return result;
  }

  // An open key is its path: the whole path finds the key.
  uint32_t FindBelow(KeyRef, std::string_view, std::string_view whole, StoredKey* key) override {
    return Find(whole, key);
  }

  uint32_t Create(std::string_view path, StoredKey* key, bool* created) override {
    Key handle;
    const uint32_t result = CreateHandle(path, KEY_READ, &handle, created);
    if (result == kErrorSuccess) key->path = StoredPath(handle.get(), path);
    return result;
  }

  uint32_t RemoveTree(std::string_view path) override {
    if (!usable()) return kErrorRegistryIo;
    const std::u16string wide = Utf8ToUtf16(path);
    return static_cast<uint32_t>(RegDeleteTreeW(root(), Wide(wide)));
  }

  uint32_t SubKey(KeyRef key, uint32_t index, std::string* name) override {
    Key handle;
    std::vector<std::string> names;
    uint32_t status = OpenHandle(key.path, KEY_ENUMERATE_SUB_KEYS, &handle);
    if (status == kErrorSuccess) status = SubKeys(handle.get(), &names);
    if (status != kErrorSuccess) return status;
    if (index >= names.size()) return kErrorNoMoreItems;
    *name = std::move(names[index]);
    return kErrorSuccess;
  }

  uint32_t Read(KeyRef key, std::string_view name, RegistryValue* value) override {
    Key handle;
    const uint32_t status = OpenHandle(key.path, KEY_QUERY_VALUE, &handle);
    return status == kErrorSuccess ? ReadValue(handle.get(), name, value) : status;
  }

  uint32_t ReadAll(KeyRef key, std::vector<RegistryValue>* values) override {
    Key handle;
    const uint32_t status = OpenHandle(key.path, KEY_QUERY_VALUE, &handle);
    return status == kErrorSuccess ? AllValues(handle.get(), values) : status;
  }

  uint32_t Write(KeyRef key, std::string_view name, uint32_t type, const void* data,
                 uint32_t size) override {
    Key handle;
    const uint32_t status = OpenHandle(key.path, KEY_SET_VALUE, &handle);
    return status == kErrorSuccess ? WriteValue(handle.get(), name, type, data, size) : status;
  }

  uint32_t Erase(KeyRef key, std::string_view name) override {
    Key handle;
    const uint32_t status = OpenHandle(key.path, KEY_SET_VALUE, &handle);
    if (status != kErrorSuccess) return status;
    const std::u16string wide = Utf8ToUtf16(name);
    return static_cast<uint32_t>(RegDeleteValueW(handle.get(), Wide(wide)));
  }

  uint32_t Begin(std::unique_ptr<RegistryBatch>* batch) override;

  // The key `path` and everything below it, parents first.
  uint32_t SaveTree(const std::string& path, std::vector<SavedKey>* saved) const {
    Key key;
    uint32_t result = OpenHandle(path, KEY_READ, &key);
    std::vector<std::string> children;
    if (result == kErrorSuccess) {
      saved->push_back({path, {}});
      result = AllValues(key.get(), &saved->back().values);
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
      if (OpenHandle(prefix, KEY_READ, &key) == kErrorFileNotFound) return prefix;
      if (end == path.size()) break;
    }
    return {};
  }

  bool installed_ = false;
  Key branch_;
  size_t root_name_length_ = 0;
};

// An Apply's changes with their undo log: before each change, what it replaces; unless
// committed, the log is played back when the batch goes, last change first.
class UndoBatch final : public RegistryBatch {
 public:
  explicit UndoBatch(WindowsStore* store) : store_(store) {}
  ~UndoBatch() override {
    if (!committed_) PlayBack();
  }

  uint32_t CreateKey(const std::string& path) override { return Make(path, nullptr); }
  uint32_t SetValue(const std::string& path, const RegistryValue& value) override {
    return Make(path, &value);
  }

  uint32_t DeleteKey(const std::string& path) override {
    Undo& undo = log_.emplace_back();
    uint32_t result = store_->SaveTree(path, &undo.tree);
    if (result == kErrorFileNotFound) return kErrorSuccess;
    if (result != kErrorSuccess) return result;
    const std::u16string wide = Utf8ToUtf16(path);
    return static_cast<uint32_t>(RegDeleteTreeW(store_->root(), Wide(wide)));
  }

  uint32_t DeleteValue(const std::string& path, std::string_view name) override {
    Undo& undo = log_.emplace_back();
    Key key;
    uint32_t result = store_->OpenHandle(path, KEY_ALL_ACCESS, &key);
    if (result == kErrorSuccess)
      result = WindowsStore::ReadValue(key.get(), name, &undo.value.value);
    if (result == kErrorFileNotFound) return kErrorSuccess;
    if (result != kErrorSuccess) return result;
    undo.value.existed = true;
    undo.value_key = path;
    const std::u16string wide = Utf8ToUtf16(name);
    return static_cast<uint32_t>(RegDeleteValueW(key.get(), Wide(wide)));
  }

  uint32_t Commit() override {
    committed_ = true;
    log_.clear();
    return kErrorSuccess;
  }

 private:
  // Keys the batch made (removed again), values it replaced or removed (put back), subtrees
  // it removed (made again). Logged before a change is tried: what a failed change did
  // before failing is undone too.
  struct Undo {
    std::string made_key;
    std::string value_key;
    Saved value;
    std::vector<SavedKey> tree;
  };

  // Makes the key at `path` and sets `value` in it when there is one.
  uint32_t Make(const std::string& path, const RegistryValue* value) {
    Undo& undo = log_.emplace_back();
    Key key;
    undo.made_key = store_->FirstMissing(path);
    uint32_t result = store_->CreateHandle(path, KEY_ALL_ACCESS, &key, nullptr);
    if (result != kErrorSuccess || value == nullptr) return result;
    undo.value_key = path;
    undo.value.value.name = value->name;
    if (undo.made_key.empty()) {
      result = WindowsStore::ReadValue(key.get(), value->name, &undo.value.value);
      undo.value.existed = result == kErrorSuccess;
      if (result == kErrorFileNotFound) result = kErrorSuccess;
    }
    if (result == kErrorSuccess)
      result = WindowsStore::WriteValue(key.get(), value->name, value->type, value->data.data(),
                                        static_cast<uint32_t>(value->data.size()));
    return result;
  }

  void PlayBack() {
    for (auto undo = log_.rbegin(); undo != log_.rend(); ++undo) {
      for (const SavedKey& saved : undo->tree) {
        Key key;
        if (store_->CreateHandle(saved.path, KEY_ALL_ACCESS, &key, nullptr) != kErrorSuccess)
          continue;
        for (const RegistryValue& value : saved.values)
          WindowsStore::WriteValue(key.get(), value.name, value.type, value.data.data(),
                                   static_cast<uint32_t>(value.data.size()));
      }
      if (!undo->value_key.empty()) {
        Key key;
        if (store_->OpenHandle(undo->value_key, KEY_ALL_ACCESS, &key) == kErrorSuccess) {
          const RegistryValue& value = undo->value.value;
          if (undo->value.existed) {
            WindowsStore::WriteValue(key.get(), value.name, value.type, value.data.data(),
                                     static_cast<uint32_t>(value.data.size()));
          } else {
            const std::u16string wide = Utf8ToUtf16(value.name);
            RegDeleteValueW(key.get(), Wide(wide));
          }
        }
      }
      if (!undo->made_key.empty()) {
        const std::u16string wide = Utf8ToUtf16(undo->made_key);
        RegDeleteTreeW(store_->root(), Wide(wide));
      }
    }
  }

  WindowsStore* const store_;
  std::vector<Undo> log_;
  bool committed_ = false;
};

uint32_t WindowsStore::Begin(std::unique_ptr<RegistryBatch>* batch) {
  if (!usable()) return kErrorRegistryIo;
  *batch = std::make_unique<UndoBatch>(this);
  return kErrorSuccess;
}

}  // namespace

std::unique_ptr<RegistryStore> OpenRegistryStore(std::string db_path) {
  return std::make_unique<WindowsStore>(std::move(db_path));
}

// The installed hive is HKEY_LOCAL_MACHINE itself; any other names a branch from its file.
bool HiveNeedsMachineRoot(const std::string& db_path) { return !IsInstalledHive(db_path); }

}  // namespace platform
