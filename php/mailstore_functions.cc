// The mail store functions of the extension: the lists of mailboxes and public folders of
// the mail store parser (made by the host-process component and found through its block),
// appended to the page's array as rows [name, URL, level].
//
// Thread safety: a refresh waits for the parser's worker without holding the storage lock.
// The rows are converted while the storage lock is held and the PHP values built after it
// is left, so a PHP fatal error (out of memory) cannot leave the lock held.
#include "php.h"

#include <memory>
#include <string>
#include <vector>

#include "mailstore/parser.h"
#include "module/module_state.h"
#include "php/shells.h"
#include "support/text_conversion.h"
#include "support/trace.h"

namespace {

using mailstore::CMailStoreParser;
using mailstore::CStorage;
using mailstore::StorageItem;

struct Row {
  std::string name;
  std::string url;
  int32_t level;
};

enum class List { kMailboxes, kPublicFolders };

void Info(const char* line) {
  if (TraceEnabled) TraceOut("", TRACE_INFO, 0, "%s", line);
}

// The rows of one list, converted to UTF-8 under the storage lock. An entry whose name or
// URL does not convert is left out.
std::vector<Row> CopyRows(CMailStoreParser* parser, List list) {
  std::vector<Row> rows;
  parser->AckquireStorage();
  const CStorage* storage = parser->storage();
  static const std::vector<StorageItem> kNone;
  const std::vector<StorageItem>& items =
      storage == nullptr ? kNone
                         : (list == List::kMailboxes ? storage->mailboxes() : storage->public_folders());
  if (TraceEnabled) {
    TraceOut("", TRACE_INFO, 0,
             list == List::kMailboxes ? "We have = %d mailboxes\n" : "We have = %d public folders\n",
             static_cast<int>(items.size()));
  }
  try {
    rows.reserve(items.size());
    for (const StorageItem& item : items) {
      const int32_t level = CStorage::UrlLevel(item.Url.c_str());
      if (list == List::kPublicFolders && TraceEnabled) {
        // The code page of the system's narrow text is UTF-8 here.
        TraceOutWide("", TRACE_INFO, 0, " New entry %ls, Full name %ls, Level %i\n",
                     item.Name.c_str(), item.Url.c_str(), level);
      }
      Row row{std::string(), std::string(), level};
      if (!convertToUTF8(item.Name.c_str(), &row.name) || !convertToUTF8(item.Url.c_str(), &row.url)) {
        if (TraceEnabled) TraceOut("", TRACE_ERROR, 0, "convertUnicodeToUTF8 failed\n");
        continue;
      }
      if (TraceEnabled) {
        TraceOut("", TRACE_INFO, 0, " New entry %s, Full name %s, Level %i\n", row.name.c_str(),
                 row.url.c_str(), level);
      }
      rows.push_back(std::move(row));
    }
  } catch (...) {
    // Out of memory: the rows converted so far are given.
  }
  parser->ReleaseStorage();
  return rows;
}

// Appends the row [name, URL, level] to `array`.
void AppendRow(HashTable* array, const char* name, size_t name_size, const char* url,
               size_t url_size, int32_t level) {
  zval entry;
  array_init_size(&entry, 3);
  HashTable* row = Z_ARRVAL(entry);
  zend_hash_real_init_packed(row);
  ZEND_HASH_FILL_PACKED(row) {
    ZEND_HASH_FILL_SET_STR(zend_string_init(name, name_size, 0));
    ZEND_HASH_FILL_NEXT();
    ZEND_HASH_FILL_SET_STR(zend_string_init(url, url_size, 0));
    ZEND_HASH_FILL_NEXT();
    ZEND_HASH_FILL_SET_LONG(level);
    ZEND_HASH_FILL_NEXT();
  }
  ZEND_HASH_FILL_END();
  zend_hash_next_index_insert_new(array, &entry);
}

void ReadList(INTERNAL_FUNCTION_PARAMETERS, List list) {
  auto* parser = static_cast<CMailStoreParser*>(
      module::State().mail_store_parser.load(std::memory_order_acquire));
  if (parser == nullptr) {
    php_error_docref(nullptr, E_WARNING,
                     "Storage for Mailboxes and Public folders is not initialized");
    RETURN_LONG(-1);
  }
  zval* target;
  bool refresh;
  if (zend_parse_parameters(ZEND_NUM_ARGS(), "a/b", &target, &refresh) == FAILURE) {
    shells::ExceptionToWarning();
    Info("Failed to read parameters.\n");
    RETURN_LONG(-1);
  }
  if (TraceEnabled) TraceOut("", TRACE_INFO, 0, "Refresh %s\n", refresh ? "true" : "false");
  if (!parser->IsInitialised()) {
    Info("Store is not initialized.\n");
    RETURN_LONG(-1);
  }
  if (list == List::kMailboxes) {
    if (refresh || parser->GetMBsSize() == 0) parser->EnumMBs();
  } else {
    if (refresh || parser->GetPFsSize() == 0) parser->EnumPFs();
  }
  HashTable* array = Z_ARRVAL_P(target);
  if (TraceEnabled) {
    // Traced: every conversion writes its lines, as the rows are made one by one.
    for (const Row& row : CopyRows(parser, list)) {
      AppendRow(array, row.name.data(), row.name.size(), row.url.data(), row.url.size(), row.level);
    }
    RETURN_LONG(0);
  }
  // Untraced: the snapshot's UTF-8 form, taken under the storage lock and read after it.
  std::shared_ptr<const mailstore::Utf8Rows> rows;
  parser->AckquireStorage();
  if (const CStorage* storage = parser->storage()) {
    rows = list == List::kMailboxes ? storage->mailbox_rows() : storage->public_folder_rows();
  }
  parser->ReleaseStorage();
  if (rows != nullptr) {
    for (const mailstore::Utf8Rows::Row& row : rows->rows) {
      const char* name = rows->text.data() + row.name_offset;
      AppendRow(array, name, row.name_size, name + row.name_size, row.url_size, row.level);
    }
  }
  RETURN_LONG(0);
}

}  // namespace

ZEND_FUNCTION(vxm_read_mailboxes) {
  Info("vxm_read_mailboxes()\n");
  ReadList(INTERNAL_FUNCTION_PARAM_PASSTHRU, List::kMailboxes);
}

ZEND_FUNCTION(vxm_read_public_folders) {
  Info("read_public_folders()\n");
  ReadList(INTERNAL_FUNCTION_PARAM_PASSTHRU, List::kPublicFolders);
}
