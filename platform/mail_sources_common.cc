// Reading the passwd-file and the public folder root, the same on every system; the system's
// file opens, judges and lists (mail_source_files.h).
//
// Thread safety: see mail_sources.h.
#include <algorithm>

#include "platform/errors.h"
#include "platform/machine_root.h"
#include "platform/mail_source_files.h"
#include "platform/mail_sources.h"
#include "platform/path.h"
#include "platform/registry.h"
#include "platform/unicode.h"

namespace platform {
namespace mail_sources {

void Note(const MailSourceNote& note, const std::string& text) {
  if (note) note(text);
}

void AddFolderEntry(FolderEntry& entry, const FolderListing& listing) {
  const std::string_view name = entry.name;
  if (name.size() < 2 || name[0] != '.' || name == "..") return;
  const auto noted = [&](std::string_view what) {
    std::string text = listing.path;
    text.push_back(kPathSeparator);
    text.append(name).append(": ").append(what);
    Note(listing.note, text);
  };
  // No URL can name a folder with an empty name (".A..B", ".A.") or one that is no text.
  if (name[1] == '.' || name.back() == '.' || name.find("..") != name.npos) {
    noted("a folder name is empty; skipped");
    return;
  }
  if (!entry.IsText()) {
    noted(std::string(kNameNotText) + "; skipped");
    return;
  }
  const FolderEntry::Kind kind = entry.Look();
  if (kind == FolderEntry::kLink) noted("a symbolic link, not followed");
  if (kind != FolderEntry::kFolder) return;
  if (listing.trusted_only != nullptr) {
    if (const char* why = entry.WhyUntrusted(*listing.trusted_only)) {
      noted(std::string(why) + ", not used");
      return;
    }
  }
  std::string& key = listing.keys->emplace_back(name.substr(1));
  std::replace(key.begin(), key.end(), '.', '\0');
}

}  // namespace mail_sources

namespace {

using mail_sources::Note;

// A path of the storage settings, or `fallback` under the machine root.
std::string StoragePath(std::string_view settings_key, const char* name, const char* fallback,
                        const MailSourceNote& note) {
  Hive& hive = LocalMachine();
  RegistryKey key;
  RegistryValue value;
  std::string text;
  if (hive.OpenKey(settings_key, kKeyQueryValue, &key) == 0 &&
      hive.QueryValue(key, name, &value) == 0) {
    text = std::move(value.data);
    while (!text.empty() && text.back() == '\0') text.pop_back();
    if (value.type != kRegSz || text.empty() || text.find('\0') != std::string::npos) {
      Note(note, std::string(settings_key) + "\\" + name + " is not a path; using the default");
      text.clear();
    }
  }
  if (text.empty()) text = fallback;
  return mail_sources::IsAbsolutePath(text) ? text : MachineFile(text);
}

bool IsNumberOrEmpty(std::string_view field) {
  return field.find_first_not_of("0123456789") == std::string_view::npos;
}

// Splits a passwd-file line into `line`; why it is no mailbox line, or null.
const char* ParseLine(std::string_view text, MailboxLine* line) {
  std::string_view fields[5];
  size_t count = 0;
  for (size_t start = 0; count < 5;) {
    const size_t colon = text.find(':', start);
    fields[count++] = text.substr(start, colon == text.npos ? colon : colon - start);
    if (colon == text.npos) break;
    start = colon + 1;
  }
  if (count < 5) return "fewer than five fields";
  const std::string_view user = fields[0];
  const size_t at = user.find('@');
  if (at == user.npos) return "the user has no '@'";
  if (at == 0 || at + 1 == user.size() || user.find('@', at + 1) != user.npos)
    return "the user is not local-part@domain";
  if (!IsNumberOrEmpty(fields[2]) || !IsNumberOrEmpty(fields[3]))
    return "the uid or gid is not a number";
  *line = {user, user.substr(0, at), user.substr(at + 1), fields[4]};
  return nullptr;
}

// Opens the source `path` and judges it, noting why it is not used: 0, or the result.
uint32_t OpenNoted(const std::string& path, bool folder, const MailSourceAccounts& accounts,
                   const MailSourceNote& note, MailSourceHandle* handle,
                   mail_sources::SourceFacts* facts) {
  const mail_sources::SystemError error =
      mail_sources::OpenSource(path, folder, accounts, handle, facts);
  if (error == mail_sources::kSymbolicLink) {
    Note(note, path + ": a symbolic link, not followed");
    return kEAccessDenied;
  }
  if (error != 0) {
    Note(note, path + ": " + mail_sources::ErrorText(error));
    return mail_sources::ResultOfOpenError(error, folder);
  }
  return 0;
}

}  // namespace

std::string PasswdFilePath(std::string_view settings_key, const MailSourceNote& note) {
  return StoragePath(settings_key, kPasswdFileValue, "mail/passwd", note);
}

std::string PublicFolderRootPath(std::string_view settings_key, const MailSourceNote& note) {
  return StoragePath(settings_key, kPublicFolderRootValue, "mail/public", note);
}

uint32_t ReadPasswdFile(const std::string& path, const MailSourceNote& note,
                        const std::function<bool(const MailboxLine& line)>& visit) {
  MailSourceHandle file;
  mail_sources::SourceFacts facts;
  if (const uint32_t hr = OpenNoted(path, false, MachineRootAccounts(), note, &file, &facts);
      hr != 0) {
    return hr;
  }
  // A pipe or a device put in the file's place is no passwd-file (and must not stall the
  // reader).
  if (!facts.regular || facts.size > kMaxPasswdFileBytes) {
    Note(note, path + ": not a regular file of at most " + std::to_string(kMaxPasswdFileBytes) +
                   " bytes");
    return kEFail;
  }
  if (facts.why_untrusted != nullptr) {
    Note(note, path + ": " + facts.why_untrusted + ", not used");
    return kEAccessDenied;
  }
  std::string text;
  if (const mail_sources::SystemError error =
          mail_sources::ReadSource(file.get(), kMaxPasswdFileBytes, &text);
      error != 0) {
    Note(note, path + ": " +
                   (error == mail_sources::kTooLarge ? "grew too large"
                                                     : mail_sources::ErrorText(error)));
    return kEFail;
  }

  size_t number = 0;
  for (size_t start = 0; start <= text.size();) {
    const size_t end = std::min(text.find('\n', start), text.size());
    std::string_view line(text.data() + start, end - start);
    start = end + 1;
    ++number;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty() || line.front() == '#') continue;
    MailboxLine mailbox;
    if (const char* problem = ParseLine(line, &mailbox)) {
      Note(note, path + ":" + std::to_string(number) + ": " + problem + "; line skipped");
      continue;
    }
    if (!visit(mailbox)) break;
  }
  return 0;
}

std::u16string MailboxUrl(const MailboxLine& line) {
  std::u16string url(kMailboxUrlPrefix);
  url += Utf8ToUtf16(line.domain);
  url += u"/mbx/";
  url += Utf8ToUtf16(line.local);
  return url;
}

uint32_t OpenPublicFolderRoot(const std::string& path, const MailSourceAccounts& accounts,
                              const MailSourceNote& note, MailSourceHandle* root) {
  MailSourceHandle folder;
  mail_sources::SourceFacts facts;
  if (const uint32_t hr = OpenNoted(path, true, accounts, note, &folder, &facts); hr != 0) {
    return hr;
  }
  if (facts.why_untrusted != nullptr) {
    Note(note, path + ": " + facts.why_untrusted + ", not used");
    return kEAccessDenied;
  }
  *root = std::move(folder);
  return 0;
}

namespace {

// Byte order, as std::string compares. Most keys differ within their first eight bytes, so
// the sort compares those as one number and whole strings only on a tie (a key shorter than
// eight bytes is padded with NULs, which ties it with a longer key that has NULs there).
void SortKeys(std::vector<std::string>* keys) {
  struct Entry {
    uint64_t prefix;
    uint32_t index;
  };
  std::vector<Entry> order(keys->size());
  for (size_t i = 0; i < keys->size(); ++i) {
    const std::string& key = (*keys)[i];
    uint64_t prefix = 0;
    for (size_t b = 0; b < 8; ++b)
      prefix = prefix << 8 | (b < key.size() ? static_cast<unsigned char>(key[b]) : 0u);
    order[i] = {prefix, static_cast<uint32_t>(i)};
  }
  std::sort(order.begin(), order.end(), [keys](const Entry& a, const Entry& b) {
    if (a.prefix != b.prefix) return a.prefix < b.prefix;
    return (*keys)[a.index] < (*keys)[b.index];
  });
  std::vector<std::string> sorted;
  sorted.reserve(keys->size());
  for (const Entry& entry : order) sorted.push_back(std::move((*keys)[entry.index]));
  keys->swap(sorted);
}

}  // namespace

uint32_t ListFolderDirectories(MailSourceRef root, const std::string& path,
                               const MailSourceAccounts* trusted_only, const MailSourceNote& note,
                               std::vector<std::string>* keys) {
  keys->clear();
  if (const uint32_t hr = mail_sources::ListRootEntries(root, {path, trusted_only, note, keys});
      hr != 0) {
    return hr;
  }
  SortKeys(keys);
  return 0;
}

}  // namespace platform
