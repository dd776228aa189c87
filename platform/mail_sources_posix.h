// The mail source reader's system part here (included through mail_sources.h): a source's
// handle, the one trust rule and the passwd-file's bound.
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
#include <string>

#include "platform/unique_fd.h"

namespace platform {

// A passwd-file larger than this is not read (0x80004005).
inline constexpr size_t kMaxPasswdFileBytes = 16u << 20;

// A source held open: a descriptor.
using MailSourceHandle = UniqueFd;

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

}  // namespace platform

#endif  // PLATFORM_MAIL_SOURCES_POSIX_H_
