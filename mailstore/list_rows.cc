#include "mailstore/list_rows.h"

#include <cstring>
#include <utility>

#include "platform/unicode.h"
#include "support/text_conversion.h"
#include "support/trace.h"

using support::TRACE_ERROR;
using support::TRACE_INFO;
using support::TraceEnabled;
using support::TraceOut;
using support::TraceOutWide;
using support::convertToUTF8;

namespace mailstore {

namespace {

// The text up to its first U+0000: what the system's conversion, which reads up to it, gives.
std::string_view UpToNul(std::string_view text) {
  const auto* nul = static_cast<const char*>(std::memchr(text.data(), '\0', text.size()));
  return std::string_view(text.data(), nul != nullptr ? nul - text.data() : text.size());
}

int32_t Level(std::string_view url) {
  int32_t level = 0;
  for (char c : url) level += c == '/' || c == '\\' ? 1 : 0;
  return level;
}

}  // namespace

ListRow ListRows::operator[](size_t index) const {
  if (traced_) {
    const Converted& row = converted_[index];
    return ListRow{row.name, row.url, row.level};
  }
  const StorageItem item = (*items_)[index];
  const std::string_view url = UpToNul(item.Url);
  return ListRow{UpToNul(item.Name), url, Level(url)};
}

// Fills ListRows under the storage lock.
class ListReader {
 public:
  static void Take(const CStorage& storage, StorageListKind list, ListRows* rows) {
    rows->items_ = list == StorageListKind::kMailboxes ? storage.MailboxesLocked()
                                                       : storage.PublicFoldersLocked();
    rows->traced_ = TraceEnabled;
    if (rows->traced_) Convert(list, rows);
  }

 private:
  // Each entry through the conversion the rows are defined by (which writes its lines) and
  // with its " New entry" line.
  static void Convert(StorageListKind list, ListRows* rows) {
    const StorageList& items = *rows->items_;
    TraceOut("", TRACE_INFO, 0,
             list == StorageListKind::kMailboxes ? "We have = %d mailboxes\n"
                                                 : "We have = %d public folders\n",
             static_cast<int>(items.size()));
    for (const StorageItem item : items) {
      const std::u16string name = platform::Utf8ToUtf16(item.Name);
      const std::u16string url = platform::Utf8ToUtf16(item.Url);
      ListRows::Converted row{std::string(), std::string(), Level(UpToNul(item.Url))};
      if (list == StorageListKind::kPublicFolders) {
        // The code page of the system's narrow text is UTF-8 here.
        TraceOutWide("", TRACE_INFO, 0, " New entry %ls, Full name %ls, Level %i\n", name.c_str(),
                     url.c_str(), row.level);
      }
      if (!convertToUTF8(name.c_str(), &row.name) || !convertToUTF8(url.c_str(), &row.url)) {
        TraceOut("", TRACE_ERROR, 0, "convertUnicodeToUTF8 failed\n");
        continue;
      }
      TraceOut("", TRACE_INFO, 0, " New entry %s, Full name %s, Level %i\n", row.name.c_str(),
               row.url.c_str(), row.level);
      rows->converted_.push_back(std::move(row));
    }
  }
};

ReadResult ReadStorageList(CMailStoreParser* parser, StorageListKind list, bool refresh,
                           ListRows* rows) {
  if (TraceEnabled) TraceOut("", TRACE_INFO, 0, "Refresh %s\n", refresh ? "true" : "false");
  if (!parser->IsInitialised()) {
    if (TraceEnabled) TraceOut("", TRACE_INFO, 0, "Store is not initialized.\n");
    return ReadResult::kNotInitialised;
  }
  const bool mailboxes = list == StorageListKind::kMailboxes;
  if (refresh || (mailboxes ? parser->GetMBsSize() : parser->GetPFsSize()) == 0) {
    // The wait for the worker is bounded; a refresh it did not finish in time is no list.
    if (!(mailboxes ? parser->EnumMBs() : parser->EnumPFs())) return ReadResult::kNoAnswer;
  }
  StorageGuard guard(parser);
  if (const CStorage* storage = parser->StorageLocked()) ListReader::Take(*storage, list, rows);
  return ReadResult::kRead;
}

void ReadListSources(CMailStoreParser* parser, ListReading* mailboxes,
                     ListReading* public_folders) {
  StorageGuard guard(parser);
  if (const CStorage* storage = parser->StorageLocked()) {
    *mailboxes = storage->mailbox_reading();
    *public_folders = storage->public_folder_reading();
  }
}

}  // namespace mailstore
