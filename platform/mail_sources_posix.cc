// The mail source reader's system part: opening, reading and listing through descriptors,
// and the one trust rule from the mode and the access list.
//
// Thread safety: see mail_sources.h.
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
#include "platform/mail_source_files.h"
#include "platform/unicode.h"

namespace platform {
namespace {

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};

// One entry of a listing: a directory entry, looked at once more only when its type is not
// given or its trust is asked.
class ListedEntry final : public mail_sources::FolderEntry {
 public:
  ListedEntry(int root_fd, const dirent* entry, bool trust_asked)
      : root_fd_(root_fd), entry_(entry), need_stat_(entry->d_type == DT_UNKNOWN || trust_asked) {
    name = entry->d_name;
  }

  bool IsText() override { return IsUtf8(name); }

  Kind Look() override {
    if (!need_stat_) {
      return entry_->d_type == DT_DIR ? kFolder : entry_->d_type == DT_LNK ? kLink : kOther;
    }
    if (fstatat(root_fd_, entry_->d_name, &info_, AT_SYMLINK_NOFOLLOW) != 0) return kOther;
    return S_ISDIR(info_.st_mode) ? kFolder : S_ISLNK(info_.st_mode) ? kLink : kOther;
  }

  const char* WhyUntrusted(const MailSourceAccounts& accounts) override {
    return WhyUntrustedAt(root_fd_, entry_->d_name, info_, accounts);
  }

 private:
  const int root_fd_;
  const dirent* const entry_;
  const bool need_stat_;
  struct stat info_;
};

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

namespace mail_sources {

const char* const kNameNotText = "a folder name is not UTF-8";

bool IsAbsolutePath(std::string_view path) { return path.front() == '/'; }

std::string ErrorText(SystemError error) {
  return std::generic_category().message(static_cast<int>(error));
}

uint32_t ResultOfOpenError(SystemError error, bool folder) {
  return ResultFromErrno(static_cast<int>(error), folder ? kErrorPathNotFound : kErrorFileNotFound);
}

SystemError OpenSource(const std::string& path, bool folder, const MailSourceAccounts& accounts,
                       UniqueFd* handle, SourceFacts* facts) {
  // O_NONBLOCK: a FIFO put in a file's place must not stall the reader.
  UniqueFd fd(open(path.c_str(), folder ? O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC
                                        : O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat info;
  if (!fd.valid() || fstat(fd.get(), &info) != 0) return errno == ELOOP ? kSymbolicLink : errno;
  facts->regular = S_ISREG(info.st_mode);
  facts->size = facts->regular ? static_cast<uint64_t>(info.st_size) : 0;
  facts->why_untrusted = WhyUntrustedAt(fd.get(), "", info, accounts);
  *handle = std::move(fd);
  return 0;
}

SystemError ReadSource(int source, size_t max_bytes, std::string* text) {
  const int error = ReadBounded(source, max_bytes, text);
  return error == EFBIG ? kTooLarge : error;
}

uint32_t ListRootEntries(int root, const FolderListing& listing) {
  UniqueFd listing_fd(openat(root, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  std::unique_ptr<DIR, DirCloser> entries(listing_fd.valid() ? fdopendir(listing_fd.get())
                                                             : nullptr);
  if (entries == nullptr) {
    const int error = errno;
    Note(listing.note, listing.path + ": " + ErrorText(error));
    return ResultFromErrno(error, kErrorPathNotFound);
  }
  listing_fd.Release();  // closed with the listing
  const bool trust_asked = listing.trusted_only != nullptr;
  while (const dirent* found = readdir(entries.get())) {
    ListedEntry entry(root, found, trust_asked);
    AddFolderEntry(entry, listing);
  }
  return 0;
}

}  // namespace mail_sources
}  // namespace platform
