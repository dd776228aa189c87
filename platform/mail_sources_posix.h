// The one reader of the mail sources: the passwd-file of the mailboxes and the Maildir++
// public folder root, both named by the storage settings. The storage server lists them
// whole; the store provider looks up one mailbox or one folder at a time. Both read through
// here, so that they see the same mailboxes and folders and believe the same files.
//
// Which files and folders are believed (the one trust rule). A source is only as good as
// the accounts that could have written it. The machine root's owner (the servers' account)
// and root write the sources; the machine root's group (the administrators) may share in
// the writing. Nobody else may have had a hand in it. So a file or folder is trusted when
//   - it belongs to root or to the machine root's owner,
//   - everyone may not write it,
//   - a group may write it only when that group is the machine root's group, and
//   - no access list lets further accounts or groups write it (where it has one, its
//     group bits are the list's mask: a mask that allows writing is refused),
// whichever account reads it, and is not trusted otherwise. The machine root's owner and
// group are looked at anew for every reading; when the machine root cannot be looked at,
// only root's own files and folders that no group may write are trusted. Symbolic links
// are never followed: a configured path ending in one, or a link in the public folder
// root, is not a source.
//
// Thread safety: no state; the answers are the file system's and the hive's at the moment
// of asking.
#ifndef PLATFORM_MAIL_SOURCES_POSIX_H_
#define PLATFORM_MAIL_SOURCES_POSIX_H_

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/unique_fd.h"

namespace platform {

// The values of a storage settings key (below HKLM, the caller's): REG_SZ paths, absolute or
// relative to the machine root.
inline constexpr char kPasswdFileValue[] = "PasswdFile";
inline constexpr char kPublicFolderRootValue[] = "PublicFolderRoot";

// A passwd-file larger than this is not read (0x80004005).
inline constexpr size_t kMaxPasswdFileBytes = 16u << 20;

inline constexpr std::u16string_view kMailboxUrlPrefix = u"file://./backofficestorage/";

// Where a reader's notes go (what it passed over, and why); may be empty.
using MailSourceNote = std::function<void(const std::string& text)>;

// The accounts whose files are trusted besides root's: the machine root's owner and group.
struct MailSourceAccounts {
  uid_t owner = 0;
  gid_t group = static_cast<gid_t>(-1);  // none
};
MailSourceAccounts MachineRootAccounts();

// Why the file or folder `info` describes is not trusted, or null when it is.
// `access_list`: whether it carries an access list beyond its mode.
const char* WhyUntrusted(const struct stat& info, const MailSourceAccounts& accounts,
                         bool access_list);

// The same for the entry `name` of the open folder `dir_fd` (empty: `dir_fd` itself), which
// `info` describes; its access list is looked at when its mode lets a group write.
const char* WhyUntrustedAt(int dir_fd, const char* name, const struct stat& info,
                           const MailSourceAccounts& accounts);

// Appends what is left of `fd` to `text`, at most `max_bytes` in all: 0, EFBIG when there
// is more, or the errno of a failed read.
int ReadBounded(int fd, size_t max_bytes, std::string* text);

// The passwd-file path (kPasswdFileValue of `settings_key`, default mail/passwd) and the
// public folder root (kPublicFolderRootValue, default mail/public); a value that is no path
// is noted and the default used.
std::string PasswdFilePath(std::string_view settings_key, const MailSourceNote& note = {});
std::string PublicFolderRootPath(std::string_view settings_key, const MailSourceNote& note = {});

// One mailbox line `user@domain:password:uid:gid:gecos...` of a passwd-file.
struct MailboxLine {
  std::string_view user;  // local@domain
  std::string_view local;
  std::string_view domain;
  std::string_view gecos;
};

// Reads the passwd-file `path` and hands each mailbox line to `visit`, in the file's order,
// until `visit` answers false. Blank lines and lines starting with '#' are passed over; a
// line with fewer than five fields, a user that is not local@domain or a uid or gid that is
// not a number is skipped with a note "PATH:LINE: reason; line skipped". 0, or the failure
// that left the file unread: 0x80070002 (or another error of the file system in result
// form) when it cannot be opened, 0x80070005 when it is a symbolic link or not trusted,
// 0x80004005 when it is not a regular file, is larger than kMaxPasswdFileBytes or cannot be
// read. Every failure is noted.
uint32_t ReadPasswdFile(const std::string& path, const MailSourceNote& note,
                        const std::function<bool(const MailboxLine& line)>& visit);

// The URL of a mailbox: kMailboxUrlPrefix + domain + "/mbx/" + local part.
std::u16string MailboxUrl(const MailboxLine& line);

// Opens the public folder root `path` as a folder and checks it is trusted: 0 with `root`,
// or 0x80070003 (or another error of the file system in result form) when it cannot be
// opened, 0x80070005 when it is a symbolic link or not trusted; noted.
uint32_t OpenPublicFolderRoot(const std::string& path, const MailSourceAccounts& accounts,
                              const MailSourceNote& note, UniqueFd* root);

// The folder directories of the open public folder root `root_fd` (noted as `path`):
// directory `.A.B` is the folder A/B, given as its names joined by NUL ("A\0B"), sorted, so
// that a folder's subfolders follow it at once, in byte order of their names. A name is
// never empty and is UTF-8; a directory whose name breaks that, a symbolic link and a file
// are passed over (the first two noted). With `trusted_only`, a directory that is not
// trusted is passed over too, noted; without, the caller checks each folder it opens.
// 0, or the error of the file system in result form.
uint32_t ListFolderDirectories(int root_fd, const std::string& path,
                               const MailSourceAccounts* trusted_only, const MailSourceNote& note,
                               std::vector<std::string>* keys);

}  // namespace platform

#endif  // PLATFORM_MAIL_SOURCES_POSIX_H_
