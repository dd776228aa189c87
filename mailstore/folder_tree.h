// The public folder tree of the local store, for the public folder list when the storage
// server cannot be used, and two routines that read properties of one store item. The
// store is reached through platform/store_provider.h.
//
// Thread safety: called from the mail store parser's worker thread only.
#ifndef MAILSTORE_FOLDER_TREE_H_
#define MAILSTORE_FOLDER_TREE_H_

#include <cstdint>

#include "mailstore/status.h"

namespace mailstore {

// Reports every folder below the root to `callback`, depth-first; `options` bit 0x40000000
// reports folders that live on other servers too. A stop status from the callback ends the
// walk and is returned. Without an information store on this server nothing is walked (0).
uint32_t EnumFoldersTree(FolderCallback callback, uint32_t options, void* context);

}  // namespace mailstore

#endif  // MAILSTORE_FOLDER_TREE_H_
