// The rows the script functions give the pages: one [name, URL, level] per entry of the
// mailbox or public folder list, read from the mail store parser's snapshot with the
// refresh rule of those functions.
//
// Thread safety: ReadStorageList may be called from any request thread; it asks for a
// refresh without holding the storage lock and takes the list under it. The rows it fills
// stay valid while the parser refills its lists (they hold the list they were read from).
#ifndef MAILSTORE_LIST_ROWS_H_
#define MAILSTORE_LIST_ROWS_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "mailstore/parser.h"
#include "mailstore/storage.h"

namespace mailstore {

enum class StorageListKind { kMailboxes, kPublicFolders };

// One row: the entry's name and URL, each up to its first U+0000, and the level, the number
// of '/' and '\' in that URL.
struct ListRow {
  std::string_view name;
  std::string_view url;
  int32_t level;
};

// The rows of one read. Untraced they are read straight from the list the read took (no
// copy); traced, each entry went through the system's conversion, with its trace lines,
// while the list was held, and an entry that did not convert is left out.
class ListRows {
 public:
  size_t size() const { return traced_ ? converted_.size() : (items_ ? items_->size() : 0); }
  ListRow operator[](size_t index) const;

 private:
  friend class ListReader;
  struct Converted {
    std::string name;
    std::string url;
    int32_t level;
  };
  std::shared_ptr<const StorageList> items_;
  std::vector<Converted> converted_;
  bool traced_ = false;
};

enum class ReadResult {
  kRead,            // the rows are filled
  kNotInitialised,  // the parser's first attempt has not ended ("Store is not initialized.")
  kNoAnswer,        // the refresh was not answered within the parser's bound
};

// vxm_read_mailboxes' and vxm_read_public_folders' work once the arguments are read: traces
// "Refresh ...", refreshes the list when `refresh` is set or the list is empty, then reads
// it under the storage lock into `rows`.
ReadResult ReadStorageList(CMailStoreParser* parser, StorageListKind list, bool refresh,
                           ListRows* rows);

// Where the two lists came from at their last reading, taken under the storage lock; both
// stay "not read" while the parser has no storage.
void ReadListSources(CMailStoreParser* parser, ListReading* mailboxes,
                     ListReading* public_folders);

}  // namespace mailstore

#endif  // MAILSTORE_LIST_ROWS_H_
