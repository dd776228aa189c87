// Reading the passwd-file and the public folder root.
//
// Thread safety: see storage_sources.h.
#include "standins/cvstorage/storage_sources.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <memory>
#include <set>
#include <string_view>
#include <system_error>

#include "platform/errors_posix.h"
#include "platform/machine_root.h"
#include "platform/registry.h"
#include "platform/unicode.h"
#include "standins/wire/unique_fd.h"

namespace cvstorage {
namespace {

using wire::UniqueFd;

constexpr std::string_view kMailboxUrlPrefix = "file://./backofficestorage/";
constexpr std::string_view kPublicFolderUrlPrefix =
    "file://./BackOfficeStorage/localhost/public folders/";

struct DirClose {
  void operator()(DIR* dir) const { closedir(dir); }
};

// Another account's file or folder, or one that everyone may change, could say anything.
bool Trusted(const struct stat& info, const std::string& path) {
  if (info.st_uid != geteuid() && info.st_uid != 0) {
    Log("%s: belongs to another account, not used", path.c_str());
    return false;
  }
  if ((info.st_mode & S_IWOTH) != 0) {
    Log("%s: writable by everyone, not used", path.c_str());
    return false;
  }
  return true;
}

// A REG_SZ value of the storage key as a path, or `fallback` under the machine root.
std::string PathValue(const platform::RegistryKey& key, const char* name, const char* fallback) {
  platform::RegistryValue value;
  std::string text;
  if (key.is_open() && platform::LocalMachine().QueryValue(key, name, &value) == 0) {
    text = std::move(value.data);
    while (!text.empty() && text.back() == '\0') text.pop_back();
    if (value.type != platform::kRegSz || text.empty() || text.find('\0') != std::string::npos) {
      Log("%s\\%s is not a path; using the default", kStorageKey, name);
      text.clear();
    }
  }
  if (text.empty()) text = fallback;
  return text.front() == '/' ? text : platform::MachineFile(text);
}

std::vector<std::string_view> Split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  for (size_t start = 0;;) {
    size_t end = text.find(separator, start);
    parts.push_back(text.substr(start, end == std::string_view::npos ? end : end - start));
    if (end == std::string_view::npos) return parts;
    start = end + 1;
  }
}

bool IsNumberOrEmpty(std::string_view field) {
  return field.find_first_not_of("0123456789") == std::string_view::npos;
}

// Why a passwd-file line cannot be a mailbox, or null when it can.
const char* LineProblem(const std::vector<std::string_view>& fields) {
  if (fields.size() < 5) return "fewer than five fields";
  const std::string_view user = fields[0];
  const size_t at = user.find('@');
  if (at == std::string_view::npos) return "the user has no '@'";
  if (at == 0 || at + 1 == user.size() || user.find('@', at + 1) != std::string_view::npos)
    return "the user is not local-part@domain";
  if (!IsNumberOrEmpty(fields[2]) || !IsNumberOrEmpty(fields[3]))
    return "the uid or gid is not a number";
  return nullptr;
}

}  // namespace

StoragePaths ReadStoragePaths() {
  platform::RegistryKey key;
  platform::LocalMachine().OpenKey(kStorageKey, platform::kKeyQueryValue, &key);
  return {PathValue(key, kPasswdFileValue, "mail/passwd"),
          PathValue(key, kPublicFolderRootValue, "mail/public")};
}

StorageList ReadMailboxes(const std::string& passwd_file) {
  StorageList list;
  // O_NONBLOCK: a FIFO put in the file's place must not stall the server.
  UniqueFd fd(open(passwd_file.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  struct stat info;
  if (!fd.valid() || fstat(fd.get(), &info) != 0) {
    const int error = errno;
    list.status = platform::ResultFromErrno(error, platform::kErrorFileNotFound);
    Log("%s: %s", passwd_file.c_str(), ErrorText(error).c_str());
    return list;
  }
  if (!S_ISREG(info.st_mode) || info.st_size > off_t{kMaxPasswdFileBytes}) {
    list.status = kEFail;
    Log("%s: not a regular file of at most %lld bytes", passwd_file.c_str(),
        static_cast<long long>(off_t{kMaxPasswdFileBytes}));
    return list;
  }
  if (!Trusted(info, passwd_file)) {
    list.status = kAccessDenied;
    return list;
  }
  std::string text;
  char chunk[64 * 1024];
  for (ssize_t got; (got = read(fd.get(), chunk, sizeof chunk)) != 0;) {
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 || text.size() + static_cast<size_t>(got) > kMaxPasswdFileBytes) {
      list.status = kEFail;
      Log("%s: %s", passwd_file.c_str(), got < 0 ? ErrorText(errno).c_str() : "grew too large");
      return list;
    }
    text.append(chunk, static_cast<size_t>(got));
  }

  size_t number = 0;
  for (std::string_view line : Split(text, '\n')) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty() || line.front() == '#') continue;
    const std::vector<std::string_view> fields = Split(line, ':');
    if (const char* problem = LineProblem(fields)) {
      Log("%s:%zu: %s; line skipped", passwd_file.c_str(), number, problem);
      continue;
    }
    const std::string_view user = fields[0];
    const size_t at = user.find('@');
    std::string url(kMailboxUrlPrefix);
    url.append(user.substr(at + 1)).append("/mbx/").append(user.substr(0, at));
    list.entries.push_back({platform::Utf8ToUtf16(fields[4]), platform::Utf8ToUtf16(url),
                            platform::Utf8ToUtf16(user)});
  }
  return list;
}

StorageList ReadPublicFolders(const std::string& root) {
  StorageList list;
  UniqueFd dir(open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  struct stat info;
  if (!dir.valid() || fstat(dir.get(), &info) != 0) {
    const int error = errno;
    list.status = platform::ResultFromErrno(error, platform::kErrorPathNotFound);
    Log("%s: %s", root.c_str(), ErrorText(error).c_str());
    return list;
  }
  if (!Trusted(info, root)) {
    list.status = kAccessDenied;
    return list;
  }
  UniqueFd listing_fd(dup(dir.get()));
  std::unique_ptr<DIR, DirClose> listing(listing_fd.valid() ? fdopendir(listing_fd.get())
                                                            : nullptr);
  if (listing == nullptr) {
    const int error = errno;
    list.status = platform::ResultFromErrno(error, platform::kErrorPathNotFound);
    Log("%s: %s", root.c_str(), ErrorText(error).c_str());
    return list;
  }
  listing_fd.Release();  // closed with the listing

  // Each folder as its path of names; a set orders it depth-first, parents first.
  std::set<std::vector<std::string>> folders;
  while (const dirent* entry = readdir(listing.get())) {
    const std::string name = entry->d_name;
    if (name.size() < 2 || name[0] != '.' || name == "..") continue;
    const std::string path = root + "/" + name;
    if (fstatat(dir.get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (S_ISLNK(info.st_mode)) {
      Log("%s: a symbolic link, not followed", path.c_str());
      continue;
    }
    if (!S_ISDIR(info.st_mode) || !Trusted(info, path)) continue;
    std::vector<std::string> names;
    for (std::string_view part : Split(std::string_view(name).substr(1), '.'))
      names.emplace_back(part);
    bool empty_name = false;
    for (const std::string& part : names) empty_name |= part.empty();
    if (empty_name) {
      Log("%s: a folder name is empty; skipped", path.c_str());
      continue;
    }
    if (!platform::IsUtf8(name)) {
      Log("%s: a folder name is not UTF-8; skipped", path.c_str());
      continue;
    }
    // A child without its parent's folder still implies the parent, as a mail client
    // shows it.
    for (size_t depth = 1; depth <= names.size(); ++depth)
      folders.emplace(names.begin(), names.begin() + static_cast<ptrdiff_t>(depth));
  }

  for (const std::vector<std::string>& names : folders) {
    std::string url(kPublicFolderUrlPrefix);
    for (size_t i = 0; i < names.size(); ++i) url.append(i == 0 ? "" : "/").append(names[i]);
    list.entries.push_back(
        {platform::Utf8ToUtf16(names.back()), platform::Utf8ToUtf16(url), std::u16string()});
  }
  return list;
}

}  // namespace cvstorage
