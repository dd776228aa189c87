// Who serves a pipe: the account of the process at the other end, as the pipe records it
// (GetNamedPipeServerProcessId) and that process's token names it. Accounts are SIDs here;
// LocalSystem stands where root stands on POSIX.
//
// Thread safety: see peer_identity.h.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <memory>
#include <string>

#include "platform/machine_root.h"
#include "platform/named_pipe_windows.h"
#include "platform/peer_identity.h"

namespace platform {
namespace {

constexpr const char* kLocalSystem = "S-1-5-18";

std::wstring Widen(const std::string& text) {
  const int units = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
  if (units <= 0) return {};
  std::wstring wide(static_cast<size_t>(units), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, wide.data(), units);
  wide.pop_back();  // the terminator
  return wide;
}

std::string SidText(PSID sid) {
  wchar_t* text = nullptr;
  if (sid == nullptr || !ConvertSidToStringSidW(sid, &text)) return {};
  std::string account;
  for (const wchar_t* c = text; *c != L'\0'; ++c) account += static_cast<char>(*c);  // ASCII
  LocalFree(text);
  return account;
}

// The owner of the machine root: the servers' account.
std::string MachineRootOwner() {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  std::wstring root = Widen(MachineRoot());
  if (GetNamedSecurityInfoW(root.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                            nullptr, nullptr, nullptr, &descriptor) != ERROR_SUCCESS)
    return {};
  std::string account = SidText(owner);
  LocalFree(descriptor);
  return account;
}

}  // namespace

bool ServedByTrustedAccount(int fd) {
  // The connection's number is the pipe handle's value (see local_server_transport.h).
  HANDLE pipe = reinterpret_cast<HANDLE>(static_cast<intptr_t>(fd));
  const std::string server = ProcessAccount(PipePeerProcess(pipe, true));
  if (server.empty()) return false;
  if (server == OwnAccount() || server == kLocalSystem) return true;
  const std::string owner = MachineRootOwner();
  return !owner.empty() && server == owner;
}

std::string AccountName(unsigned uid) {
  // An account of this machine is the machine's SID with a relative id: `uid` is that id,
  // and the machine's SID is the one this process's account carries.
  const std::string own = OwnAccount();
  const size_t last = own.rfind('-');
  PSID sid = nullptr;
  std::string name;
  if (last != std::string::npos &&
      ConvertStringSidToSidW(Widen(own.substr(0, last + 1) + std::to_string(uid)).c_str(),
                             &sid)) {
    wchar_t user[256], domain[256];
    DWORD user_size = 256, domain_size = 256;
    SID_NAME_USE use;
    if (LookupAccountSidW(nullptr, sid, user, &user_size, domain, &domain_size, &use)) {
      const int bytes = WideCharToMultiByte(CP_UTF8, 0, user, -1, nullptr, 0, nullptr, nullptr);
      if (bytes > 1) {
        name.resize(static_cast<size_t>(bytes));
        WideCharToMultiByte(CP_UTF8, 0, user, -1, name.data(), bytes, nullptr, nullptr);
        name.pop_back();
      }
    }
    LocalFree(sid);
  }
  return name.empty() ? "uid " + std::to_string(uid) : name;
}

}  // namespace platform
