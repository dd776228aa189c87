// Whether the process may trust a file or folder that configuration names: a library it is
// to load, or a log that a process with more rights is to write. Trusted are the entries
// owned by the process's account or by the system's own accounts (SYSTEM, the
// Administrators, the installer), whose security descriptor lets no other account change
// them: no write, append, delete, change of permissions or of owner. A folder may let others
// add entries, as the root of a drive does, since they cannot replace one there.
//
// Thread safety: no state; the answers are the file system's at the moment of asking.
#ifndef PLATFORM_TRUSTED_PATH_WINDOWS_H_
#define PLATFORM_TRUSTED_PATH_WINDOWS_H_

#include <string>

namespace platform {

// `path` (a file, or a folder when `folder`) is owned and protected as above. False too
// when its security descriptor cannot be read.
bool TrustedEntry(const std::wstring& path, bool folder);

// The final path of `path` (links resolved, which must exist, without the "\\?\" prefix)
// when it is a file, not a folder, and it and every folder above it are trusted; else
// empty.
std::wstring TrustedFilePath(const std::wstring& path);

}  // namespace platform

#endif  // PLATFORM_TRUSTED_PATH_WINDOWS_H_
