// The storage server's two lists: the mailboxes of the passwd-file and the public folders of
// the Maildir++ root, read with the port's one mail source reader
// (platform/mail_sources_posix.h, mail_sources_windows.h on Windows: its paths, formats and
// trust rule), each note on standard error.
//
// Thread safety: the functions share nothing; each may run on any thread.
#ifndef STANDINS_CVSTORAGE_STORAGE_SOURCES_H_
#define STANDINS_CVSTORAGE_STORAGE_SOURCES_H_

#include <cstdint>
#include <string>
#include <vector>

#ifdef _WIN32
#include "platform/mail_sources_windows.h"
#else
#include "platform/mail_sources_posix.h"
#endif

namespace cvstorage {

using platform::kMaxPasswdFileBytes;

// The key of the storage settings (the mail source reader's values), below HKLM.
inline constexpr char kStorageKey[] = "SOFTWARE\\Veltmark\\Corvane\\Storage";

// Each walk holds the list made of the passwd-file, so reading one takes at most
// kBytesPerPasswdByte times its size of the memory budget (a line of a few bytes still
// makes a URL and a row).
inline constexpr size_t kBytesPerPasswdByte = 40;

struct StorageEntry {
  std::u16string name;
  std::u16string url;
  std::u16string email;
};

// One list as last read: `status` 0 with the entries, or the reader's failure that left it
// empty.
struct StorageList {
  uint32_t status = 0;
  std::vector<StorageEntry> entries;
};

// The mailboxes of a passwd-file in the file's order: name = gecos, e-mail = user, URL =
// the mailbox URL.
StorageList ReadMailboxes(const std::string& passwd_file);

// The public folders of a Maildir++ root that are trusted, with the parents a child implies,
// depth-first, parents before children, siblings in byte order: name = last name, URL =
// "file://./BackOfficeStorage/localhost/public folders/A/B", no e-mail.
StorageList ReadPublicFolders(const std::string& root);

}  // namespace cvstorage

#endif  // STANDINS_CVSTORAGE_STORAGE_SOURCES_H_
