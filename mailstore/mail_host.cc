// This machine as the mail store sees it: its name and the information store server's name
// (each cached once found), the information store's keys that say which databases are
// mounted here, and the small text routines for mail addresses and mailbox URLs.
//
// Thread safety: see mail_host.h. The cached names are written under one lock.
#include "mailstore/mail_host.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>

#include "platform/process.h"
#include "platform/unicode.h"
#include "support/trace.h"

using support::TRACE_ERROR;
using support::TRACE_INFO;
using support::TraceEnabled;
using support::TraceOut;
using support::TraceOutWide;

namespace mailstore {
namespace {

constexpr int32_t kHomeLevel = 5;  // IsItHomeMDB's findings
constexpr size_t kComputerNameSize = 46;
constexpr size_t kStoreServerNameSize = 258;
constexpr size_t kMaxGuidText = 40;
constexpr uint32_t kMaxDbStateBytes = 4094;
constexpr size_t kMaxAddressItem = 512;

constexpr char kInformationStoreKey[] = "SYSTEM\\CurrentControlSet\\Services\\MSExchangeIS";
constexpr char kSchemaKey[] = "SYSTEM\\CurrentControlSet\\Services\\MSExchangeIS\\Schema";
constexpr char kDbStateKey[] = "SOFTWARE\\Microsoft\\ExchangeServer\\v15\\ActiveManager\\DbState";

void Trace(int32_t level, const char* line) {
  if (TraceEnabled) TraceOut("", TRACE_INFO, level, "%s", line);
}

// The cached names of this machine, filled once found and forgotten by ForgetMailHostNames.
std::mutex g_names_lock;  // taken only while a name is not found yet
char16_t g_computer_name[kComputerNameSize];
std::atomic<bool> g_computer_name_found{false};
char16_t g_store_server_name[kStoreServerNameSize];
std::atomic<bool> g_store_server_name_found{false};

char16_t UpperAscii(char16_t c) { return c >= u'a' && c <= u'z' ? c - (u'a' - u'A') : c; }

std::u16string Upper(std::u16string_view text) {
  std::u16string upper(text);
  for (char16_t& c : upper) c = UpperAscii(c);
  return upper;
}

}  // namespace

bool EqualsFolded(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (UpperAscii(a[i]) != UpperAscii(b[i])) return false;
  }
  return true;
}

namespace {

bool IsBlank(char16_t c) { return c == u' '; }

std::u16string_view Trim(std::u16string_view text, bool (*blank)(char16_t) = IsBlank) {
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

bool IsWhiteSpace(char16_t c) { return c == u' ' || (c >= u'\t' && c <= u'\r'); }

std::string Narrow(std::u16string_view text) { return platform::Utf16ToUtf8(text); }

}  // namespace

bool IsItHomeMDB(bool private_database, const char16_t* guid, const char16_t* owning_server) {
  Trace(0, "IsItHomeMDB()\n");
  try {
    if (guid == nullptr || *guid == u'\0') return false;
    platform::Hive& hive = platform::LocalMachine();
    const std::u16string guid_text(guid);
    platform::RegistryKey key;
    if (hive.OpenKey(kSchemaKey, platform::kKeyRead, &key) == 0) {
      uint32_t size = 0;
      if (hive.QueryValue(key, Narrow(guid_text), nullptr, nullptr, &size) == 0 && size <= 4) {
        Trace(kHomeLevel, "GUID was found in 'Schema'...\n");
        return true;
      }
    }
    if (owning_server == nullptr || *owning_server == u'\0') return false;
    const std::u16string owner = Upper(owning_server);
    const size_t cn = owner.find(u"CN=");
    if (cn == std::u16string::npos) return false;
    const size_t comma = owner.find(u',', cn + 3);
    if (comma == std::u16string::npos) return false;
    const std::u16string server(Trim(std::u16string_view(owner).substr(cn + 3, comma - cn - 3)));
    if (guid_text.size() >= kMaxGuidText) return false;
    std::u16string_view bare(guid_text);
    if (!bare.empty() && bare.front() == u'{') bare.remove_prefix(1);
    if (!bare.empty() && bare.back() == u'}') bare.remove_suffix(1);
    const std::u16string guid_key(bare);
    if (TraceEnabled) {
      TraceOutWide("", TRACE_INFO, kHomeLevel, "SRVR:'%ls'\n", server.c_str());
      TraceOutWide("", TRACE_INFO, kHomeLevel, "GUID:'%ls'\n", guid_key.c_str());
    }
    const std::string database_key = std::string(kInformationStoreKey) + "\\" + Narrow(server) +
                                     (private_database ? "\\Private-" : "\\Public-") +
                                     Narrow(guid_key);
    if (hive.OpenKey(database_key, platform::kKeyRead, &key) == 0) {
      if (TraceEnabled) {
        TraceOutWide("", TRACE_INFO, kHomeLevel, "Found key '%ls'\n",
                     platform::Utf8ToUtf16(database_key).c_str());
      }
      return true;
    }
    if (OpenLocalMachineKey(kDbStateKey, false, false, &key) != 0) return false;
    platform::RegistryValue value;
    if (hive.QueryValue(key, Narrow(guid_key), &value) != 0 ||
        value.data.size() > kMaxDbStateBytes) {
      return false;
    }
    const std::u16string text = platform::Utf8ToUtf16(value.data.substr(0, value.data.find('\0')));
    if (TraceEnabled) TraceOutWide("", TRACE_INFO, kHomeLevel, "Found MDB properties:'%ls'\n", text.c_str());
    const std::u16string state = Upper(text);
    if (state.find(u"MOUNTSTATUS?MOUNTED") == std::u16string::npos) return false;
    static constexpr std::u16string_view kLastMounted = u"LASTMOUNTEDSERVER?";
    const size_t last = state.find(kLastMounted);
    if (last == std::u16string::npos) return false;
    const std::u16string_view mounted = std::u16string_view(state).substr(last + kLastMounted.size());
    if (mounted.size() < server.size() || !EqualsFolded(mounted.substr(0, server.size()), server)) {
      return false;
    }
    if (mounted.size() > server.size() && mounted[server.size()] != u'*') return false;
    Trace(kHomeLevel, "Found as owning server\n");
    return true;
  } catch (...) {
    TraceException();
    return false;
  }
}

const char16_t* GetHostName() {
  Trace(0, "GetHostName()\n");
  if (g_computer_name_found.load(std::memory_order_acquire)) return g_computer_name;
  std::lock_guard<std::mutex> guard(g_names_lock);
  if (!g_computer_name_found.load(std::memory_order_relaxed)) {
    uint32_t size = kComputerNameSize;
    if (!platform::GetComputerName(g_computer_name, &size)) g_computer_name[0] = u'\0';
    g_computer_name_found.store(true, std::memory_order_release);
  }
  return g_computer_name;
}

const char16_t* GetStoreServerName() {
  if (g_store_server_name_found.load(std::memory_order_acquire)) return g_store_server_name;
  std::lock_guard<std::mutex> guard(g_names_lock);
  if (g_store_server_name_found.load(std::memory_order_relaxed)) return g_store_server_name;
  try {
    platform::Hive& hive = platform::LocalMachine();
    platform::RegistryKey store;
    if (hive.OpenKey(kInformationStoreKey, platform::kKeyQueryValue | platform::kKeyEnumerateSubKeys,
                     &store) != 0) {
      return nullptr;
    }
    std::string server;
    for (uint32_t i = 0; hive.EnumKey(store, i, &server) == 0; ++i) {
      if (server.empty()) continue;
      platform::RegistryKey outer;
      if (hive.OpenKey(store, server, platform::kKeyQueryValue | platform::kKeyEnumerateSubKeys,
                       &outer) != 0) {
        continue;
      }
      std::string database;
      for (uint32_t j = 0; hive.EnumKey(outer, j, &database) == 0; ++j) {
        const std::u16string name = Upper(platform::Utf8ToUtf16(database));
        if ((name.size() == 44 || name.size() == 43) &&
            (name.starts_with(u"PRIVATE-") || name.starts_with(u"PUBLIC-"))) {
          const std::u16string wide = platform::Utf8ToUtf16(server);
          if (wide.size() >= kStoreServerNameSize) return nullptr;
          std::copy(wide.begin(), wide.end(), g_store_server_name);
          g_store_server_name[wide.size()] = u'\0';
          g_store_server_name_found.store(true, std::memory_order_release);
          return g_store_server_name;
        }
      }
    }
  } catch (...) {
    TraceException();
  }
  return nullptr;
}

void ForgetMailHostNames() {
  // Only the flags: a name handed out before keeps its text until a later call finds a name
  // again and writes it over.
  std::lock_guard<std::mutex> guard(g_names_lock);
  g_computer_name_found.store(false, std::memory_order_release);
  g_store_server_name_found.store(false, std::memory_order_release);
}

bool GetHomeServerName(std::u16string* name) {
  if (name == nullptr) return false;
  if (name->empty()) return true;
  const std::u16string upper = Upper(*name);
  const size_t cn = upper.rfind(u"CN=");
  *name = cn == std::u16string::npos ? std::u16string()
                                     : std::u16string(Trim(std::u16string_view(upper).substr(cn + 3)));
  return true;
}

uint32_t OpenLocalMachineKey(std::string_view subkey, bool write, bool view_32,
                             platform::RegistryKey* key) {
  return platform::LocalMachine().OpenKey(
      subkey, write ? platform::kKeyRead | platform::kKeyWrite : platform::kKeyRead, key);
}

uint32_t GetCurrentUserName(std::u16string* name) {
  if (name == nullptr) return kInvalidArg;
  std::u16string domain, account;
  const uint32_t error = platform::LookupProcessAccount(&domain, &account);
  if (error != 0) {
    if (TraceEnabled) TraceOut("", TRACE_ERROR, 0, "LookupAccountSidW() Failed : 0x%08X\n", error);
    return error;
  }
  *name = domain + u"\\" + account;
  return 0;
}

void FilterSmtpAddresses(const char16_t* list, std::u16string* addresses) {
  if (addresses == nullptr) return;
  addresses->clear();
  if (list == nullptr) return;
  std::u16string_view rest(list);
  while (true) {
    const size_t end = rest.find(u';');
    std::u16string_view item = rest.substr(0, end);
    const bool last = end == std::u16string_view::npos;
    if (!last) rest.remove_prefix(end + 1);
    if (item.size() < kMaxAddressItem && !Trim(item, IsWhiteSpace).empty()) {
      bool keep = true;
      const size_t colon = item.find(u':');
      if (colon != std::u16string_view::npos) {
        const std::u16string_view type = Trim(item.substr(0, colon), IsWhiteSpace);
        keep = type.empty() || EqualsFolded(type, u"smtp");
        item.remove_prefix(colon + 1);
        keep = keep && !item.empty();
      }
      const size_t open = keep ? item.find(u'<') : std::u16string_view::npos;
      if (open != std::u16string_view::npos) {
        const size_t close = item.find(u'>', open + 1);
        keep = close != std::u16string_view::npos && close > open + 1;
        if (keep) item = item.substr(open + 1, close - open - 1);
      }
      if (keep) addresses->append(item).push_back(u';');
    }
    if (last) break;
  }
}

void ExtractSmtpAddress(const char16_t* text, std::u16string* address) {
  if (address == nullptr) return;
  address->clear();
  if (text == nullptr) return;
  std::u16string_view item(text);
  if (item.size() >= kMaxAddressItem) return;
  const size_t colon = item.find(u':');
  if (colon != std::u16string_view::npos) item.remove_prefix(colon + 1);
  const size_t open = item.rfind(u'<');
  if (open != std::u16string_view::npos) {
    const size_t close = item.find(u'>', open + 1);
    if (close == std::u16string_view::npos) return;
    item = item.substr(open + 1, close - open - 1);
  }
  if (Trim(item, IsWhiteSpace).empty() || item.find(u'@') == std::u16string_view::npos) return;
  address->assign(item);
}

bool IsMailboxUrl(std::u16string_view url) {
  std::u16string upper = Upper(url);
  for (char16_t& c : upper) c = c == u'\\' ? u'/' : c;
  size_t slash = std::u16string::npos;
  for (int i = 0; i < 5; ++i) {
    slash = upper.find(u'/', slash == std::u16string::npos ? 0 : slash + 1);
    if (slash == std::u16string::npos) return false;
  }
  return std::u16string_view(upper).substr(slash).starts_with(u"/MBX/");
}

}  // namespace mailstore
