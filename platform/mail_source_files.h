// What the mail source reader needs of the system, and what the system's file takes from
// the rest of the reader. mail_sources_common.cc holds the reader itself (the settings'
// paths, the passwd-file's lines, the order of the checks and every note, the folder names);
// each system's file (mail_sources_posix.cc, mail_sources_windows.cc) implements the calls
// below and the trust rule, and nothing else. Internal to the port: nothing outside the mail
// sources and the store provider includes it.
//
// Thread safety: no state.
#ifndef PLATFORM_MAIL_SOURCE_FILES_H_
#define PLATFORM_MAIL_SOURCE_FILES_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/mail_sources.h"

namespace platform {
namespace mail_sources {

// A failure as the system numbers it (an errno, a Windows error), or one of the reader's own
// two below, which no system uses.
using SystemError = uint32_t;
inline constexpr SystemError kSymbolicLink = 0xFFFFFFFF;  // not followed
inline constexpr SystemError kTooLarge = 0xFFFFFFFE;      // more than the bound

// What OpenSource found of the entry it opened.
struct SourceFacts {
  bool regular = false;  // a regular file (on Windows, a file on disk): asked of files only
  uint64_t size = 0;     // with `regular`
  const char* why_untrusted = nullptr;  // the trust rule's answer
};

// One entry of a public folder root as the system's listing found it.
class FolderEntry {
 public:
  enum Kind { kFolder, kLink, kOther };  // kOther: a file, or gone meanwhile

  std::string_view name;  // UTF-8

  // Whether the system's name is valid text.
  virtual bool IsText() = 0;
  // What the entry is; may ask the file system.
  virtual Kind Look() = 0;
  // Why the folder (after Look) is not trusted, or null.
  virtual const char* WhyUntrusted(const MailSourceAccounts& accounts) = 0;

 protected:
  ~FolderEntry() = default;
};

// What a listing is for: the arguments of ListFolderDirectories.
struct FolderListing {
  const std::string& path;
  const MailSourceAccounts* trusted_only;
  const MailSourceNote& note;
  std::vector<std::string>* keys;
};

// The system's file gives these.

bool IsAbsolutePath(std::string_view path);
std::string ErrorText(SystemError error);
// The result of failing to open a source (a folder when `folder`) with `error`.
uint32_t ResultOfOpenError(SystemError error, bool folder);
// Opens the source `path` (a folder when `folder`) to read, without following a link, and
// judges it by the trust rule for `accounts`: 0 with `handle` and `facts`, kSymbolicLink, or
// the failure.
SystemError OpenSource(const std::string& path, bool folder, const MailSourceAccounts& accounts,
                       MailSourceHandle* handle, SourceFacts* facts);
// Reads what is left of `source`, at most `max_bytes` in all: 0, kTooLarge, or the failure.
SystemError ReadSource(MailSourceRef source, size_t max_bytes, std::string* text);
// The note for a name that is not valid text ("a folder name is not ...").
extern const char* const kNameNotText;
// Lists the entries of the open root `root`, each through AddFolderEntry, in the system's
// order: 0, or the failure in result form, noted.
uint32_t ListRootEntries(MailSourceRef root, const FolderListing& listing);

// The rest of the reader gives these to the system's file.

void Note(const MailSourceNote& note, const std::string& text);
// Adds the key of `entry` when it is a folder directory, or notes why it is passed over.
void AddFolderEntry(FolderEntry& entry, const FolderListing& listing);

}  // namespace mail_sources
}  // namespace platform

#endif  // PLATFORM_MAIL_SOURCE_FILES_H_
