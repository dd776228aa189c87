// The storage server's two lists: the mailboxes of the passwd-file and the public folders of
// the Maildir++ root, read with the port's one mail source reader
// (platform/mail_sources.h: its paths, formats and trust rule), each note on standard error.
//
// Thread safety: the functions share nothing; each may run on any thread.
#ifndef STANDINS_CVSTORAGE_STORAGE_SOURCES_H_
#define STANDINS_CVSTORAGE_STORAGE_SOURCES_H_

#include <cstdint>
#include <string>
#include <vector>

#include "platform/mail_sources.h"
#include "support/text_rows.h"

namespace cvstorage {

using platform::kMaxPasswdFileBytes;

// The key of the storage settings (the mail source reader's values), below HKLM.
inline constexpr char kStorageKey[] = "SOFTWARE\\Veltmark\\Corvane\\Storage";

// Each walk holds the list made of the passwd-file, so reading one takes kBytesPerPasswdByte
// times its size of the memory budget before it starts (then what the list really holds).
// A list keeps a line's name and user and 24 bytes besides. Reading a file raised the peak
// by 1.97 times its size for realistic lines and by 4.75 times for the shortest lines there
// can be ("a@b::::", 8 bytes each): the file is held while it is read.
inline constexpr size_t kBytesPerPasswdByte = 5;

// One entry as the wire carries it.
struct StorageEntry {
  std::u16string name;
  std::u16string url;
  std::u16string email;
};

// One list as last read: `status` 0 with the entries, or the reader's failure that left it
// empty. The texts are kept packed in UTF-8 (support/text_rows.h), and a mailbox's URL is
// made from its user when it is served, not kept.
class StorageList {
 public:
  uint32_t status = 0;

  size_t size() const { return rows_.size(); }
  // Entry `index`'s texts into the three strings (their room is reused).
  void Get(size_t index, std::u16string* name, std::u16string* url, std::u16string* email) const;
  StorageEntry Entry(size_t index) const;
  // Every entry, for checks that compare whole lists.
  std::vector<StorageEntry> Entries() const;
  // What the list holds in memory.
  size_t HeldBytes() const { return rows_.HeldBytes(); }

 private:
  friend StorageList ReadMailboxes(const std::string& passwd_file);
  friend StorageList ReadPublicFolders(const std::string& root);
  bool mailbox_urls_ = false;  // the URL is the mailbox URL of the user (the e-mail)
  support::TextRows rows_;
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
