// Whether the process may trust a file or folder that configuration names: a library it is
// to load, or a log that a process running as root is to write. Trusted are root's and the
// process's own account's, writable by no other account (not by everyone, nor by a group
// other than the process's own); a folder everyone may write counts when it is sticky (as
// /tmp), since there only an entry's owner may replace it.
//
// Thread safety: no state; the answers are the file system's at the moment of asking.
#ifndef PLATFORM_TRUSTED_PATH_POSIX_H_
#define PLATFORM_TRUSTED_PATH_POSIX_H_

#include <sys/stat.h>

#include <string>

namespace platform {

bool TrustedEntry(const struct stat& info, bool folder);

// `folder` (absolute, links resolved) and every folder above it are trusted.
bool TrustedFolders(std::string folder);

// The real path of `path` (links resolved, which must exist) when it is a regular file and
// it and every folder above it are trusted; else empty.
std::string TrustedFilePath(const char* path);

}  // namespace platform

#endif  // PLATFORM_TRUSTED_PATH_POSIX_H_
