// Trust from the security descriptors of the file and of the folders above it.
#include "platform/trusted_path_windows.h"

#include <aclapi.h>
#include <sddl.h>

#include <vector>

#include "platform/win32_windows.h"

namespace platform {

namespace {

// What another account must not be granted: the rights that change an entry, its
// permissions or its owner. A folder may let others add files and folders to it.
constexpr ACCESS_MASK kChangeRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA |
                                      FILE_WRITE_ATTRIBUTES | FILE_DELETE_CHILD | DELETE |
                                      WRITE_DAC | WRITE_OWNER;
constexpr ACCESS_MASK kAddEntryRights = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY;

// The installer's account, which owns the system's own files.
constexpr const wchar_t* kInstallerSid =
    L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

// The user the process runs as; empty when it cannot be read.
std::vector<unsigned char> ProcessUser() {
  std::vector<unsigned char> user;
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return user;
  DWORD needed = 0;
  ::GetTokenInformation(token, TokenUser, nullptr, 0, &needed);
  user.resize(needed);
  if (needed == 0 || !::GetTokenInformation(token, TokenUser, user.data(), needed, &needed)) {
    user.clear();
  }
  ::CloseHandle(token);
  return user;
}

bool IsInstaller(PSID sid) {
  PSID installer = nullptr;
  if (!::ConvertStringSidToSidW(kInstallerSid, &installer)) return false;
  const bool same = ::EqualSid(sid, installer);
  ::LocalFree(installer);
  return same;
}

// The process's account or one of the system's own.
bool TrustedAccount(PSID sid, PSID process_user) {
  return (process_user != nullptr && ::EqualSid(sid, process_user)) ||
         ::IsWellKnownSid(sid, WinLocalSystemSid) ||
         ::IsWellKnownSid(sid, WinBuiltinAdministratorsSid) || IsInstaller(sid);
}

}  // namespace

bool TrustedEntry(const std::wstring& path, bool folder) {
  const std::vector<unsigned char> user = ProcessUser();
  if (user.empty()) return false;
  PSID process_user = reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid;
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (::GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT,
                              OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                              nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
    return false;
  }
  // No list at all lets everyone do everything.
  bool trusted = owner != nullptr && dacl != nullptr && TrustedAccount(owner, process_user);
  GENERIC_MAPPING mapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE,
                             FILE_ALL_ACCESS};
  for (DWORD i = 0; trusted && i < dacl->AceCount; ++i) {
    ACE_HEADER* header = nullptr;
    if (!::GetAce(dacl, i, reinterpret_cast<void**>(&header))) {
      trusted = false;
      break;
    }
    // Only what is granted to this entry counts: an entry inherited by its children only
    // does not, and a denial never widens what others may do.
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE) != 0) {
      continue;
    }
    auto* ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
    ACCESS_MASK granted = ace->Mask;
    ::MapGenericMask(&granted, &mapping);
    if (folder) granted &= ~kAddEntryRights;
    PSID grantee = &ace->SidStart;
    if ((granted & kChangeRights) != 0 && !TrustedAccount(grantee, process_user) &&
        !(owner != nullptr && ::EqualSid(grantee, owner))) {
      trusted = false;
    }
  }
  ::LocalFree(descriptor);
  return trusted;
}

std::wstring TrustedFilePath(const std::wstring& path) {
  const HANDLE file = ::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return std::wstring();
  BY_HANDLE_FILE_INFORMATION information{};
  std::vector<wchar_t> final_path(32768);
  const bool got = ::GetFileInformationByHandle(file, &information);
  DWORD length = ::GetFinalPathNameByHandleW(file, final_path.data(),
                                             static_cast<DWORD>(final_path.size()),
                                             FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  ::CloseHandle(file);
  if (!got || (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 || length == 0 ||
      length >= final_path.size()) {
    return std::wstring();
  }
  std::wstring resolved(final_path.data(), length);
  if (resolved.rfind(L"\\\\?\\UNC\\", 0) == 0) {
    resolved = L"\\\\" + resolved.substr(8);
  } else if (resolved.rfind(L"\\\\?\\", 0) == 0) {
    resolved.erase(0, 4);
  }
  if (!TrustedEntry(resolved, false)) return std::wstring();
  // Every folder up to the root of the drive or share.
  std::wstring folder = resolved;
  for (;;) {
    const size_t separator = folder.find_last_of(L'\\');
    if (separator == std::wstring::npos || separator < 2) break;
    folder.resize(separator);
    const std::wstring name = folder.size() == 2 && folder[1] == L':' ? folder + L'\\' : folder;
    if (!TrustedEntry(name, true)) return std::wstring();
    if (name.size() == 3) break;
  }
  return resolved;
}

}  // namespace platform
