// The public folder tree of the local store, for the public folder list when the storage
// server cannot be used, and two routines that read properties of one store item. The
// store is reached through platform/store_provider.h.
//
// Thread safety: called from the mail store parser's worker thread only, except
// PreloadE2KLibraries and FreePreloadedE2KLibraries, which may run on any thread.
#ifndef MAILSTORE_FOLDER_TREE_H_
#define MAILSTORE_FOLDER_TREE_H_

#include <cstdint>
#include <string>

#include "mailstore/status.h"

namespace platform {
class AdoConnection;
}

namespace mailstore {

// The local machine key of the storage settings (the store's paths), which the storage
// server reads too.
inline constexpr char kStorageSettingsKey[] = "SOFTWARE\\Veltmark\\Corvane\\Storage";

// The walk option that reports folders living on other servers too.
inline constexpr uint32_t kReportRemoteFolders = 0x40000000;

// Reports every folder below the root to `callback`, depth-first; `options` bit 0x40000000
// reports folders that live on other servers too. A stop status from the callback ends the
// walk and is returned. Without an information store on this server nothing is walked (0).
// The callback's connection is the walk's open platform::AdoConnection.
uint32_t EnumFoldersTree(FolderCallback callback, uint32_t options, void* context);

// The e-mail address of the public folder `url`, read through the open `connection`: 0 with
// the address (empty when the folder has none), or the store's failure.
uint32_t GetPublicFolderAddress(const char16_t* url, platform::AdoConnection* connection,
                                std::u16string* address);

// The URLs of the inbox, outbox, sent items, deleted items and drafts of the mailbox `url`
// ("file://./backofficestorage/<domain>/mbx/<user>"), read through a connection of its own.
// A folder the store does not give is left empty and its failure returned (the first one,
// after all five were tried).
uint32_t GetMailboxSpecialFolders(const char16_t* url, std::u16string* inbox,
                                  std::u16string* outbox, std::u16string* sent_items,
                                  std::u16string* deleted_items, std::u16string* drafts);

// Makes the one store connection object that the process keeps until
// FreePreloadedE2KLibraries, unless one is held already; whether one is held.
bool PreloadE2KLibraries();
// Lets the preloaded connection go (module shutdown), and the store index kept for the
// next connection; nothing when none is held.
void FreePreloadedE2KLibraries();

}  // namespace mailstore

#endif  // MAILSTORE_FOLDER_TREE_H_
