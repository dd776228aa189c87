// Files with open(2) and write(2). Appending is O_APPEND, which the kernel applies to each
// write whole; the protections are creation modes (0640, or 0666 less the umask).
//
// Thread safety: no state of its own.
#include "platform/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "platform/machine_root.h"
#include "platform/unique_fd.h"

namespace platform {

namespace {

constexpr mode_t kOwnerAndGroupMode = 0640;
constexpr mode_t kDefaultMode = 0666;
constexpr uint32_t kKnownAccess = kGenericRead | kGenericWrite | kFileAppendData;

FileHandle Refuse() {
  errno = EINVAL;
  return kInvalidFileHandle;
}

// A file of this process's account that others may use keeps only what kOwnerAndGroup
// gives; one made earlier, or by hand, under a wider mode is narrowed so.
void Narrow(int fd) {
  struct stat status {};
  if (fstat(fd, &status) == 0 && status.st_uid == geteuid() && (status.st_mode & 07) != 0) {
    fchmod(fd, status.st_mode & kOwnerAndGroupMode);
  }
}

}  // namespace

FileHandle CreateFile(const char* path, uint32_t access, uint32_t disposition,
                      FileProtection protection) {
  const bool read = (access & kGenericRead) != 0;
  const bool write = (access & kGenericWrite) != 0;
  const bool append = (access & kFileAppendData) != 0;
  if (path == nullptr || (access & ~kKnownAccess) != 0 || (!read && !write && !append)) {
    return Refuse();
  }
  int flags = O_CLOEXEC | O_NOCTTY;
  if (write || append) {
    flags |= read ? O_RDWR : O_WRONLY;
  } else {
    flags |= O_RDONLY;
  }
  if (append && !write) flags |= O_APPEND;
  switch (disposition) {
    case kCreateNew:
      flags |= O_CREAT | O_EXCL;
      break;
    case kCreateAlways:
      flags |= O_CREAT | O_TRUNC;
      break;
    case kOpenExisting:
      break;
    case kOpenAlways:
      flags |= O_CREAT;
      break;
    case kTruncateExisting:
      flags |= O_TRUNC;
      break;
    default:
      return Refuse();
  }
  if ((flags & O_TRUNC) != 0 && !write && !append) return Refuse();
  const bool narrow = protection == FileProtection::kOwnerAndGroup;
  const mode_t mode = narrow ? kOwnerAndGroupMode : kDefaultMode;
  int fd;
  do {
    fd = open(path, flags, mode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return kInvalidFileHandle;
  if (narrow) Narrow(fd);
  return FileHandle{fd};
}

namespace {

// The parts of a path, without empty ones and "."; false when one is "..", which would make
// a path that reads as below a folder lead out of it.
bool SplitPath(const std::string& path, std::vector<std::string>* parts) {
  parts->clear();
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    const std::string part = path.substr(start, end - start);
    if (part == "..") return false;
    if (!part.empty() && part != ".") parts->push_back(part);
    start = end + 1;
  }
  return true;
}

// The account a log or a folder on its way may belong to: this process's, or the machine
// root's owner (the servers' account, whose files the group shares). A folder may also be
// root's, which no member of the group can change.
bool OwnedAsLogsMayBe(const struct stat& status, uid_t root_owner, bool folder) {
  return status.st_uid == geteuid() || status.st_uid == root_owner || (folder && status.st_uid == 0);
}

// What is wrong with an entry found at a log's name or on its way, or kNone.
LogRefusal Judge(const struct stat& status, uid_t root_owner, bool folder) {
  if (S_ISLNK(status.st_mode)) return LogRefusal::kLink;
  if (folder ? !S_ISDIR(status.st_mode) : !S_ISREG(status.st_mode)) {
    return LogRefusal::kNotRegularFile;
  }
  if (!OwnedAsLogsMayBe(status, root_owner, folder)) return LogRefusal::kOtherOwner;
  if (!folder && status.st_nlink != 1) return LogRefusal::kSeveralLinks;
  return LogRefusal::kNone;
}

// After an open of `name` in `folder` failed: the refusal when the entry there is the
// reason (a link, something else where a folder should be), else kNone with errno kept.
LogRefusal JudgeFailedOpen(int folder, const char* name, uid_t root_owner, bool as_folder) {
  const int error = errno;
  struct stat status {};
  if (error == ENOENT || fstatat(folder, name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
    errno = error;
    return LogRefusal::kNone;
  }
  const LogRefusal refusal = Judge(status, root_owner, as_folder);
  errno = error;
  return refusal;
}

FileHandle Refused(LogRefusal why, LogRefusal* refusal) {
  *refusal = why;
  errno = EACCES;
  return kInvalidFileHandle;
}

}  // namespace

FileHandle CreateLogFile(const char* name, uint32_t disposition, LogRefusal* refusal) {
  *refusal = LogRefusal::kNone;
  if (name == nullptr || name[0] == '\0' ||
      (disposition != kOpenAlways && disposition != kOpenExisting && disposition != kCreateNew)) {
    return Refuse();
  }
  // The path is judged as written, against the machine root as the environment gives it:
  // the parts below the log folder are then walked one by one, never through a link.
  const std::string root = MachineRoot();
  std::vector<std::string> parts, below;
  if (!SplitPath(name, &parts)) return Refused(LogRefusal::kOutsideLogFolder, refusal);
  if (strchr(name, '/') == nullptr) {
    below = parts;
  } else {
    std::vector<std::string> root_parts;
    if (name[0] != '/' || root[0] != '/' || !SplitPath(root, &root_parts)) {
      return Refused(LogRefusal::kOutsideLogFolder, refusal);
    }
    root_parts.push_back("logs");
    if (parts.size() > root_parts.size() &&
        std::equal(root_parts.begin(), root_parts.end(), parts.begin())) {
      below.assign(parts.begin() + static_cast<std::ptrdiff_t>(root_parts.size()), parts.end());
    }
  }
  if (below.empty()) return Refused(LogRefusal::kOutsideLogFolder, refusal);

  UniqueFd folder(open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  struct stat status {};
  if (!folder.valid() || fstat(folder.get(), &status) != 0) return kInvalidFileHandle;
  const uid_t root_owner = status.st_uid;
  below.insert(below.begin(), "logs");
  const std::string& file = below.back();
  for (size_t i = 0; i + 1 < below.size(); ++i) {
    UniqueFd next(openat(folder.get(), below[i].c_str(),
                         O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!next.valid()) {
      const LogRefusal why = JudgeFailedOpen(folder.get(), below[i].c_str(), root_owner, true);
      if (why != LogRefusal::kNone) return Refused(why, refusal);
      return kInvalidFileHandle;
    }
    if (fstat(next.get(), &status) != 0) return kInvalidFileHandle;
    if (const LogRefusal why = Judge(status, root_owner, true); why != LogRefusal::kNone) {
      return Refused(why, refusal);
    }
    folder = std::move(next);
  }

  // Without following a link, without waiting on a pipe, and never emptying: a file there
  // is opened as it is, a missing one made here (O_EXCL, so that this open alone made it).
  const int flags = O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  UniqueFd log;
  for (int attempt = 0; attempt < 2 && !log.valid(); ++attempt) {
    const bool create = disposition != kOpenExisting &&
                        (disposition == kCreateNew || attempt == 0);
    int fd;
    do {
      fd = openat(folder.get(), file.c_str(), flags | (create ? O_CREAT | O_EXCL : 0),
                  kOwnerAndGroupMode);
    } while (fd < 0 && errno == EINTR);
    log.Reset(fd);
    if (log.valid()) break;
    // A file there: kOpenAlways opens it as it is, once.
    if (errno == EEXIST && disposition == kOpenAlways) continue;
    const LogRefusal why = JudgeFailedOpen(folder.get(), file.c_str(), root_owner, false);
    if (why != LogRefusal::kNone) return Refused(why, refusal);
    return kInvalidFileHandle;
  }
  if (!log.valid()) return kInvalidFileHandle;
  // What was opened is judged, not what was looked at before: the name may have changed.
  if (fstat(log.get(), &status) != 0) return kInvalidFileHandle;
  if (const LogRefusal why = Judge(status, root_owner, false); why != LogRefusal::kNone) {
    return Refused(why, refusal);
  }
  fcntl(log.get(), F_SETFL, fcntl(log.get(), F_GETFL) & ~O_NONBLOCK);
  Narrow(log.get());
  return FileHandle{log.Release()};
}

bool WriteFile(FileHandle file, const void* data, uint32_t size, uint32_t* written) {
  const int fd = static_cast<int>(file);
  const auto* bytes = static_cast<const char*>(data);
  uint32_t done = 0;
  // One write for the whole; only a short one (a signal, a full disk) makes another.
  while (done < size) {
    const ssize_t count = write(fd, bytes + done, size - done);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) {
      if (count == 0) errno = ENOSPC;  // nothing more would go in
      *written = done;
      return false;
    }
    done += static_cast<uint32_t>(count);
  }
  *written = done;
  return true;
}

bool LogFileMoved(FileHandle file, const char* name) {
  struct stat open_file {};
  if (fstat(static_cast<int>(file), &open_file) != 0) return false;
  if (open_file.st_nlink == 0) return true;
  const std::string path =
      strchr(name, '/') == nullptr ? MachineFile(std::string("logs/") + name) : std::string(name);
  struct stat named {};
  if (lstat(path.c_str(), &named) != 0) return true;
  return named.st_dev != open_file.st_dev || named.st_ino != open_file.st_ino;
}

bool CloseHandle(FileHandle file) {
  const int fd = static_cast<int>(file);
  if (fd < 0) {
    errno = EBADF;
    return false;
  }
  return close(fd) == 0;
}

}  // namespace platform
