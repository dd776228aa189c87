// This machine as the mail store sees it, and the small routines of the same family: the
// host's and the information store server's names, which databases are mounted here (the
// information store's keys in the local machine hive), and the text of mail addresses and
// mailbox URLs.
//
//   SYSTEM\CurrentControlSet\Services\MSExchangeIS\Schema       one value per database GUID
//   SYSTEM\CurrentControlSet\Services\MSExchangeIS\<server>\Private-<GUID>, ...\Public-<GUID>
//   SOFTWARE\Microsoft\ExchangeServer\v15\ActiveManager\DbState  "<GUID>" = mount state text
//
// Thread safety: every routine may run on any thread. The two names are cached for the
// process once found (both fillers write the same text) until ForgetMailHostNames, which
// must not run while an enumeration or another caller may still read a name it was given.
#ifndef MAILSTORE_MAIL_HOST_H_
#define MAILSTORE_MAIL_HOST_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "mailstore/status.h"
#include "platform/registry.h"

namespace mailstore {

// This computer's name (cached; empty on failure, never null).
const char16_t* GetHostName();
// This server's name as the information store's keys have it (cached once found), or null.
const char16_t* GetStoreServerName();
// Forgets both cached names, so that the next call looks again (module shutdown, tests that
// change the machine).
void ForgetMailHostNames();
// Replaces an msExchHomeServerName value by the server name it ends in (upper case).
bool GetHomeServerName(std::u16string* name);

// Whether the database with `guid` (braced text) is mounted on this server.
bool IsItHomeMDB(bool private_database, const char16_t* guid, const char16_t* owning_server);

// Opens a key of the local machine hive for reading (or reading and writing). The 32- and
// 64-bit views of Windows do not exist here: every request gets the one view.
uint32_t OpenLocalMachineKey(std::string_view subkey, bool write, bool view_32,
                             platform::RegistryKey* key);

// "<domain>\<account>" of this process's account (the domain of a local account is the
// computer's name).
uint32_t GetCurrentUserName(std::u16string* name);

// The SMTP addresses of a ';'-separated list, each followed by ';'.
void FilterSmtpAddresses(const char16_t* list, std::u16string* addresses);
// The one SMTP address of `text` ("SMTP:Name <a@b>"), or empty.
void ExtractSmtpAddress(const char16_t* text, std::u16string* address);
// Whether `url` names a mailbox ("file://./backofficestorage/<domain>/MBX/...").
bool IsMailboxUrl(std::u16string_view url);

// Whether two texts are equal without regard to ASCII letter case.
bool EqualsFolded(std::u16string_view a, std::u16string_view b);

}  // namespace mailstore

#endif  // MAILSTORE_MAIL_HOST_H_
