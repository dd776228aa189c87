// Files with CreateFileW and WriteFile. Appending is an append-only handle
// (FILE_APPEND_DATA without FILE_WRITE_DATA), whose every write the system puts whole at
// the end; the owner-and-group protection is a security descriptor: full control for the
// account and SYSTEM, read for the account's primary group, nothing inherited.
//
// Thread safety: no state of its own.
#include "platform/file.h"

#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "platform/machine_root.h"
#include "platform/win32_windows.h"

namespace platform {

namespace {

constexpr uint32_t kKnownAccess = kGenericRead | kGenericWrite | kFileAppendData;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

FileHandle Refuse() {
  ::SetLastError(ERROR_INVALID_PARAMETER);
  return kInvalidFileHandle;
}

HANDLE ToSystem(FileHandle file) { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(file)); }
FileHandle FromSystem(HANDLE handle) {
  return FileHandle{reinterpret_cast<intptr_t>(handle)};
}

// The token's user or primary group as SID text; empty when it cannot be read.
std::wstring TokenSid(TOKEN_INFORMATION_CLASS which) {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return std::wstring();
  DWORD needed = 0;
  ::GetTokenInformation(token, which, nullptr, 0, &needed);
  std::vector<unsigned char> data(needed > 0 ? needed : 1);
  std::wstring text;
  if (::GetTokenInformation(token, which, data.data(), needed, &needed)) {
    PSID sid = which == TokenUser ? reinterpret_cast<TOKEN_USER*>(data.data())->User.Sid
                                  : reinterpret_cast<TOKEN_PRIMARY_GROUP*>(data.data())->PrimaryGroup;
    wchar_t* string = nullptr;
    if (::ConvertSidToStringSidW(sid, &string)) {
      text = string;
      ::LocalFree(string);
    }
  }
  ::CloseHandle(token);
  return text;
}

// A security descriptor of the owner-and-group protection, owned by the caller (LocalFree).
PSECURITY_DESCRIPTOR OwnerAndGroupDescriptor() {
  const std::wstring user = TokenSid(TokenUser), group = TokenSid(TokenPrimaryGroup);
  if (user.empty()) return nullptr;
  std::wstring sddl = L"D:P(A;;FA;;;SY)(A;;FA;;;" + user + L")";
  if (!group.empty() && group != user) sddl += L"(A;;FR;;;" + group + L")";
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                              &descriptor, nullptr)) {
    return nullptr;
  }
  return descriptor;
}

// The owner of an open file as SID text; empty when it cannot be read.
std::wstring OwnerOf(HANDLE handle) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  std::wstring text;
  if (::GetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                        nullptr, nullptr, &descriptor) == ERROR_SUCCESS) {
    wchar_t* string = nullptr;
    if (owner != nullptr && ::ConvertSidToStringSidW(owner, &string)) {
      text = string;
      ::LocalFree(string);
    }
    ::LocalFree(descriptor);
  }
  return text;
}

// Whether the access list of the open file grants anything to an account other than
// `user`, `group` and SYSTEM (no list at all grants everything to everyone).
bool OthersMayUse(HANDLE handle, const std::wstring& user, const std::wstring& group) {
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (::GetSecurityInfo(handle, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                        &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
    return false;
  }
  bool others = dacl == nullptr;
  for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount && !others; ++i) {
    ACCESS_ALLOWED_ACE* ace = nullptr;
    if (!::GetAce(dacl, i, reinterpret_cast<void**>(&ace)) ||
        ace->Header.AceType != ACCESS_ALLOWED_ACE_TYPE || ace->Mask == 0) {
      continue;
    }
    wchar_t* text = nullptr;
    if (!::ConvertSidToStringSidW(&ace->SidStart, &text)) continue;
    const std::wstring grantee = text;
    ::LocalFree(text);
    others = grantee != user && grantee != group && grantee != L"S-1-5-18";
  }
  ::LocalFree(descriptor);
  return others;
}

// A file of this process's account that others may use keeps only what the owner-and-group
// protection gives; one made earlier, or by hand, with a wider list is narrowed so. The
// list is set whole, through a handle of its own to the same file: nothing the folder hands
// down to its files is added to it.
void Narrow(HANDLE handle, const std::wstring& path) {
  const std::wstring user = TokenSid(TokenUser), group = TokenSid(TokenPrimaryGroup);
  if (user.empty() || OwnerOf(handle) != user || !OthersMayUse(handle, user, group)) return;
  const HANDLE writer = ::CreateFileW(path.c_str(), WRITE_DAC | READ_CONTROL | FILE_READ_ATTRIBUTES,
                                      kShareAll, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (writer == INVALID_HANDLE_VALUE) return;
  BY_HANDLE_FILE_INFORMATION open_file{}, named{};
  PSECURITY_DESCRIPTOR descriptor = OwnerAndGroupDescriptor();
  if (descriptor != nullptr && ::GetFileInformationByHandle(handle, &open_file) &&
      ::GetFileInformationByHandle(writer, &named) &&
      open_file.dwVolumeSerialNumber == named.dwVolumeSerialNumber &&
      open_file.nFileIndexHigh == named.nFileIndexHigh &&
      open_file.nFileIndexLow == named.nFileIndexLow) {
    ::SetKernelObjectSecurity(writer, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                              descriptor);
  }
  if (descriptor != nullptr) ::LocalFree(descriptor);
  ::CloseHandle(writer);
}

// Opens `path` with the protection's security attributes for a file it creates.
HANDLE Open(const std::wstring& path, DWORD access, DWORD disposition, DWORD flags,
            bool owner_and_group) {
  SECURITY_ATTRIBUTES attributes{sizeof attributes, nullptr, FALSE};
  if (owner_and_group) attributes.lpSecurityDescriptor = OwnerAndGroupDescriptor();
  const HANDLE handle = ::CreateFileW(path.c_str(), access, kShareAll, &attributes, disposition,
                                      flags, nullptr);
  const DWORD error = ::GetLastError();
  if (attributes.lpSecurityDescriptor != nullptr) ::LocalFree(attributes.lpSecurityDescriptor);
  ::SetLastError(error);
  return handle;
}

}  // namespace

FileHandle CreateFile(const char* path, uint32_t access, uint32_t disposition,
                      FileProtection protection) {
  const bool read = (access & kGenericRead) != 0;
  const bool write = (access & kGenericWrite) != 0;
  const bool append = (access & kFileAppendData) != 0;
  if (path == nullptr || (access & ~kKnownAccess) != 0 || (!read && !write && !append) ||
      disposition < kCreateNew || disposition > kTruncateExisting) {
    return Refuse();
  }
  const bool empties = disposition == kCreateAlways || disposition == kTruncateExisting;
  if (empties && !write && !append) return Refuse();
  DWORD rights = (read ? GENERIC_READ : 0) | (write ? GENERIC_WRITE : 0);
  if (append && !write) rights |= FILE_APPEND_DATA | SYNCHRONIZE;
  const std::wstring wide = WideText(path);
  const bool narrow = protection == FileProtection::kOwnerAndGroup;
  HANDLE handle;
  if (empties && !write) {
    // Emptying needs the right to write data, which would undo appending: the file is
    // emptied through a handle of its own, then opened to append.
    handle = Open(wide, GENERIC_WRITE, disposition, FILE_ATTRIBUTE_NORMAL, narrow);
    if (handle == INVALID_HANDLE_VALUE) return kInvalidFileHandle;
    ::CloseHandle(handle);
    disposition = kOpenExisting;
  }
  handle = Open(wide, rights, disposition, FILE_ATTRIBUTE_NORMAL, narrow);
  if (handle == INVALID_HANDLE_VALUE) {
    if (::GetLastError() == ERROR_PATH_NOT_FOUND) ::SetLastError(ERROR_FILE_NOT_FOUND);
    return kInvalidFileHandle;
  }
  if (narrow) Narrow(handle, wide);
  return FromSystem(handle);
}

namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// The parts of a path, without empty ones and "."; false when one is "..", which would make
// a path that reads as below a folder lead out of it.
bool SplitPath(const std::string& path, std::vector<std::string>* parts) {
  parts->clear();
  std::string part;
  for (size_t i = 0; i <= path.size(); ++i) {
    if (i < path.size() && !IsSeparator(path[i])) {
      part += path[i];
      continue;
    }
    if (part == "..") return false;
    if (!part.empty() && part != ".") parts->push_back(part);
    part.clear();
  }
  return true;
}

bool SamePart(const std::string& a, const std::string& b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return (x >= 'A' && x <= 'Z' ? x + 32 : x) == (y >= 'A' && y <= 'Z' ? y + 32 : y);
         });
}

// The accounts a log or a folder on its way may belong to: this process's, or the machine
// root's owner; a folder may also be the system's (SYSTEM, the Administrators).
bool OwnedAsLogsMayBe(const std::wstring& owner, const std::wstring& root_owner, bool folder) {
  if (owner.empty()) return false;
  return owner == TokenSid(TokenUser) || owner == root_owner ||
         (folder && (owner == L"S-1-5-18" || owner == L"S-1-5-32-544"));
}

// What is wrong with the entry open as `handle`, or kNone.
LogRefusal Judge(HANDLE handle, const std::wstring& root_owner, bool folder) {
  BY_HANDLE_FILE_INFORMATION information{};
  if (!::GetFileInformationByHandle(handle, &information)) return LogRefusal::kNotRegularFile;
  if ((information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return LogRefusal::kLink;
  if (folder != ((information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)) {
    return LogRefusal::kNotRegularFile;
  }
  if (!OwnedAsLogsMayBe(OwnerOf(handle), root_owner, folder)) return LogRefusal::kOtherOwner;
  if (!folder && information.nNumberOfLinks != 1) return LogRefusal::kSeveralLinks;
  return LogRefusal::kNone;
}

// The entry at `path` itself (a link is not followed), for looking at only.
HANDLE OpenEntry(const std::wstring& path) {
  return ::CreateFileW(path.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                       nullptr);
}

FileHandle Refused(LogRefusal why, LogRefusal* refusal) {
  *refusal = why;
  ::SetLastError(ERROR_ACCESS_DENIED);
  return kInvalidFileHandle;
}

// After an open of `path` failed: the refusal when the entry there is the reason, else
// kNone with the last error kept (a missing file or folder as 2, as on every system).
LogRefusal JudgeFailedOpen(const std::wstring& path, const std::wstring& root_owner, bool folder) {
  DWORD error = ::GetLastError();
  if (error == ERROR_PATH_NOT_FOUND) error = ERROR_FILE_NOT_FOUND;
  LogRefusal refusal = LogRefusal::kNone;
  const HANDLE entry = OpenEntry(path);
  if (entry != INVALID_HANDLE_VALUE) {
    refusal = Judge(entry, root_owner, folder);
    ::CloseHandle(entry);
  }
  ::SetLastError(error);
  return refusal;
}

}  // namespace

FileHandle CreateLogFile(const char* name, uint32_t disposition, LogRefusal* refusal) {
  *refusal = LogRefusal::kNone;
  if (name == nullptr || name[0] == '\0' ||
      (disposition != kOpenAlways && disposition != kOpenExisting && disposition != kCreateNew)) {
    return Refuse();
  }
  // The path is judged as written, against the machine root as the environment gives it:
  // the parts below the log folder are then walked one by one, never through a link.
  const std::string root = MachineRoot();
  std::vector<std::string> parts, below;
  if (!SplitPath(name, &parts)) return Refused(LogRefusal::kOutsideLogFolder, refusal);
  if (std::strpbrk(name, "\\/:") == nullptr) {
    below = parts;
  } else {
    std::vector<std::string> root_parts;
    if (!SplitPath(root, &root_parts)) return Refused(LogRefusal::kOutsideLogFolder, refusal);
    root_parts.push_back("logs");
    if (parts.size() > root_parts.size() &&
        std::equal(root_parts.begin(), root_parts.end(), parts.begin(), SamePart) &&
        (IsSeparator(name[0]) == IsSeparator(root[0]))) {
      below.assign(parts.begin() + static_cast<std::ptrdiff_t>(root_parts.size()), parts.end());
    }
  }
  if (below.empty()) return Refused(LogRefusal::kOutsideLogFolder, refusal);

  std::wstring path = WideText(root);
  const HANDLE root_entry = ::CreateFileW(path.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES,
                                          kShareAll, nullptr, OPEN_EXISTING,
                                          FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (root_entry == INVALID_HANDLE_VALUE) {
    ::SetLastError(ERROR_FILE_NOT_FOUND);
    return kInvalidFileHandle;
  }
  const std::wstring root_owner = OwnerOf(root_entry);
  ::CloseHandle(root_entry);
  below.insert(below.begin(), "logs");
  for (size_t i = 0; i + 1 < below.size(); ++i) {
    path += L'\\';
    path += WideText(below[i]);
    const HANDLE folder = OpenEntry(path);
    if (folder == INVALID_HANDLE_VALUE) {
      ::SetLastError(ERROR_FILE_NOT_FOUND);
      return kInvalidFileHandle;
    }
    const LogRefusal why = Judge(folder, root_owner, true);
    ::CloseHandle(folder);
    if (why != LogRefusal::kNone) return Refused(why, refusal);
  }
  path += L'\\';
  path += WideText(below.back());

  // Without following a link and never emptying: a file there is opened as it is, a
  // missing one made here (CREATE_NEW, so that this open alone made it).
  const DWORD rights = FILE_APPEND_DATA | SYNCHRONIZE | READ_CONTROL | FILE_READ_ATTRIBUTES;
  HANDLE log = INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt < 2 && log == INVALID_HANDLE_VALUE; ++attempt) {
    const bool create = disposition != kOpenExisting && (disposition == kCreateNew || attempt == 0);
    // A new file is made at the name itself (a name that is taken, by a link too, fails).
    log = Open(path, rights, create ? CREATE_NEW : OPEN_EXISTING,
               FILE_ATTRIBUTE_NORMAL | (create ? 0 : FILE_FLAG_OPEN_REPARSE_POINT), true);
    if (log != INVALID_HANDLE_VALUE) break;
    // A file there: kOpenAlways opens it as it is, once.
    const DWORD error = ::GetLastError();
    if ((error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) && disposition == kOpenAlways) {
      continue;
    }
    const LogRefusal why = JudgeFailedOpen(path, root_owner, false);
    if (why != LogRefusal::kNone) return Refused(why, refusal);
    return kInvalidFileHandle;
  }
  if (log == INVALID_HANDLE_VALUE) return kInvalidFileHandle;
  // What was opened is judged, not what was looked at before: the name may have changed.
  if (const LogRefusal why = Judge(log, root_owner, false); why != LogRefusal::kNone) {
    ::CloseHandle(log);
    return Refused(why, refusal);
  }
  Narrow(log, path);
  return FromSystem(log);
}

bool WriteFile(FileHandle file, const void* data, uint32_t size, uint32_t* written) {
  const auto* bytes = static_cast<const char*>(data);
  uint32_t done = 0;
  // One write for the whole; only a short one (a full disk) makes another.
  while (done < size) {
    DWORD count = 0;
    if (!::WriteFile(ToSystem(file), bytes + done, size - done, &count, nullptr) || count == 0) {
      if (count == 0 && ::GetLastError() == 0) ::SetLastError(ERROR_DISK_FULL);
      *written = done;
      return false;
    }
    done += count;
  }
  *written = done;
  return true;
}

bool LogFileMoved(FileHandle file, const char* name) {
  BY_HANDLE_FILE_INFORMATION open_file{};
  if (!::GetFileInformationByHandle(ToSystem(file), &open_file)) return false;
  if (open_file.nNumberOfLinks == 0) return true;
  const std::string path = std::strpbrk(name, "\\/:") == nullptr
                               ? MachineFile(std::string("logs/") + name)
                               : std::string(name);
  const HANDLE named = OpenEntry(WideText(path));
  if (named == INVALID_HANDLE_VALUE) return true;
  BY_HANDLE_FILE_INFORMATION information{};
  const bool got = ::GetFileInformationByHandle(named, &information);
  ::CloseHandle(named);
  return !got || information.dwVolumeSerialNumber != open_file.dwVolumeSerialNumber ||
         information.nFileIndexHigh != open_file.nFileIndexHigh ||
         information.nFileIndexLow != open_file.nFileIndexLow;
}

bool CloseHandle(FileHandle file) {
  if (file == kInvalidFileHandle) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  return ::CloseHandle(ToSystem(file));
}

}  // namespace platform
