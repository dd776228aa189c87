// Where the storage server's lists come from: the mailboxes of a passwd-file and the public
// folders of a Maildir++ public folder root, both named in the hive.
//
// Files and folders are used only when they belong to the server's user or to root and are
// not writable by everyone; symbolic links inside the public folder root are not followed.
// Whatever is skipped is noted on standard error.
//
// Thread safety: the functions share nothing; each may run on any thread.
#ifndef STANDINS_CVSTORAGE_STORAGE_SOURCES_H_
#define STANDINS_CVSTORAGE_STORAGE_SOURCES_H_

#include <cstdint>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "standins/service/log.h"

namespace cvstorage {

using service::ErrorText;
using service::Log;

// Results a source can end with besides 0 and these: a failure of the file system in
// result form (0x80070002 no passwd-file, 0x80070003 no public folder root).
inline constexpr uint32_t kEFail = platform::kEFail;
inline constexpr uint32_t kAccessDenied = platform::kEAccessDenied;

// The key of the storage settings and its values.
inline constexpr const char* kStorageKey = "SOFTWARE\\Veltmark\\Corvane\\Storage";
inline constexpr const char* kPasswdFileValue = "PasswdFile";
inline constexpr const char* kPublicFolderRootValue = "PublicFolderRoot";

// A passwd-file may be written by the group, and each walk holds the list made of it: a
// larger file is not read (0x80004005), and reading one takes at most kBytesPerPasswdByte
// times its size of the memory budget (a line of a few bytes still makes a URL and a row).
inline constexpr size_t kMaxPasswdFileBytes = 2u << 20;
inline constexpr size_t kBytesPerPasswdByte = 40;

struct StorageEntry {
  std::u16string name;
  std::u16string url;
  std::u16string email;
};

// One list as last read: `status` 0 with the entries, or the failure that left it empty.
struct StorageList {
  uint32_t status = 0;
  std::vector<StorageEntry> entries;
};

struct StoragePaths {
  std::string passwd_file;
  std::string public_folder_root;
};

// The two paths from the hive (REG_SZ values under kStorageKey, a relative one taken from
// the machine root), each defaulting to mail/passwd and mail/public under the machine root.
StoragePaths ReadStoragePaths();

// The mailboxes of a passwd-file, one for each line `user@domain:password:uid:gid:gecos...`
// in the file's order: name = gecos, e-mail = user, URL =
// "file://./backofficestorage/" + domain + "/mbx/" + local part. Blank lines and lines
// starting with '#' are passed over; a malformed line (fewer than five fields, a user that
// is not local@domain, a uid or gid that is not a number) is skipped with a note.
StorageList ReadMailboxes(const std::string& passwd_file);

// The public folders of a Maildir++ root: every folder directory `.A`, `.A.B`, ... (a name
// is UTF-8 without '.' and '/'; another directory is skipped with a note), with the parents
// a child implies, depth-first, parents before children, siblings in byte order: name =
// last name, URL = "file://./BackOfficeStorage/localhost/public folders/A/B", no e-mail.
StorageList ReadPublicFolders(const std::string& root);

}  // namespace cvstorage

#endif  // STANDINS_CVSTORAGE_STORAGE_SOURCES_H_
