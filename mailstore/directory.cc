// The directory queries: the mailbox databases of this server and their users, the mail
// users of every domain, the accepted domains and the hub servers.
#include "mailstore/directory.h"

#include <cstdarg>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "mailstore/mail_host.h"
#include "platform/directory_client.h"
#include "platform/unicode.h"
#include "support/trace.h"

using support::TRACE_ERROR;
using support::TRACE_INFO;
using support::TRACE_WARNING;
using support::TraceEnabled;
using support::TraceOut;
using support::TraceOutWide;

namespace mailstore {
namespace {

using platform::AdsSearchColumn;
using platform::AdsSearchHandle;
using platform::IADs;
using platform::IDirectorySearch;
using platform::Variant;

constexpr uint32_t kOpenFlags = platform::kAdsSecureAuthentication | platform::kAdsReadonlyServer;
constexpr int32_t kHomeLevel = 5;   // the search bases, the hub lookup
constexpr int32_t kItemLevel = 6;   // one line per database or user
constexpr uint32_t kRangeSize = 500;
constexpr uint32_t kMaxRangeStart = 50000;

void Info(int32_t level, const char* format, ...) __attribute__((format(printf, 2, 3)));
void Info(int32_t level, const char* format, ...) {
  if (!TraceEnabled) return;
  va_list args;
  va_start(args, format);
  char line[2048];
  vsnprintf(line, sizeof line, format, args);
  va_end(args);
  TraceOut("", TRACE_INFO, level, "%s", line);
}

// The text of a string column's first value, or empty.
std::u16string ColumnText(const AdsSearchColumn& column) {
  for (const platform::AdsValue& value : column.values) {
    if (value.type != platform::kAdsTypeOctetString && value.type != platform::kAdsTypeInteger) {
      return value.text;
    }
  }
  return std::u16string();
}

// A search column's first value as text; false when the row lacks it.
bool ReadColumn(IDirectorySearch* search, AdsSearchHandle handle, const char16_t* name,
                AdsSearchColumn* column) {
  return search->GetColumn(handle, name, column) == 0 && !column->values.empty();
}

// "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}" of a GUID's 16 bytes, in Windows' field order.
std::u16string GuidText(const std::vector<uint8_t>& bytes) {
  if (bytes.size() != 16) return std::u16string();
  char text[40];
  snprintf(text, sizeof text,
           "{%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X}", bytes[3],
           bytes[2], bytes[1], bytes[0], bytes[5], bytes[4], bytes[7], bytes[6], bytes[8],
           bytes[9], bytes[10], bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
  return platform::Utf8ToUtf16(text);
}

// The subtree scope that every search here asks for.
uint32_t SetSubtreeScope(IDirectorySearch* search) {
  platform::AdsSearchPreference preference;
  preference.preference = platform::kAdsSearchPrefSearchScope;
  preference.type = platform::kAdsTypeInteger;
  preference.integer = platform::kAdsScopeSubtree;
  return search->SetSearchPreference(&preference, 1);
}

// Attribute value "ProxyAddresses", or "SMTP:" + mail when it cannot be read.
Variant ProxyAddressesOf(IADs* user, const std::u16string& mail, bool* read) {
  Variant value;
  *read = user->Get(u"ProxyAddresses", &value) == 0;
  if (!*read) value = Variant::String(u"SMTP:" + mail);
  return value;
}

// The configuration naming context through the root DSE, kept open for the whole
// enumeration so that every operation goes over its connection.
struct RootDse {
  std::unique_ptr<IADs> object;
  std::u16string configuration;
  std::u16string users;  // the default naming context, where the users are read ahead
};

// Opens `path`, tracing a failure.
template <typename Interface>
uint32_t OpenTraced(const std::u16string& path, std::unique_ptr<Interface>* object) {
  const uint32_t hr = platform::ADsOpenObject(path.c_str(), nullptr, nullptr, kOpenFlags, object);
  if (hr != 0 && TraceEnabled) {
    TraceOutWide("", TRACE_ERROR, 0, "ADsOpenObject(%ls) Failed : 0x%08X\n", path.c_str(), hr);
  }
  return hr;
}

// A subtree search of `path`, with the set-up failures of the database enumeration.
uint32_t OpenSearch(const std::u16string& path, std::unique_ptr<IDirectorySearch>* search) {
  uint32_t hr = OpenTraced(path, search);
  if (hr != 0) return hr;
  hr = SetSubtreeScope(search->get());
  if (hr != 0 && TraceEnabled) {
    TraceOut("", TRACE_ERROR, 0, "SetSearchPreference() Failed : 0x%08X\n", hr);
  }
  return hr;
}

// Starts `filter` on a search of the Exchange services container.
uint32_t ExecuteServicesSearch(IDirectorySearch* search, const char16_t* filter,
                               const char16_t* const* attributes, uint32_t count,
                               AdsSearchHandle* handle) {
  const uint32_t hr = search->ExecuteSearch(filter, attributes, count, handle);
  if (hr != 0 && TraceEnabled) {
    TraceOut("", TRACE_ERROR, 0, "pContainerToSearch->ExecuteSearch() Failed : 0x%08X\n", hr);
  }
  return hr;
}

// Opens `path` as a subtree search and starts `filter` on it, with the failures of the
// domain enumerations.
uint32_t StartDomainSearch(const std::u16string& path, const char16_t* filter,
                           const char16_t* const* attributes, uint32_t count,
                           std::unique_ptr<IDirectorySearch>* search, AdsSearchHandle* handle) {
  uint32_t hr = platform::ADsOpenObject(path.c_str(), nullptr, nullptr, kOpenFlags, search);
  if (hr != 0) {
    if (TraceEnabled) {
      TraceOutWide("", TRACE_ERROR, 0, "Could not bind to '%ls', Failed : 0x%08X\n", path.c_str(), hr);
    }
    return hr;
  }
  hr = SetSubtreeScope(search->get());
  if (hr != 0) {
    if (TraceEnabled) TraceOut("", TRACE_ERROR, 0, "pDirSrch->SetSearchPreference() Failed : 0x%08X'\n", hr);
    return hr;
  }
  hr = (*search)->ExecuteSearch(filter, attributes, count, handle);
  if (hr != 0 && TraceEnabled) {
    TraceOutWide("", TRACE_ERROR, 0, "pDirSrch->ExecuteSearch(%ls) Failed : 0x%08X'\n", filter, hr);
  }
  return hr;
}

// Steps 1 to 3 of the database enumeration: the root DSE, its configuration naming context
// and a subtree search of the Exchange services container.
uint32_t BindExchangeServices(RootDse* root, std::unique_ptr<IDirectorySearch>* search) {
  uint32_t hr = platform::ADsOpenObject(u"LDAP://rootDSE", nullptr, nullptr, kOpenFlags,
                                        &root->object);
  if (hr != 0) {
    if (TraceEnabled) TraceOut("", TRACE_ERROR, 0, "ADsOpenObject(LDAP://rootDSE) Failed : 0x%08X\n", hr);
    return hr;
  }
  Variant context;
  hr = root->object->Get(u"configurationNamingContext", &context);
  if (hr != 0 || !context.is_string()) {
    if (TraceEnabled) TraceOut("", TRACE_ERROR, 0, "Couldn't get 'configurationNamingContext'\n");
    return hr != 0 ? hr : platform::kEAdsPropertyNotFound;
  }
  root->configuration = context.text;
  Variant users;
  if (root->object->Get(u"defaultNamingContext", &users) == 0 && users.is_string()) {
    root->users = users.text;
  }
  return OpenSearch(platform::PathOfDn(u"CN=Microsoft Exchange,CN=Services," + root->configuration),
                    search);
}

// A failure of an open that ends the whole enumeration: a stop, or a bound reached. The
// walk ends with it at once instead of failing every back-link left.
bool EndsEnumeration(uint32_t hr) {
  return hr == kAborted || hr == platform::kEDsTimeLimitExceeded ||
         hr == platform::kEDsSizeLimitExceeded;
}

// `value` as an assertion value of a filter.
std::u16string FilterValue(std::u16string_view value) {
  std::u16string escaped;
  for (char16_t c : value) {
    if (c == u'*' || c == u'(' || c == u')' || c == u'\\' || c == u'\0') {
      static constexpr char16_t kHex[] = u"0123456789abcdef";
      escaped += {u'\\', kHex[c >> 4], kHex[c & 15]};
    } else {
      escaped.push_back(c);
    }
  }
  return escaped;
}

// Reports the users of one database, read from its back-links in ranges of 500. The users
// homed on it below `users_base` are read ahead in pages, so that opening each back-link
// costs no round trip of its own; one the read-ahead did not bring is read singly.
uint32_t EnumDatabaseUsers(const std::u16string& database_dn, const std::u16string& users_base,
                           bool home, MailUserCallback callback, void* context,
                           bool proxy_addresses) {
  const std::u16string path = platform::PathOfDn(database_dn);
  std::unique_ptr<IADs> database;
  uint32_t hr = platform::ADsOpenObject(path.c_str(), nullptr, nullptr, kOpenFlags, &database);
  if (hr != 0) {
    if (TraceEnabled) {
      TraceOutWide("", TRACE_ERROR, 0, "ADsOpenObject(LDAP://%ls) Failed : 0x%08X\n",
                   database_dn.c_str(), hr);
    }
    return 0;
  }
  for (uint32_t first = 0; first < kMaxRangeStart; first += kRangeSize) {
    char range[64];
    snprintf(range, sizeof range, "homeMDBBL;range=%u-%u", first, first + kRangeSize - 1);
    const std::u16string attribute = platform::Utf8ToUtf16(range);
    const char16_t* names[] = {attribute.c_str()};
    Variant wanted;
    platform::ADsBuildVarArrayStr(names, 1, &wanted);
    hr = database->GetInfoEx(wanted, 0);
    if (hr != 0) {
      if (TraceEnabled) {
        TraceOutWide("", TRACE_WARNING, 0, "GetInfoEx('%ls') Err : 0x%08X\n", attribute.c_str(), hr);
      }
      return 0;
    }
    Variant links;
    hr = database->Get(u"homeMDBBL", &links);
    if (hr != 0) {
      if (TraceEnabled) {
        TraceOutWide("", TRACE_WARNING, 0, "Get('%ls') Err : 0x%08X\n", attribute.c_str(), hr);
      }
      return 0;
    }
    if (links.dimensions() != 1) return 0;
    if (TraceEnabled) {
      TraceOutWide("", TRACE_INFO, 0, "Get('%ls') : %d\n", attribute.c_str(),
                   static_cast<int>(links.items.size()));
    }
    if (first == 0 && !links.items.empty() && !users_base.empty()) {
      static const char16_t* const kRead[] = {u"displayName", u"mail", u"legacyExchangeDN",
                                             u"proxyAddresses"};
      // Best effort: what it did not bring is opened singly, and a stop or the time limit
      // it met ends the opens that follow.
      platform::DirectoryReadAhead(kOpenFlags, users_base,
                                   u"(homeMDB=" + FilterValue(database_dn) + u")", kRead,
                                   proxy_addresses ? 4 : 3);
    }
    for (const Variant& link : links.items) {
      if (!link.is_string()) continue;
      std::unique_ptr<IADs> user;
      hr = OpenTraced(platform::PathOfDn(link.text), &user);
      if (EndsEnumeration(hr)) return hr;
      if (hr != 0) continue;
      Variant name, mail, legacy;
      if (user->Get(u"displayName", &name) != 0 || user->Get(u"mail", &mail) != 0) continue;
      if (user->Get(u"legacyExchangeDN", &legacy) != 0 || !legacy.is_string()) legacy = Variant();
      Variant proxy;
      if (proxy_addresses && mail.is_string()) {
        bool read;
        proxy = ProxyAddressesOf(user.get(), mail.text, &read);
      }
      if (name.is_string() && mail.is_string()) {
        hr = callback(name.text.c_str(), mail.text.c_str(), home, &proxy, legacy.text.c_str(),
                      context);
        if (hr == kAborted) return hr;
      }
    }
    if (links.items.size() < kRangeSize) {
      Info(0, "EndOfList\n");
      break;
    }
  }
  return 0;
}

uint32_t EnumMDBMailUsersOnce(MailUserCallback callback, void* context, bool all_servers,
                              bool proxy_addresses) {
  RootDse root;
  std::unique_ptr<IDirectorySearch> search;
  uint32_t hr = BindExchangeServices(&root, &search);
  if (hr != 0) return hr;
  const char16_t* attributes[] = {u"distinguishedName", u"msExchOwningServer", u"objectGUID"};
  AdsSearchHandle handle = nullptr;
  hr = ExecuteServicesSearch(search.get(),
                             u"(&(objectClass=msExchMDB)(objectCategory=msExchPrivateMDB))",
                             attributes, 3, &handle);
  if (hr != 0) return hr;
  while ((hr = search->GetNextRow(handle)) == 0) {
    AdsSearchColumn column;
    std::u16string dn, owner, guid;
    if (ReadColumn(search.get(), handle, u"distinguishedName", &column)) dn = ColumnText(column);
    search->FreeColumn(&column);
    if (ReadColumn(search.get(), handle, u"msExchOwningServer", &column)) {
      owner = ColumnText(column);
    }
    search->FreeColumn(&column);
    if (ReadColumn(search.get(), handle, u"objectGUID", &column)) {
      guid = GuidText(column.values.front().bytes);
    }
    search->FreeColumn(&column);
    if (TraceEnabled) {
      TraceOutWide("", TRACE_INFO, kItemLevel, "PrivateMDB 'distinguishedName'  : %ls\n", dn.c_str());
      TraceOutWide("", TRACE_INFO, kItemLevel, "PrivateMDB 'msExchOwningServer' : %ls\n", owner.c_str());
      TraceOutWide("", TRACE_INFO, kItemLevel, "PrivateMDB 'objectGUID'         : %ls\n", guid.c_str());
    }
    if (dn.size() < 4) continue;
    const bool home = IsItHomeMDB(true, guid.c_str(), owner.c_str());
    Info(kItemLevel, "bHomeServer : %d\n", home ? 1 : 0);
    if (!all_servers && !home) {
      Info(kItemLevel, "This MDB is to be skipped (foreign server)...\n");
      continue;
    }
    hr = EnumDatabaseUsers(dn, root.users, home, callback, context, proxy_addresses);
    if (hr == kAborted) break;
  }
  search->CloseSearchHandle(handle);
  return hr == platform::kSAdsNoMoreRows ? 0 : hr;
}

uint32_t EnumADMailUsersOnce(MailUserCallback callback, void* context, bool all_users,
                             bool proxy_addresses) {
  RootDse root;
  uint32_t hr = platform::ADsOpenObject(u"LDAP://rootDSE", nullptr, nullptr, kOpenFlags,
                                        &root.object);
  if (hr != 0) {
    if (TraceEnabled) TraceOut("", TRACE_ERROR, 0, "Could not bind to 'LDAP://rootDSE', Failed : 0x%08X\n", hr);
    return hr;
  }
  Variant configuration;
  hr = root.object->Get(u"configurationNamingContext", &configuration);
  if (hr != 0 || !configuration.is_string()) {
    if (TraceEnabled) TraceOut("", TRACE_ERROR, 0, "Could not obtain 'configurationNamingContext'\n");
    return hr != 0 ? hr : platform::kEAdsPropertyNotFound;
  }
  const char16_t* attributes[] = {u"systemFlags", u"nCName"};
  std::unique_ptr<IDirectorySearch> search;
  AdsSearchHandle handle = nullptr;
  hr = StartDomainSearch(platform::PathOfDn(u"cn=Partitions," + configuration.text),
                         u"(&(objectCategory=CrossRef)(objectClass=CrossRef))", attributes, 2,
                         &search, &handle);
  if (hr != 0) return hr;
  // Naming contexts in order, each once however its DN is spelled.
  std::map<std::u16string, std::u16string> domains;
  while ((hr = search->GetNextRow(handle)) == 0) {
    AdsSearchColumn flags, name;
    const bool has_flags = ReadColumn(search.get(), handle, u"systemFlags", &flags);
    const bool has_name = ReadColumn(search.get(), handle, u"nCName", &name);
    if (has_flags && has_name && flags.values.front().type == platform::kAdsTypeInteger &&
        (flags.values.front().integer & 2) != 0) {
      const std::u16string context_name = ColumnText(name);
      domains.emplace(platform::NormalizeDn(context_name), context_name);
    }
    search->FreeColumn(&flags);
    search->FreeColumn(&name);
  }
  search->CloseSearchHandle(handle);
  if (hr != platform::kSAdsNoMoreRows) return hr;
  hr = 0;
  for (const auto& [normal, domain] : domains) {
    hr = EnumMailUsersInContainer(domain.c_str(), callback, context, all_users, proxy_addresses);
    if (hr == kAborted) break;
  }
  return hr;
}

uint32_t EnumMailUsersInContainerOnce(const char16_t* container_dn, MailUserCallback callback,
                                      void* context, bool all_users, bool proxy_addresses) {
  const std::u16string path = platform::PathOfDn(container_dn != nullptr ? container_dn : u"");
  const std::u16string host = GetHostName();
  const char16_t* store = GetStoreServerName();
  const std::u16string local = store != nullptr ? store : host;
  if (TraceEnabled) TraceOutWide("", TRACE_INFO, kHomeLevel, "Try to find users at : '%ls'\n", path.c_str());
  const char16_t* attributes[] = {u"displayName", u"mail", u"distinguishedName",
                                  u"msExchHomeServerName", u"legacyExchangeDN"};
  std::unique_ptr<IDirectorySearch> search;
  AdsSearchHandle handle = nullptr;
  uint32_t hr = StartDomainSearch(path, u"(&(objectClass=user)(objectCategory=person)(mail=*))",
                                  attributes, 5, &search, &handle);
  if (hr != 0) return hr;
  while ((hr = search->GetNextRow(handle)) == 0) {
    std::u16string fields[5];
    bool present[5];
    for (int i = 0; i < 5; ++i) {
      AdsSearchColumn column;
      present[i] = ReadColumn(search.get(), handle, attributes[i], &column);
      if (present[i]) fields[i] = ColumnText(column);
      search->FreeColumn(&column);
    }
    if (!present[0] || !present[1] || !present[2]) continue;
    const std::u16string& name = fields[0];
    const std::u16string& mail = fields[1];
    std::u16string home = fields[3];
    GetHomeServerName(&home);
    const bool local_mailbox = !home.empty() && EqualsFolded(home, local);
    if (TraceEnabled) {
      TraceOutWide("", TRACE_INFO, kItemLevel, "'displayName' : %ls\n", name.c_str());
      TraceOutWide("", TRACE_INFO, kItemLevel, "'mail'        : %ls\n", mail.c_str());
      TraceOutWide("", TRACE_INFO, kItemLevel, "'HomeServer'  : %ls, bHasLocalMailbox=%d\n",
                   home.c_str(), local_mailbox ? 1 : 0);
    }
    if (!all_users && !local_mailbox) continue;
    Variant proxy;
    if (proxy_addresses) {
      const std::u16string user_path = platform::PathOfDn(fields[2]);
      std::unique_ptr<IADs> user;
      const uint32_t bound =
          platform::ADsOpenObject(user_path.c_str(), nullptr, nullptr, kOpenFlags, &user);
      if (bound != 0) {
        if (TraceEnabled) {
          TraceOutWide("", TRACE_WARNING, 0, "Could not bind to user '%ls', Failed : 0x%08X\n",
                       user_path.c_str(), bound);
        }
        proxy = Variant::String(u"SMTP:" + mail);
      } else {
        bool read;
        proxy = ProxyAddressesOf(user.get(), mail, &read);
        if (!read && TraceEnabled) {
          TraceOutWide("", TRACE_WARNING, 0, "Could not obtain 'ProxyAddresses' for '%ls'\n",
                       fields[2].c_str());
        }
      }
    }
    hr = callback(name.c_str(), mail.c_str(), local_mailbox, &proxy, fields[4].c_str(), context);
    if (hr == kAborted) break;
    hr = 0;
  }
  search->CloseSearchHandle(handle);
  return hr == platform::kSAdsNoMoreRows ? 0 : hr;
}

// Runs `body` as one enumeration of the directory (joining the caller's when one is open),
// turning an exception into the general failure.
template <typename Body>
uint32_t Guarded(Body body) {
  try {
    platform::DirectoryEnumeration enumeration;
    return body();
  } catch (...) {
    TraceException();
    return kFail;
  }
}

// Appends a ',' or line feed separated item.
void AppendItem(std::u16string* list, std::u16string_view item, char16_t separator) {
  if (!list->empty()) list->push_back(separator);
  list->append(item);
}

}  // namespace

uint32_t EnumMDBMailUsers(MailUserCallback callback, void* context, bool all_servers,
                          bool proxy_addresses) {
  Info(0, "EnumMDBMailUsers()\n");
  if (callback == nullptr) return kInvalidArg;
  return Guarded([&] { return EnumMDBMailUsersOnce(callback, context, all_servers, proxy_addresses); });
}

uint32_t EnumADMailUsers(MailUserCallback callback, void* context, bool all_users,
                         bool proxy_addresses) {
  Info(0, "EnumADMailUsers()\n");
  if (callback == nullptr) return kInvalidArg;
  return Guarded([&] { return EnumADMailUsersOnce(callback, context, all_users, proxy_addresses); });
}

uint32_t EnumMailUsersInContainer(const char16_t* container_dn, MailUserCallback callback,
                                  void* context, bool all_users, bool proxy_addresses) {
  Info(0, "EnumMailUsersInContainer()\n");
  if (callback == nullptr || container_dn == nullptr) return kInvalidArg;
  return Guarded([&] {
    return EnumMailUsersInContainerOnce(container_dn, callback, context, all_users,
                                        proxy_addresses);
  });
}

uint32_t GetExchangeTransportAuthDomains(std::u16string* domains) {
  if (domains == nullptr) return kInvalidArg;
  domains->clear();
  return Guarded([&]() -> uint32_t {
    RootDse root;
    std::unique_ptr<IDirectorySearch> search;
    uint32_t hr = BindExchangeServices(&root, &search);
    if (hr != 0) return hr;
    const char16_t* attributes[] = {u"msExchAcceptedDomainName", u"msExchAcceptedDomainFlags"};
    AdsSearchHandle handle = nullptr;
    hr = ExecuteServicesSearch(search.get(), u"((ObjectClass=msExchAcceptedDomain))", attributes,
                               2, &handle);
    if (hr != 0) return hr;
    while ((hr = search->GetNextRow(handle)) == 0) {
      AdsSearchColumn name, flags;
      const bool has_name = ReadColumn(search.get(), handle, attributes[0], &name);
      const bool has_flags = ReadColumn(search.get(), handle, attributes[1], &flags);
      if (has_name && has_flags) {
        const std::u16string domain = ColumnText(name);
        const int64_t value = flags.values.front().integer;
        if (!domain.empty() && (value == 0 || value == 12)) AppendItem(domains, domain, u',');
      }
      search->FreeColumn(&name);
      search->FreeColumn(&flags);
    }
    search->CloseSearchHandle(handle);
    return hr == platform::kSAdsNoMoreRows ? 0 : hr;
  });
}

uint32_t GetHubExchangeServers(std::u16string* servers) {
  if (servers == nullptr) return kInvalidArg;
  servers->clear();
  return Guarded([&]() -> uint32_t {
    RootDse root;
    std::unique_ptr<IDirectorySearch> search;
    uint32_t hr = BindExchangeServices(&root, &search);
    if (hr != 0) return hr;
    const char16_t* store = GetStoreServerName();
    const std::u16string server = store != nullptr ? store : u"";
    if (TraceEnabled) TraceOutWide("", TRACE_INFO, kHomeLevel, "MailboxServerName : '%ls'\n", server.c_str());
    const char16_t* attributes[] = {u"name", u"msExchCurrentServerRoles", u"msExchHomeRoutingGroup"};
    const std::u16string own_filter = u"(&(objectClass=msExchExchangeServer)(name=" + server + u"))";
    AdsSearchHandle handle = nullptr;
    hr = ExecuteServicesSearch(search.get(), own_filter.c_str(), attributes, 3, &handle);
    if (hr != 0) return hr;
    std::u16string group;
    if (search->GetNextRow(handle) == 0) {
      AdsSearchColumn column;
      if (ReadColumn(search.get(), handle, u"msExchHomeRoutingGroup", &column)) {
        group = ColumnText(column);
      }
      search->FreeColumn(&column);
    }
    search->CloseSearchHandle(handle);
    if (TraceEnabled) TraceOutWide("", TRACE_INFO, kHomeLevel, "msExchHomeRoutingGroup : '%ls'\n", group.c_str());
    std::u16string hub_filter =
        u"(&(objectClass=msExchExchangeServer)(msExchCurrentServerRoles:1.2.840.113556.1.4.803:=32)";
    if (!group.empty()) hub_filter += u"(msExchHomeRoutingGroup=" + group + u")";
    hub_filter += u")";
    hr = ExecuteServicesSearch(search.get(), hub_filter.c_str(), attributes, 3, &handle);
    if (hr != 0) return hr;
    while ((hr = search->GetNextRow(handle)) == 0) {
      AdsSearchColumn column;
      if (ReadColumn(search.get(), handle, u"name", &column)) {
        const std::u16string name = ColumnText(column);
        if (!name.empty()) {
          if (TraceEnabled) TraceOutWide("", TRACE_INFO, kHomeLevel, "HubServerName : '%ls'\n", name.c_str());
          AppendItem(servers, name, u'\n');
        }
      }
      search->FreeColumn(&column);
    }
    search->CloseSearchHandle(handle);
    return hr == platform::kSAdsNoMoreRows ? 0 : hr;
  });
}

}  // namespace mailstore
