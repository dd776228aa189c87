#include "platform/trusted_path_posix.h"

#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

namespace platform {

bool TrustedEntry(const struct stat& info, bool folder) {
  if (info.st_uid != 0 && info.st_uid != geteuid()) return false;
  const bool others_write = (info.st_mode & S_IWOTH) != 0 ||
                            ((info.st_mode & S_IWGRP) != 0 && info.st_gid != getegid());
  return !others_write || (folder && (info.st_mode & S_ISVTX) != 0);
}

bool TrustedFolders(std::string folder) {
  if (folder.empty() || folder.front() != '/') return false;
  struct stat info {};
  while (true) {
    if (stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || !TrustedEntry(info, true)) {
      return false;
    }
    if (folder == "/") return true;
    const size_t slash = folder.rfind('/');
    folder.resize(slash == 0 ? 1 : slash);
  }
}

std::string TrustedFilePath(const char* path) {
  char resolved[PATH_MAX];
  if (realpath(path, resolved) == nullptr) return std::string();
  struct stat info {};
  if (stat(resolved, &info) != 0 || !S_ISREG(info.st_mode) || !TrustedEntry(info, false)) {
    return std::string();
  }
  const std::string file = resolved;
  const size_t slash = file.rfind('/');
  return TrustedFolders(file.substr(0, slash == 0 ? 1 : slash)) ? file : std::string();
}

}  // namespace platform
