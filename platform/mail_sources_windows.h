// The mail source reader's system part on Windows (included through mail_sources.h): a
// source's handle, the one trust rule and the passwd-file's bound. The sources have the same
// layout and formats as on the other systems.
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
#include <string>
#include <utility>
#include <vector>

namespace platform {

// A passwd-file larger than this is not read (0x80004005).
inline constexpr size_t kMaxPasswdFileBytes = 2u << 20;

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

// A source held open.
using MailSourceHandle = FileHandle;

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

}  // namespace platform

#endif  // PLATFORM_MAIL_SOURCES_WINDOWS_H_
