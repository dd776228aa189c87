// Reading the passwd-file and the public folder root on Windows, and the one trust rule for
// both, read from the security descriptors.
//
// Thread safety: see mail_sources_windows.h.
#include "platform/mail_sources_windows.h"

#include "platform/win32_windows.h"
// After windows.h:
#include <aclapi.h>

#include <algorithm>
#include <memory>

#include "platform/errors.h"
#include "platform/errors_windows.h"
#include "platform/machine_root.h"
#include "platform/registry.h"
#include "platform/unicode.h"

namespace platform {
namespace {

// What lets an account change a file or a folder's entries, or put another in its place.
constexpr ACCESS_MASK kWriteRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_DELETE_CHILD |
                                     DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE |
                                     GENERIC_ALL | MAXIMUM_ALLOWED;

void Note(const MailSourceNote& note, const std::string& text) {
  if (note) note(text);
}

std::string ErrorText(DWORD error) {
  wchar_t* text = nullptr;
  const DWORD size = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string message = size > 0 && text != nullptr ? NarrowText(text) : "error " + std::to_string(error);
  if (text != nullptr) LocalFree(text);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                              message.back() == ' ' || message.back() == '.')) {
    message.pop_back();
  }
  return message;
}

bool IsAbsolute(std::string_view path) {
  return (path.size() >= 3 && path[1] == ':' && (path[2] == '\\' || path[2] == '/')) ||
         path.starts_with("\\\\") || path.starts_with("//");
}

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
  return IsAbsolute(text) ? text : MachineFile(text);
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

struct LocalFreer {
  void operator()(void* memory) const { LocalFree(memory); }
};

std::vector<uint8_t> CopySid(PSID sid) {
  if (sid == nullptr || !IsValidSid(sid)) return {};
  const auto* bytes = static_cast<const uint8_t*>(sid);
  return std::vector<uint8_t>(bytes, bytes + GetLengthSid(sid));
}

bool SameSid(PSID sid, const std::vector<uint8_t>& other) {
  return !other.empty() && EqualSid(sid, const_cast<uint8_t*>(other.data())) != FALSE;
}

bool IsWellKnown(PSID sid, WELL_KNOWN_SID_TYPE type) {
  return IsWellKnownSid(sid, type) != FALSE;
}

// The system and the administrators, who may always write.
bool IsSystemAccount(PSID sid) {
  return IsWellKnown(sid, WinLocalSystemSid) || IsWellKnown(sid, WinBuiltinAdministratorsSid);
}

// The groups every account, or every account that logged on, belongs to.
bool IsEveryone(PSID sid) {
  return IsWellKnown(sid, WinWorldSid) || IsWellKnown(sid, WinAuthenticatedUserSid) ||
         IsWellKnown(sid, WinBuiltinUsersSid) || IsWellKnown(sid, WinInteractiveSid) ||
         IsWellKnown(sid, WinAnonymousSid);
}

// The trustee of an entry that grants rights, or null for an entry that grants none. Object
// entries grant as the plain ones do; their object types do not narrow what a file allows.
PSID AllowedTrustee(const ACE_HEADER* header, ACCESS_MASK* mask) {
  switch (header->AceType) {
    case ACCESS_ALLOWED_ACE_TYPE:
    case ACCESS_ALLOWED_CALLBACK_ACE_TYPE: {
      const auto* ace = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(header);
      *mask = ace->Mask;
      return const_cast<DWORD*>(&ace->SidStart);
    }
    case ACCESS_ALLOWED_OBJECT_ACE_TYPE:
    case ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE: {
      const auto* ace = reinterpret_cast<const ACCESS_ALLOWED_OBJECT_ACE*>(header);
      *mask = ace->Mask;
      const auto* sid = reinterpret_cast<const uint8_t*>(&ace->ObjectType);
      if ((ace->Flags & ACE_OBJECT_TYPE_PRESENT) != 0) sid += sizeof(GUID);
      if ((ace->Flags & ACE_INHERITED_OBJECT_TYPE_PRESENT) != 0) sid += sizeof(GUID);
      return const_cast<uint8_t*>(sid);
    }
    default:
      return nullptr;
  }
}

// One entry `wide` of the public folder root `path`, with its `attributes`: its key added
// to `keys` when it is a folder directory (see ListFolderDirectories).
void VisitFolderEntry(const std::string& path, std::u16string_view wide, DWORD attributes,
                      const MailSourceAccounts* trusted_only, const MailSourceNote& note,
                      std::vector<std::string>* keys);

}  // namespace

void FileHandle::Reset(void* handle) {
  if (handle_ != kInvalid && handle_ != nullptr) CloseHandle(handle_);
  handle_ = handle;
}

uint32_t OpenSourceEntry(const std::string& path, bool folder, FileHandle* handle,
                         bool* reparse_point) {
  *reparse_point = false;
  // READ_CONTROL for the security descriptor; no FILE_SHARE_DELETE, so that the entry stays
  // the one that was checked while it is open.
  FileHandle opened(CreateFileW(WideText(path).c_str(), GENERIC_READ | READ_CONTROL,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OPEN_REPARSE_POINT |
                                    (folder ? FILE_FLAG_BACKUP_SEMANTICS : 0),
                                nullptr));
  if (!opened.valid()) return ::GetLastError();
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(opened.get(), &info)) return ::GetLastError();
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    *reparse_point = true;
  } else if (folder != ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)) {
    return folder ? ERROR_DIRECTORY : ERROR_ACCESS_DENIED;
  }
  *handle = std::move(opened);
  return 0;
}

MailSourceAccounts MachineRootAccounts() {
  PSID owner = nullptr;
  PSID group = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  std::wstring root = WideText(MachineRoot());
  if (GetNamedSecurityInfoW(root.data(), SE_FILE_OBJECT,
                            OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION, &owner,
                            &group, nullptr, nullptr, &descriptor) != ERROR_SUCCESS) {
    return {};
  }
  std::unique_ptr<void, LocalFreer> held(descriptor);
  return {CopySid(owner), CopySid(group)};
}

const char* WhyUntrusted(void* handle, const MailSourceAccounts& accounts) {
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(handle, SE_FILE_OBJECT,
                      OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr,
                      &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
    return "has a security descriptor that cannot be read";
  }
  std::unique_ptr<void, LocalFreer> held(descriptor);
  if (owner == nullptr || !(IsSystemAccount(owner) || SameSid(owner, accounts.owner))) {
    return "belongs to another account";
  }
  if (dacl == nullptr) return "writable by everyone";
  const char* why = nullptr;
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* entry = nullptr;
    if (!GetAce(dacl, i, &entry)) return "has an access list that cannot be read";
    const auto* header = static_cast<const ACE_HEADER*>(entry);
    // An entry only for what is made inside a folder says nothing of the folder itself.
    if ((header->AceFlags & INHERIT_ONLY_ACE) != 0) continue;
    ACCESS_MASK mask = 0;
    PSID trustee = AllowedTrustee(header, &mask);
    if (trustee == nullptr || (mask & kWriteRights) == 0) continue;
    if (IsSystemAccount(trustee) || SameSid(trustee, accounts.owner) ||
        SameSid(trustee, accounts.group) || EqualSid(trustee, owner) ||
        IsWellKnown(trustee, WinCreatorOwnerRightsSid)) {
      continue;
    }
    if (IsEveryone(trustee)) return "writable by everyone";
    why = "writable by the accounts of an access list";
  }
  return why;
}

uint32_t ReadBounded(void* handle, size_t max_bytes, std::string* text) {
  char chunk[64 * 1024];
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(handle, chunk, sizeof chunk, &got, nullptr)) {
      const DWORD error = ::GetLastError();
      return error == ERROR_HANDLE_EOF || error == ERROR_BROKEN_PIPE ? 0 : error;
    }
    if (got == 0) return 0;
    if (text->size() + got > max_bytes) return kErrorFileTooLarge;
    text->append(chunk, got);
  }
}

std::string PasswdFilePath(std::string_view settings_key, const MailSourceNote& note) {
  return StoragePath(settings_key, kPasswdFileValue, "mail/passwd", note);
}

std::string PublicFolderRootPath(std::string_view settings_key, const MailSourceNote& note) {
  return StoragePath(settings_key, kPublicFolderRootValue, "mail/public", note);
}

uint32_t ReadPasswdFile(const std::string& path, const MailSourceNote& note,
                        const std::function<bool(const MailboxLine& line)>& visit) {
  FileHandle file;
  bool reparse_point = false;
  if (const uint32_t error = OpenSourceEntry(path, false, &file, &reparse_point); error != 0) {
    Note(note, path + ": " + ErrorText(error));
    return ResultFromWindows(error);
  }
  if (reparse_point) {
    Note(note, path + ": a symbolic link, not followed");
    return kEAccessDenied;
  }
  // A pipe or a device put in the file's place is no passwd-file (and must not stall the
  // reader).
  LARGE_INTEGER size;
  if (GetFileType(file.get()) != FILE_TYPE_DISK || !GetFileSizeEx(file.get(), &size) ||
      size.QuadPart > static_cast<LONGLONG>(kMaxPasswdFileBytes)) {
    Note(note, path + ": not a regular file of at most " + std::to_string(kMaxPasswdFileBytes) +
                   " bytes");
    return kEFail;
  }
  if (const char* why = WhyUntrusted(file.get(), MachineRootAccounts())) {
    Note(note, path + ": " + why + ", not used");
    return kEAccessDenied;
  }
  std::string text;
  if (const uint32_t error = ReadBounded(file.get(), kMaxPasswdFileBytes, &text); error != 0) {
    Note(note, path + ": " + (error == kErrorFileTooLarge ? "grew too large" : ErrorText(error)));
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
                              const MailSourceNote& note, FileHandle* root) {
  FileHandle folder;
  bool reparse_point = false;
  if (const uint32_t error = OpenSourceEntry(path, true, &folder, &reparse_point); error != 0) {
    Note(note, path + ": " + ErrorText(error));
    return ResultFromWindows(error == ERROR_FILE_NOT_FOUND ? ERROR_PATH_NOT_FOUND : error);
  }
  if (reparse_point) {
    Note(note, path + ": a symbolic link, not followed");
    return kEAccessDenied;
  }
  if (const char* why = WhyUntrusted(folder.get(), accounts)) {
    Note(note, path + ": " + why + ", not used");
    return kEAccessDenied;
  }
  *root = std::move(folder);
  return 0;
}

namespace {

void VisitFolderEntry(const std::string& path, std::u16string_view wide, DWORD attributes,
                      const MailSourceAccounts* trusted_only, const MailSourceNote& note,
                      std::vector<std::string>* keys) {
  if (wide.size() < 2 || wide[0] != u'.' || wide == u"..") return;
  const std::string name = Utf16ToUtf8(wide);
  // No URL can name a folder with an empty name (".A..B", ".A.") or one that is no text.
  if (wide[1] == u'.' || wide.back() == u'.' || wide.find(u"..") != wide.npos) {
    Note(note, path + "\\" + name + ": a folder name is empty; skipped");
    return;
  }
  if (Utf8ToUtf16(name) != wide) {
    Note(note, path + "\\" + name + ": a folder name is not valid UTF-16; skipped");
    return;
  }
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    Note(note, path + "\\" + name + ": a symbolic link, not followed");
    return;
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return;
  if (trusted_only != nullptr) {
    FileHandle folder;
    bool reparse_point = false;
    const uint32_t error = OpenSourceEntry(path + "\\" + name, true, &folder, &reparse_point);
    const char* why = error != 0      ? "cannot be opened"
                      : reparse_point ? "a symbolic link"
                                      : WhyUntrusted(folder.get(), *trusted_only);
    if (why != nullptr) {
      Note(note, path + "\\" + name + ": " + why + ", not used");
      return;
    }
  }
  std::string& key = keys->emplace_back(name.substr(1));
  std::replace(key.begin(), key.end(), '.', '\0');
}

}  // namespace

uint32_t ListFolderDirectories(void* root, const std::string& path,
                               const MailSourceAccounts* trusted_only, const MailSourceNote& note,
                               std::vector<std::string>* keys) {
  keys->clear();
  // Listed through a handle of its own (a listing's handle keeps what it read: Wine does not
  // read the folder again on a restart), checked to be the open root, which cannot be
  // renamed or removed while held; its entries are then opened by path.
  FileHandle listing;
  bool reparse_point = false;
  BY_HANDLE_FILE_INFORMATION held, opened;
  if (const uint32_t error = OpenSourceEntry(path, true, &listing, &reparse_point); error != 0) {
    Note(note, path + ": " + ErrorText(error));
    return ResultFromWindows(error == ERROR_FILE_NOT_FOUND ? ERROR_PATH_NOT_FOUND : error);
  }
  if (reparse_point || !GetFileInformationByHandle(root, &held) ||
      !GetFileInformationByHandle(listing.get(), &opened) ||
      held.dwVolumeSerialNumber != opened.dwVolumeSerialNumber ||
      held.nFileIndexHigh != opened.nFileIndexHigh || held.nFileIndexLow != opened.nFileIndexLow) {
    Note(note, path + ": no longer the folder that was opened");
    return kEAccessDenied;
  }
  std::vector<uint64_t> words(64 * 1024 / sizeof(uint64_t));  // aligned for the records
  char* const buffer = reinterpret_cast<char*>(words.data());
  const DWORD size = static_cast<DWORD>(words.size() * sizeof(uint64_t));
  for (;;) {
    if (!GetFileInformationByHandleEx(listing.get(), FileIdBothDirectoryInfo, buffer, size)) {
      const DWORD error = ::GetLastError();
      if (error == ERROR_NO_MORE_FILES) break;
      Note(note, path + ": " + ErrorText(error));
      return ResultFromWindows(error);
    }
    for (size_t offset = 0;;) {
      const auto* found = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(buffer + offset);
      const std::u16string_view wide(reinterpret_cast<const char16_t*>(found->FileName),
                                     found->FileNameLength / sizeof(wchar_t));
      VisitFolderEntry(path, wide, found->FileAttributes, trusted_only, note, keys);
      if (found->NextEntryOffset == 0) break;
      offset += found->NextEntryOffset;
    }
  }
  std::sort(keys->begin(), keys->end());
  return 0;
}

}  // namespace platform
