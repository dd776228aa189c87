// Files with open(2) and write(2). Appending is O_APPEND, which the kernel applies to each
// write whole; the protections are creation modes (0640, or 0666 less the umask).
//
// Thread safety: no state of its own.
#include "platform/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>

#include "platform/trusted_path_posix.h"

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

// Rewrites `*path` to its folder's resolved path and its own name; false when that folder
// or one above it is not trusted (trusted_path_posix.h).
bool InTrustedFolder(std::string* path) {
  const size_t slash = path->rfind('/');
  const std::string folder = slash == std::string::npos ? "." : path->substr(0, slash == 0 ? 1 : slash);
  const std::string name = slash == std::string::npos ? *path : path->substr(slash + 1);
  char resolved[PATH_MAX];
  if (name.empty() || realpath(folder.c_str(), resolved) == nullptr || !TrustedFolders(resolved)) {
    return false;
  }
  const std::string base = resolved;
  *path = (base == "/" ? "" : base) + "/" + name;
  return true;
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
  const bool log = protection == FileProtection::kOwnerAndGroup;
  const mode_t mode = log ? kOwnerAndGroupMode : kDefaultMode;
  std::string target = path;
  if (log) {
    // A log's name comes from configuration (the registry, which a group may write): it is
    // never a link, a device or a pipe (opened without waiting, then refused), and a process
    // running as root writes one only in a folder no other account may change, by that
    // folder's resolved path.
    flags |= O_NOFOLLOW | O_NONBLOCK;
    if (geteuid() == 0 && !InTrustedFolder(&target)) {
      errno = EACCES;
      return kInvalidFileHandle;
    }
  }
  int fd;
  do {
    fd = open(target.c_str(), flags, mode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    // A link (ELOOP) or a pipe nobody reads (ENXIO) where a log should be: refused.
    if (log && (errno == ELOOP || errno == ENXIO)) errno = EACCES;
    return kInvalidFileHandle;
  }
  if (log) {
    struct stat status {};
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
      close(fd);
      errno = EACCES;
      return kInvalidFileHandle;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    Narrow(fd);
  }
  return FileHandle{fd};
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

bool CloseHandle(FileHandle file) {
  const int fd = static_cast<int>(file);
  if (fd < 0) {
    errno = EBADF;
    return false;
  }
  return close(fd) == 0;
}

}  // namespace platform
