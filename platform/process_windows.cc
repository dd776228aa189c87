// Process facts from Windows: the ids, the tick count, the local time, the computer's name
// and the process's account (the executable's path is the first module's, in
// library_windows.cc).
//
// Thread safety: no state of its own; safe from any thread.
#include "platform/process.h"

#include <algorithm>
#include <vector>

#include "platform/errors.h"
#include "platform/win32_windows.h"

namespace platform {

uint32_t GetCurrentProcessId() { return ::GetCurrentProcessId(); }

uint32_t GetCurrentThreadId() { return ::GetCurrentThreadId(); }

uint32_t GetTickCount() { return ::GetTickCount(); }

bool GetLocalTime(SystemTime* time) {
  SYSTEMTIME local;
  ::GetLocalTime(&local);
  time->year = local.wYear;
  time->month = local.wMonth;
  time->day_of_week = local.wDayOfWeek;
  time->day = local.wDay;
  time->hour = local.wHour;
  time->minute = local.wMinute;
  time->second = local.wSecond;
  time->milliseconds = local.wMilliseconds;
  return true;
}

bool GetComputerName(char16_t* buffer, uint32_t* size) {
  if (size == nullptr) return false;
  // The host name without its domain, as the POSIX port gives it.
  wchar_t name[256];
  DWORD length = 256;
  if (!::GetComputerNameExW(ComputerNamePhysicalDnsHostname, name, &length) &&
      !(length = 256, ::GetComputerNameW(name, &length))) {
    return false;
  }
  std::wstring_view host(name, length);
  host = host.substr(0, host.find(L'.'));
  if (buffer == nullptr || host.size() + 1 > *size) {
    *size = static_cast<uint32_t>(host.size() + 1);
    return false;
  }
  std::copy(host.begin(), host.end(), buffer);
  buffer[host.size()] = u'\0';
  *size = static_cast<uint32_t>(host.size());
  return true;
}

uint32_t LookupProcessAccount(std::u16string* domain, std::u16string* account) {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return kErrorNoneMapped;
  DWORD needed = 0;
  ::GetTokenInformation(token, TokenUser, nullptr, 0, &needed);
  std::vector<unsigned char> user(needed > 0 ? needed : 1);
  const bool got = ::GetTokenInformation(token, TokenUser, user.data(), needed, &needed);
  ::CloseHandle(token);
  if (!got) return kErrorNoneMapped;
  PSID sid = reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid;
  wchar_t name[256], domain_name[256];
  DWORD name_size = 256, domain_size = 256;
  SID_NAME_USE use;
  if (!::LookupAccountSidW(nullptr, sid, name, &name_size, domain_name, &domain_size, &use)) {
    return ::GetLastError() == ERROR_NOT_ENOUGH_MEMORY ? kErrorNotEnoughMemory : kErrorNoneMapped;
  }
  if (domain != nullptr) domain->assign(reinterpret_cast<const char16_t*>(domain_name), domain_size);
  if (account != nullptr) account->assign(reinterpret_cast<const char16_t*>(name), name_size);
  return 0;
}

}  // namespace platform
