// The one reader of the mail sources on Windows: the passwd-file of the mailboxes and the
// Maildir++ public folder root, both named by the storage settings, in the same layout and
// formats as on the other systems. The store provider and the storage server read through
// here, so that they see the same mailboxes and folders and believe the same files.
//
// Which files and folders are believed (the one trust rule), read from each one's security
// descriptor. The machine root's owner (the servers' account), the local system account and
// the administrators write the sources; the machine root's group may share in the writing.
// Nobody else may have had a hand in it. So a file or folder is trusted when
//   - its owner is the local system account, the administrators or the machine root's
//     owner,
//   - it has an access list (none at all lets everyone do everything), and
//   - no entry of that list that applies to the object itself lets another account or
//     group write it, replace it, delete it or change its list or owner,
// whichever account reads it, and is not trusted otherwise. The machine root's owner and
// group are looked at anew for every reading; when the machine root cannot be looked at,
// only the system's and the administrators' own files are trusted. Reparse points
// (symbolic links, junctions) are never followed: a configured path ending in one, or one
// in the public folder root, is not a source.
//
// Thread safety: no state; the answers are the file system's and the hive's at the moment
// of asking.
#ifndef PLATFORM_MAIL_SOURCES_WINDOWS_H_
#define PLATFORM_MAIL_SOURCES_WINDOWS_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace platform {

// The values of a storage settings key (below HKLM, the caller's): REG_SZ paths, absolute or
// relative to the machine root.
inline constexpr char kPasswdFileValue[] = "PasswdFile";
inline constexpr char kPublicFolderRootValue[] = "PublicFolderRoot";

// A passwd-file larger than this is not read (0x80004005).
inline constexpr size_t kMaxPasswdFileBytes = 2u << 20;

inline constexpr std::u16string_view kMailboxUrlPrefix = u"file://./backofficestorage/";

// An owner for a Win32 file or folder handle (a HANDLE, kept as its bits so that this header
// needs no <windows.h>): closes it when it goes out of scope.
class FileHandle {
 public:
  FileHandle() = default;
  explicit FileHandle(void* handle) : handle_(handle) {}
  ~FileHandle() { Reset(); }
  FileHandle(FileHandle&& other) noexcept : handle_(other.Release()) {}
  FileHandle& operator=(FileHandle&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }

  void* get() const { return handle_; }
  bool valid() const { return handle_ != kInvalid; }
  void* Release() { return std::exchange(handle_, kInvalid); }
  void Reset(void* handle = kInvalid);

 private:
  static inline void* const kInvalid = reinterpret_cast<void*>(static_cast<intptr_t>(-1));
  void* handle_ = kInvalid;
};

// Opens the file or folder `path` (UTF-8) to read, without following a reparse point and
// without letting it be renamed or deleted while open: 0, or the Windows error.
// `*reparse_point` is set when `path` is one (the handle then refers to it, not its target).
uint32_t OpenSourceEntry(const std::string& path, bool folder, FileHandle* handle,
                         bool* reparse_point);

// Where a reader's notes go (what it passed over, and why); may be empty.
using MailSourceNote = std::function<void(const std::string& text)>;

// The accounts whose files are trusted besides the system's and the administrators': the
// machine root's owner and group, as security identifiers (empty: none).
struct MailSourceAccounts {
  std::vector<uint8_t> owner;
  std::vector<uint8_t> group;
};
MailSourceAccounts MachineRootAccounts();

// Why the file or folder open as `handle` is not trusted, or null when it is.
const char* WhyUntrusted(void* handle, const MailSourceAccounts& accounts);

// Appends what is left of `handle` to `text`, at most `max_bytes` in all: 0,
// kErrorFileTooLarge when there is more, or the Windows error of a failed read.
uint32_t ReadBounded(void* handle, size_t max_bytes, std::string* text);

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
// form) when it cannot be opened, 0x80070005 when it is a reparse point or not trusted,
// 0x80004005 when it is not a regular file, is larger than kMaxPasswdFileBytes or cannot be
// read. Every failure is noted.
uint32_t ReadPasswdFile(const std::string& path, const MailSourceNote& note,
                        const std::function<bool(const MailboxLine& line)>& visit);

// The URL of a mailbox: kMailboxUrlPrefix + domain + "/mbx/" + local part.
std::u16string MailboxUrl(const MailboxLine& line);

// Opens the public folder root `path` as a folder and checks it is trusted: 0 with `root`
// (held so that the folder cannot be renamed or removed while it is read), or 0x80070003
// (or another error of the file system in result form) when it cannot be opened, 0x80070005
// when it is a reparse point or not trusted; noted.
uint32_t OpenPublicFolderRoot(const std::string& path, const MailSourceAccounts& accounts,
                              const MailSourceNote& note, FileHandle* root);

// The folder directories of the public folder root open as `root` (OpenPublicFolderRoot),
// noted as `path`: directory `.A.B` is the folder A/B, given as its names joined by NUL
// ("A\0B"), sorted, so that a folder's subfolders follow it at once, in byte order of their
// UTF-8 names. A name is never empty; a directory whose name is empty or not valid UTF-16, a
// reparse point and a file are passed over (the first two noted). With `trusted_only`, a
// directory that is not trusted is passed over too, noted; without, the caller checks each
// folder it opens. 0, or the error of the file system in result form.
uint32_t ListFolderDirectories(void* root, const std::string& path,
                               const MailSourceAccounts* trusted_only, const MailSourceNote& note,
                               std::vector<std::string>* keys);

}  // namespace platform

#endif  // PLATFORM_MAIL_SOURCES_WINDOWS_H_
