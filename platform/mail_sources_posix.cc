// Reading the passwd-file and the public folder root, and the one trust rule for both.
//
// Thread safety: see mail_sources_posix.h.
#include "platform/mail_sources_posix.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <system_error>

#include "platform/errors_posix.h"
#include "platform/machine_root.h"
#include "platform/registry.h"
#include "platform/unicode.h"

namespace platform {
namespace {

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};

void Note(const MailSourceNote& note, const std::string& text) {
  if (note) note(text);
}

std::string ErrorText(int error) { return std::generic_category().message(error); }

// A path of the storage settings, or `fallback` under the machine root.
std::string StoragePath(std::string_view settings_key, const char* name, const char* fallback,
                        const MailSourceNote& note) {
  Hive& hive = LocalMachine();
  RegistryKey key;
  RegistryValue value;
  std::string text;
  if (hive.OpenKey(settings_key, kKeyQueryValue, &key) == 0 &&
      hive.QueryValue(key, name, &value) == 0) {
    text = std::move(value.data);
    while (!text.empty() && text.back() == '\0') text.pop_back();
    if (value.type != kRegSz || text.empty() || text.find('\0') != std::string::npos) {
      Note(note, std::string(settings_key) + "\\" + name + " is not a path; using the default");
      text.clear();
    }
  }
  if (text.empty()) text = fallback;
  return text.front() == '/' ? text : MachineFile(text);
}

bool IsNumberOrEmpty(std::string_view field) {
  return field.find_first_not_of("0123456789") == std::string_view::npos;
}

// Splits a passwd-file line into `line`; why it is no mailbox line, or null.
const char* ParseLine(std::string_view text, MailboxLine* line) {
  std::string_view fields[5];
  size_t count = 0;
  for (size_t start = 0; count < 5;) {
    const size_t colon = text.find(':', start);
    fields[count++] = text.substr(start, colon == text.npos ? colon : colon - start);
    if (colon == text.npos) break;
    start = colon + 1;
  }
  if (count < 5) return "fewer than five fields";
  const std::string_view user = fields[0];
  const size_t at = user.find('@');
  if (at == user.npos) return "the user has no '@'";
  if (at == 0 || at + 1 == user.size() || user.find('@', at + 1) != user.npos)
    return "the user is not local-part@domain";
  if (!IsNumberOrEmpty(fields[2]) || !IsNumberOrEmpty(fields[3]))
    return "the uid or gid is not a number";
  *line = {user, user.substr(0, at), user.substr(at + 1), fields[4]};
  return nullptr;
}

}  // namespace

MailSourceAccounts MachineRootAccounts() {
  struct stat info;
  if (stat(MachineRoot().c_str(), &info) != 0) return {};
  return {info.st_uid, info.st_gid};
}

const char* WhyUntrusted(const struct stat& info, const MailSourceAccounts& accounts,
                         bool access_list) {
  if (info.st_uid != 0 && info.st_uid != accounts.owner) return "belongs to another account";
  if ((info.st_mode & S_IWOTH) != 0) return "writable by everyone";
  if ((info.st_mode & S_IWGRP) == 0) return nullptr;
  if (info.st_gid != accounts.group) return "writable by a group other than the machine root's";
  if (access_list) return "writable by the accounts of an access list";
  return nullptr;
}

const char* WhyUntrustedAt(int dir_fd, const char* name, const struct stat& info,
                           const MailSourceAccounts& accounts) {
  bool access_list = false;
  if ((info.st_mode & S_IWGRP) != 0 && info.st_gid == accounts.group) {
    UniqueFd opened;
    int fd = dir_fd;
    if (name != nullptr && *name != '\0') {
      opened.Reset(openat(dir_fd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
      fd = opened.get();
    }
    // An access list that cannot be looked at is taken to be there; a file system without
    // access lists has none.
    access_list = fd < 0 || (fgetxattr(fd, "system.posix_acl_access", nullptr, 0) >= 0 ||
                             (errno != ENODATA && errno != ENOTSUP));
  }
  return WhyUntrusted(info, accounts, access_list);
}

int ReadBounded(int fd, size_t max_bytes, std::string* text) {
  char chunk[64 * 1024];
  for (ssize_t got; (got = read(fd, chunk, sizeof chunk)) != 0;) {
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return errno;
    if (text->size() + static_cast<size_t>(got) > max_bytes) return EFBIG;
    text->append(chunk, static_cast<size_t>(got));
  }
  return 0;
}

std::string PasswdFilePath(std::string_view settings_key, const MailSourceNote& note) {
  return StoragePath(settings_key, kPasswdFileValue, "mail/passwd", note);
}

std::string PublicFolderRootPath(std::string_view settings_key, const MailSourceNote& note) {
  return StoragePath(settings_key, kPublicFolderRootValue, "mail/public", note);
}

uint32_t ReadPasswdFile(const std::string& path, const MailSourceNote& note,
                        const std::function<bool(const MailboxLine& line)>& visit) {
  // O_NONBLOCK: a FIFO put in the file's place must not stall the reader.
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat info;
  if (!fd.valid() || fstat(fd.get(), &info) != 0) {
    const int error = errno;
    if (error == ELOOP) {
      Note(note, path + ": a symbolic link, not followed");
      return kEAccessDenied;
    }
    Note(note, path + ": " + ErrorText(error));
    return ResultFromErrno(error, kErrorFileNotFound);
  }
  if (!S_ISREG(info.st_mode) || info.st_size > static_cast<off_t>(kMaxPasswdFileBytes)) {
    Note(note, path + ": not a regular file of at most " + std::to_string(kMaxPasswdFileBytes) +
                   " bytes");
    return kEFail;
  }
  if (const char* why = WhyUntrustedAt(fd.get(), "", info, MachineRootAccounts())) {
    Note(note, path + ": " + why + ", not used");
    return kEAccessDenied;
  }
  std::string text;
  if (const int error = ReadBounded(fd.get(), kMaxPasswdFileBytes, &text); error != 0) {
    Note(note, path + ": " + (error == EFBIG ? "grew too large" : ErrorText(error)));
    return kEFail;
  }

  size_t number = 0;
  for (size_t start = 0; start <= text.size();) {
    const size_t end = std::min(text.find('\n', start), text.size());
    std::string_view line(text.data() + start, end - start);
    start = end + 1;
    ++number;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty() || line.front() == '#') continue;
    MailboxLine mailbox;
    if (const char* problem = ParseLine(line, &mailbox)) {
      Note(note, path + ":" + std::to_string(number) + ": " + problem + "; line skipped");
      continue;
    }
    if (!visit(mailbox)) break;
  }
  return 0;
}

std::u16string MailboxUrl(const MailboxLine& line) {
  std::u16string url(kMailboxUrlPrefix);
  url += Utf8ToUtf16(line.domain);
  url += u"/mbx/";
  url += Utf8ToUtf16(line.local);
  return url;
}

uint32_t OpenPublicFolderRoot(const std::string& path, const MailSourceAccounts& accounts,
                              const MailSourceNote& note, UniqueFd* root) {
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct stat info;
  if (!fd.valid() || fstat(fd.get(), &info) != 0) {
    const int error = errno;
    if (error == ELOOP) {
      Note(note, path + ": a symbolic link, not followed");
      return kEAccessDenied;
    }
    Note(note, path + ": " + ErrorText(error));
    return ResultFromErrno(error, kErrorPathNotFound);
  }
  if (const char* why = WhyUntrustedAt(fd.get(), "", info, accounts)) {
    Note(note, path + ": " + why + ", not used");
    return kEAccessDenied;
  }
  *root = std::move(fd);
  return 0;
}

uint32_t ListFolderDirectories(int root_fd, const std::string& path,
                               const MailSourceAccounts* trusted_only, const MailSourceNote& note,
                               std::vector<std::string>* keys) {
  keys->clear();
  UniqueFd listing_fd(openat(root_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  std::unique_ptr<DIR, DirCloser> listing(listing_fd.valid() ? fdopendir(listing_fd.get())
                                                             : nullptr);
  if (listing == nullptr) {
    const int error = errno;
    Note(note, path + ": " + ErrorText(error));
    return ResultFromErrno(error, kErrorPathNotFound);
  }
  listing_fd.Release();  // closed with the listing
  while (const dirent* entry = readdir(listing.get())) {
    const std::string_view name = entry->d_name;
    if (name.size() < 2 || name[0] != '.' || name == "..") continue;
    // No URL can name a folder with an empty name (".A..B", ".A.") or one not UTF-8.
    if (name[1] == '.' || name.back() == '.' || name.find("..") != name.npos) {
      Note(note, path + "/" + entry->d_name + ": a folder name is empty; skipped");
      continue;
    }
    if (!IsUtf8(name)) {
      Note(note, path + "/" + entry->d_name + ": a folder name is not UTF-8; skipped");
      continue;
    }
    struct stat info;
    const bool need_stat = entry->d_type == DT_UNKNOWN || trusted_only != nullptr;
    if (need_stat && fstatat(root_fd, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0) continue;
    const bool link = need_stat ? S_ISLNK(info.st_mode) : entry->d_type == DT_LNK;
    if (link) Note(note, path + "/" + entry->d_name + ": a symbolic link, not followed");
    if (need_stat ? !S_ISDIR(info.st_mode) : entry->d_type != DT_DIR) continue;
    if (trusted_only != nullptr) {
      if (const char* why = WhyUntrustedAt(root_fd, entry->d_name, info, *trusted_only)) {
        Note(note, path + "/" + entry->d_name + ": " + why + ", not used");
        continue;
      }
    }
    std::string& key = keys->emplace_back(name.substr(1));
    std::replace(key.begin(), key.end(), '.', '\0');
  }
  std::sort(keys->begin(), keys->end());
  return 0;
}

}  // namespace platform
