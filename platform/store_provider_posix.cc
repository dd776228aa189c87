// The store provider's public folder root over descriptors: a folder directory is opened
// relative to the root, and a walk's query learns what it needs from two looks at a folder's
// status where that tells enough.
//
// Thread safety: see store_root.h.
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/errors_posix.h"
#include "platform/mail_sources.h"
#include "platform/store_provider.h"
#include "platform/store_root.h"
#include "platform/unique_fd.h"

namespace platform {
namespace store {
namespace {

// A failure of the file system. ELOOP comes of O_NOFOLLOW meeting a link: not served.
uint32_t ResultOfErrno(int error) {
  return error == ELOOP ? kStoreEAccessDenied : ResultFromErrno(error, kErrorPathNotFound);
}

int64_t Nanoseconds(const timespec& t) {
  return static_cast<int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

// Opens the regular file `name` of a folder to read, without following a link; `max_size`
// bounds it.
uint32_t OpenServedFile(int dir_fd, const char* name, size_t max_size,
                        const MailSourceAccounts& accounts, UniqueFd* fd) {
  // O_NONBLOCK: a FIFO put in the file's place must not stall the caller.
  fd->Reset(openat(dir_fd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  struct stat info;
  if (!fd->valid() || fstat(fd->get(), &info) != 0) return ResultOfErrno(errno);
  if (!S_ISREG(info.st_mode) || static_cast<size_t>(info.st_size) > max_size ||
      WhyUntrustedAt(fd->get(), "", info, accounts) != nullptr) {
    fd->Reset();
    return kStoreEAccessDenied;
  }
  return 0;
}

class PosixStoreRoot final : public StoreRoot {
 public:
  uint32_t Open(const std::string& path) override {
    accounts_ = MachineRootAccounts();
    euid_ = geteuid();
    return OpenPublicFolderRoot(path, accounts_, {}, &root_);
  }

  uint32_t Look(RootStamp* stamp) override {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME_COARSE, &now);
    struct stat info;
    if (fstat(root_.get(), &info) != 0) return ResultOfErrno(errno);
    if (WhyUntrustedAt(root_.get(), "", info, accounts_) != nullptr) return kStoreEAccessDenied;
    *stamp = {Nanoseconds(info.st_mtim), Nanoseconds(info.st_ctim), Nanoseconds(now),
              1'000'000'000, static_cast<uint64_t>(info.st_dev),
              static_cast<uint64_t>(info.st_ino)};
    return 0;
  }

  uint32_t List(std::vector<std::string>* keys) override {
    return ListFolderDirectories(root_.get(), std::string(), nullptr, {}, keys);
  }

  uint32_t OpenFolder(std::string entry, std::string* address) override {
    if (address == nullptr) {
      if (const uint32_t hr = CheckFolderUnopened(&entry); hr != kNeedsOpening) return hr;
    }
    UniqueFd dir(openat(root_.get(), entry.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat info;
    if (!dir.valid()) {
      // A link or a file in the folder's place is not served.
      return errno == ELOOP || errno == ENOTDIR ? kStoreEAccessDenied : ResultOfErrno(errno);
    }
    if (fstat(dir.get(), &info) != 0) return ResultOfErrno(errno);
    if (WhyUntrustedAt(dir.get(), "", info, accounts_) != nullptr) return kStoreEAccessDenied;
    if (fstatat(dir.get(), kRemoteMarkFile, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(info.st_mode) &&
        WhyUntrustedAt(dir.get(), kRemoteMarkFile, info, accounts_) == nullptr) {
      return kExEFolderOnOtherServer;
    }
    if (address != nullptr) {
      UniqueFd file;
      if (OpenServedFile(dir.get(), kEmailAddressFile, kMaxEmailAddressFileBytes, accounts_,
                         &file) != 0 ||
          ReadBounded(file.get(), kMaxEmailAddressFileBytes, address) != 0) {
        address->clear();
      }
    }
    return 0;
  }

 private:
  static constexpr uint32_t kNeedsOpening = 1;

  // What opening the folder directory `*entry` of the root would find, from its status
  // alone: a walk queries every folder, and two looks cost less than opening it, looking,
  // looking for the mark and closing it. kNeedsOpening when its status cannot tell: when
  // opening it might be refused to this account (it is not its owner's with the owner's
  // read permission: the owner's class is the one no access list changes), or when its
  // access list must be read (it lets the machine root's group write). `*entry` gets the
  // mark's name appended.
  uint32_t CheckFolderUnopened(std::string* entry) {
    struct stat info;
    if (fstatat(root_.get(), entry->c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
      return errno == ENOENT ? ResultOfErrno(errno) : kNeedsOpening;
    }
    // A link or a file in the folder's place is not served.
    if (!S_ISDIR(info.st_mode)) return kStoreEAccessDenied;
    if (info.st_uid != euid_ || (info.st_mode & S_IRUSR) == 0 ||
        ((info.st_mode & S_IWGRP) != 0 && info.st_gid == accounts_.group)) {
      return kNeedsOpening;
    }
    if (WhyUntrusted(info, accounts_, false) != nullptr) return kStoreEAccessDenied;
    entry->append("/").append(kRemoteMarkFile);
    if (fstatat(root_.get(), entry->c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(info.st_mode) &&
        WhyUntrustedAt(root_.get(), entry->c_str(), info, accounts_) == nullptr) {
      return kExEFolderOnOtherServer;
    }
    return 0;
  }

  UniqueFd root_;
  MailSourceAccounts accounts_;
  uid_t euid_ = 0;  // this process's, when the root was opened
};

}  // namespace

std::unique_ptr<StoreRoot> MakeStoreRoot() { return std::make_unique<PosixStoreRoot>(); }

}  // namespace store
}  // namespace platform
