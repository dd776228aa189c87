// The mail source reader's system part on Windows: opening, reading and listing through
// handles, and the one trust rule read from the security descriptors.
//
// Thread safety: see mail_sources.h.
#include "platform/mail_sources_windows.h"

#include "platform/win32_windows.h"
// After windows.h:
#include <aclapi.h>

#include <algorithm>
#include <memory>

#include "platform/errors.h"
#include "platform/errors_windows.h"
#include "platform/machine_root.h"
#include "platform/mail_source_files.h"
#include "platform/unicode.h"

namespace platform {
namespace {

// What lets an account change a file or a folder's entries, or put another in its place.
constexpr ACCESS_MASK kWriteRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_DELETE_CHILD |
                                     DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE |
                                     GENERIC_ALL | MAXIMUM_ALLOWED;

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

// One entry of a listing, by its name and attributes as the listing read them.
class ListedEntry final : public mail_sources::FolderEntry {
 public:
  ListedEntry(const std::string& root_path, std::u16string_view wide, DWORD attributes)
      : root_path_(root_path), wide_(wide), utf8_(Utf16ToUtf8(wide)), attributes_(attributes) {
    name = utf8_;
  }

  bool IsText() override { return Utf8ToUtf16(utf8_) == wide_; }

  Kind Look() override {
    if ((attributes_ & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return kLink;
    return (attributes_ & FILE_ATTRIBUTE_DIRECTORY) != 0 ? kFolder : kOther;
  }

  const char* WhyUntrusted(const MailSourceAccounts& accounts) override;

 private:
  const std::string& root_path_;
  const std::u16string_view wide_;
  const std::string utf8_;
  const DWORD attributes_;
};

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

namespace {

const char* ListedEntry::WhyUntrusted(const MailSourceAccounts& accounts) {
  FileHandle folder;
  bool reparse_point = false;
  const uint32_t error = OpenSourceEntry(root_path_ + "\\" + utf8_, true, &folder, &reparse_point);
  return error != 0      ? "cannot be opened"
         : reparse_point ? "a symbolic link"
                         : platform::WhyUntrusted(folder.get(), accounts);
}

}  // namespace

namespace mail_sources {

const char* const kNameNotText = "a folder name is not valid UTF-16";

bool IsAbsolutePath(std::string_view path) {
  return (path.size() >= 3 && path[1] == ':' && (path[2] == '\\' || path[2] == '/')) ||
         path.starts_with("\\\\") || path.starts_with("//");
}

std::string ErrorText(SystemError error) {
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

uint32_t ResultOfOpenError(SystemError error, bool folder) {
  // "No such file" is "no such folder" for a folder.
  return ResultFromWindows(folder && error == ERROR_FILE_NOT_FOUND ? ERROR_PATH_NOT_FOUND : error);
}

SystemError OpenSource(const std::string& path, bool folder, const MailSourceAccounts& accounts,
                       FileHandle* handle, SourceFacts* facts) {
  FileHandle opened;
  bool reparse_point = false;
  if (const uint32_t error = OpenSourceEntry(path, folder, &opened, &reparse_point); error != 0) {
    return error;
  }
  if (reparse_point) return kSymbolicLink;
  if (!folder) {
    // A pipe or a device put in a file's place is no file on disk.
    LARGE_INTEGER size;
    facts->regular =
        GetFileType(opened.get()) == FILE_TYPE_DISK && GetFileSizeEx(opened.get(), &size);
    facts->size = facts->regular ? static_cast<uint64_t>(size.QuadPart) : 0;
  }
  facts->why_untrusted = platform::WhyUntrusted(opened.get(), accounts);
  *handle = std::move(opened);
  return 0;
}

SystemError ReadSource(void* source, size_t max_bytes, std::string* text) {
  const uint32_t error = ReadBounded(source, max_bytes, text);
  return error == kErrorFileTooLarge ? kTooLarge : error;
}

uint32_t ListRootEntries(void* root, const FolderListing& listing) {
  const std::string& path = listing.path;
  // Listed through a handle of its own (a listing's handle keeps what it read: Wine does not
  // read the folder again on a restart), checked to be the open root, which cannot be
  // renamed or removed while held; its entries are then opened by path.
  FileHandle entries;
  bool reparse_point = false;
  BY_HANDLE_FILE_INFORMATION held, opened;
  if (const uint32_t error = OpenSourceEntry(path, true, &entries, &reparse_point); error != 0) {
    Note(listing.note, path + ": " + ErrorText(error));
    return ResultOfOpenError(error, true);
  }
  if (reparse_point || !GetFileInformationByHandle(root, &held) ||
      !GetFileInformationByHandle(entries.get(), &opened) ||
      held.dwVolumeSerialNumber != opened.dwVolumeSerialNumber ||
      held.nFileIndexHigh != opened.nFileIndexHigh || held.nFileIndexLow != opened.nFileIndexLow) {
    Note(listing.note, path + ": no longer the folder that was opened");
    return kEAccessDenied;
  }
  std::vector<uint64_t> words(64 * 1024 / sizeof(uint64_t));  // aligned for the records
  char* const buffer = reinterpret_cast<char*>(words.data());
  const DWORD size = static_cast<DWORD>(words.size() * sizeof(uint64_t));
  for (;;) {
    if (!GetFileInformationByHandleEx(entries.get(), FileIdBothDirectoryInfo, buffer, size)) {
      const DWORD error = ::GetLastError();
      if (error == ERROR_NO_MORE_FILES) break;
      Note(listing.note, path + ": " + ErrorText(error));
      return ResultFromWindows(error);
    }
    for (size_t offset = 0;;) {
      const auto* found = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(buffer + offset);
      const std::u16string_view wide(reinterpret_cast<const char16_t*>(found->FileName),
                                     found->FileNameLength / sizeof(wchar_t));
      ListedEntry entry(path, wide, found->FileAttributes);
      AddFolderEntry(entry, listing);
      if (found->NextEntryOffset == 0) break;
      offset += found->NextEntryOffset;
    }
  }
  return 0;
}

}  // namespace mail_sources
}  // namespace platform
