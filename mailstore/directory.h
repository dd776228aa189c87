// The mail users of the directory and of this server's information store, for the mailbox
// list when the storage server cannot be used, and the small directory routines of the same
// family. The directory is reached through platform/directory.h, the information store's
// keys in the local machine hive:
//
//   SYSTEM\CurrentControlSet\Services\MSExchangeIS\Schema       one value per database GUID
//   SYSTEM\CurrentControlSet\Services\MSExchangeIS\<server>\Private-<GUID>, ...\Public-<GUID>
//   SOFTWARE\Microsoft\ExchangeServer\v15\ActiveManager\DbState  "<GUID>" = mount state text
//
// Thread safety: the enumerations run on the mail store parser's worker thread. The cached
// host and store server names may be filled by any thread; both write the same text.
#ifndef MAILSTORE_DIRECTORY_H_
#define MAILSTORE_DIRECTORY_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "mailstore/status.h"
#include "platform/registry.h"

namespace mailstore {

// The users homed in a mailbox database of this server (or of every server, with
// `all_servers`), each reported to `callback`; a stop status from it ends the walk and is
// returned.
uint32_t EnumMDBMailUsers(MailUserCallback callback, void* context, bool all_servers,
                          bool proxy_addresses);
// The mail users of every domain of the directory, reported to `callback` (only those with a
// mailbox here unless `all_users`).
uint32_t EnumADMailUsers(MailUserCallback callback, void* context, bool all_users,
                         bool proxy_addresses);
uint32_t EnumMailUsersInContainer(const char16_t* container_dn, MailUserCallback callback,
                                  void* context, bool all_users, bool proxy_addresses);

// Whether the database with `guid` (braced text) is mounted on this server.
bool IsItHomeMDB(bool private_database, const char16_t* guid, const char16_t* owning_server);

// This computer's name (cached; empty on failure, never null).
const char16_t* GetHostName();
// This server's name as the information store's keys have it (cached once found), or null.
const char16_t* GetStoreServerName();
// Replaces an msExchHomeServerName value by the server name it ends in (upper case).
bool GetHomeServerName(std::u16string* name);

// Opens a key of the local machine hive for reading (or reading and writing). The 32- and
// 64-bit views of Windows do not exist here: every request gets the one view.
uint32_t OpenLocalMachineKey(std::string_view subkey, bool write, bool view_32,
                             platform::RegistryKey* key);

uint32_t GetExchangeTransportAuthDomains(std::u16string* domains);
uint32_t GetHubExchangeServers(std::u16string* servers);
// "<domain>\<account>" of this process's account (the domain of a local account is the
// computer's name).
uint32_t GetCurrentUserName(std::u16string* name);

// The SMTP addresses of a ';'-separated list, each followed by ';'.
void FilterSmtpAddresses(const char16_t* list, std::u16string* addresses);
// The one SMTP address of `text` ("SMTP:Name <a@b>"), or empty.
void ExtractSmtpAddress(const char16_t* text, std::u16string* address);
// Whether `url` names a mailbox ("file://./backofficestorage/<domain>/MBX/...").
bool IsMailboxUrl(std::u16string_view url);

}  // namespace mailstore

#endif  // MAILSTORE_DIRECTORY_H_
