// The one reader of the mail sources: the passwd-file of the mailboxes and the Maildir++
// public folder root, both named by the storage settings. The storage server lists them
// whole; the store provider looks up one mailbox or one folder at a time. Both read through
// here, so that they see the same mailboxes and folders and believe the same files.
//
// The reader is the same on every system (mail_sources_common.cc); what a source's handle
// is, who may have written it and how large a passwd-file may be are the system's
// (mail_sources_posix.h, mail_sources_windows.h, included here: the one trust rule is
// described there).
//
// Thread safety: no state; the answers are the file system's and the hive's at the moment
// of asking.
#ifndef PLATFORM_MAIL_SOURCES_H_
#define PLATFORM_MAIL_SOURCES_H_

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#ifdef _WIN32
#include "platform/mail_sources_windows.h"
#else
#include "platform/mail_sources_posix.h"
#endif

namespace platform {

// The values of a storage settings key (below HKLM, the caller's): REG_SZ paths, absolute or
// relative to the machine root.
inline constexpr char kPasswdFileValue[] = "PasswdFile";
inline constexpr char kPublicFolderRootValue[] = "PublicFolderRoot";

inline constexpr std::u16string_view kMailboxUrlPrefix = u"file://./backofficestorage/";

// An open source as the calls below take it: its handle's value (a descriptor, a HANDLE).
using MailSourceRef = decltype(std::declval<const MailSourceHandle&>().get());

// Where a reader's notes go (what it passed over, and why); may be empty.
using MailSourceNote = std::function<void(const std::string& text)>;

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
// form) when it cannot be opened, 0x80070005 when it is a symbolic link (a reparse point)
// or not trusted, 0x80004005 when it is not a regular file, is larger than
// kMaxPasswdFileBytes or cannot be read. Every failure is noted.
uint32_t ReadPasswdFile(const std::string& path, const MailSourceNote& note,
                        const std::function<bool(const MailboxLine& line)>& visit);

// The URL of a mailbox: kMailboxUrlPrefix + domain + "/mbx/" + local part.
std::u16string MailboxUrl(const MailboxLine& line);

// Opens the public folder root `path` as a folder and checks it is trusted: 0 with `root`
// (on Windows held so that the folder cannot be renamed or removed while it is read), or
// 0x80070003 (or another error of the file system in result form) when it cannot be
// opened, 0x80070005 when it is a symbolic link (a reparse point) or not trusted; noted.
uint32_t OpenPublicFolderRoot(const std::string& path, const MailSourceAccounts& accounts,
                              const MailSourceNote& note, MailSourceHandle* root);

// The folder directories of the public folder root open as `root` (OpenPublicFolderRoot),
// noted as `path`: directory `.A.B` is the folder A/B, given as its names joined by NUL
// ("A\0B"), sorted, so that a folder's subfolders follow it at once, in byte order of their
// UTF-8 names. A name is never empty and is valid text (UTF-8 here; UTF-16 where the
// system's names are); a directory whose name breaks that, a symbolic link (a reparse
// point) and a file are passed over (the first two noted). With `trusted_only`, a directory
// that is not trusted is passed over too, noted; without, the caller checks each folder it
// opens. 0, or the error of the file system in result form.
uint32_t ListFolderDirectories(MailSourceRef root, const std::string& path,
                               const MailSourceAccounts* trusted_only, const MailSourceNote& note,
                               std::vector<std::string>* keys);

}  // namespace platform

#endif  // PLATFORM_MAIL_SOURCES_H_
