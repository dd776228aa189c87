// The mail users of the directory and of this server's information store, for the mailbox
// list when the storage server cannot be used, and the two other directory searches of the
// same family (accepted domains, hub servers). The directory is reached through
// platform/directory_client.h; which databases are this server's is mail_host.h's to say.
//
// Thread safety: the enumerations run on the mail store parser's worker thread; each opens
// one directory enumeration (joining the caller's when one is open on the thread).
#ifndef MAILSTORE_DIRECTORY_H_
#define MAILSTORE_DIRECTORY_H_

#include <cstdint>
#include <string>

#include "mailstore/status.h"

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

uint32_t GetExchangeTransportAuthDomains(std::u16string* domains);
uint32_t GetHubExchangeServers(std::u16string* servers);

}  // namespace mailstore

#endif  // MAILSTORE_DIRECTORY_H_
