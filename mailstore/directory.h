// The mail users of the directory, for the mailbox list when the storage server cannot be
// used. The directory is reached through its own port; until that port is there, every
// enumeration answers a general failure.
//
// Thread safety: called from the mail store parser's worker thread only.
#ifndef MAILSTORE_DIRECTORY_H_
#define MAILSTORE_DIRECTORY_H_

#include <cstdint>

#include "mailstore/status.h"

namespace mailstore {

// The users whose mailbox lies in a store of this server (or of every server, with
// `all_servers`), each reported to `callback`; a stop status from it ends the walk.
uint32_t EnumMDBMailUsers(MailUserCallback callback, void* context, bool all_servers,
                          bool proxy_addresses);
// Every mail user of the directory's domains, reported to `callback`.
uint32_t EnumADMailUsers(MailUserCallback callback, void* context);

}  // namespace mailstore

#endif  // MAILSTORE_DIRECTORY_H_
