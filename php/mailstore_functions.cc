// The mail store functions of the extension: the lists of mailboxes and public folders of
// the mail store parser (made by the host-process component and found through its block),
// appended to the page's array as rows [name, URL, level].
//
// Thread safety: a refresh waits for the parser's worker (for a bounded time) without holding
// the storage lock.
// The rows are converted while the storage lock is held and the PHP values built after it
// is left, so a PHP fatal error (out of memory) cannot leave the lock held.
#include "php.h"

#include <memory>
#include <string>
#include <vector>

#include "mailstore/parser.h"
#include "module/module_state.h"
#include "platform/unicode.h"
#include "php/shells.h"
#include "support/text_conversion.h"
#include "support/trace.h"

using support::convertToUTF8;
using support::TRACE_ERROR;
using support::TRACE_INFO;
using support::TraceEnabled;
using support::TraceOut;
using support::TraceOutWide;

namespace {

using mailstore::CMailStoreParser;
using mailstore::CStorage;
using mailstore::StorageItem;
using mailstore::StorageList;

enum class List { kMailboxes, kPublicFolders };

void Info(const char* line) {
  if (TraceEnabled) TraceOut("", TRACE_INFO, 0, "%s", line);
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

int32_t Level(const std::string& url) {
  int32_t level = 0;
  for (char c : url) level += c == '/' || c == '\\' ? 1 : 0;
  return level;
}

struct TracedRow {
  std::string name;
  std::string url;
  int32_t level;
};

// Traced, the rows are made under the storage lock, each entry through the conversion the
// rows are defined by (which writes its lines) and with its " New entry" line; an entry that
// does not convert is left out.
std::vector<TracedRow> TracedRows(const StorageList& items, List list) {
  TraceOut("", TRACE_INFO, 0,
           list == List::kMailboxes ? "We have = %d mailboxes\n" : "We have = %d public folders\n",
           static_cast<int>(items.size()));
  std::vector<TracedRow> rows;
  for (const StorageItem& item : items) {
    const std::u16string name = platform::Utf8ToUtf16(item.Name);
    const std::u16string url = platform::Utf8ToUtf16(item.Url);
    TracedRow row{std::string(), std::string(), Level(item.Url)};
    if (list == List::kPublicFolders) {
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
    rows.push_back(std::move(row));
  }
  return rows;
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
  // The wait for the worker is bounded; a refresh it did not finish in time is no list.
  bool read = true;
  if (list == List::kMailboxes) {
    if (refresh || parser->GetMBsSize() == 0) read = parser->EnumMBs();
  } else {
    if (refresh || parser->GetPFsSize() == 0) read = parser->EnumPFs();
  }
  if (!read) RETURN_LONG(-1);
  // The list is taken under the storage lock and read after it is left: it stays as it is.
  std::shared_ptr<const StorageList> items;
  std::vector<TracedRow> traced;
  parser->AckquireStorage();
  if (const CStorage* storage = parser->storage()) {
    items = list == List::kMailboxes ? storage->mailboxes() : storage->public_folders();
    if (TraceEnabled) traced = TracedRows(*items, list);
  }
  parser->ReleaseStorage();
  HashTable* array = Z_ARRVAL_P(target);
  if (TraceEnabled) {
    for (const TracedRow& row : traced) {
      AppendRow(array, row.name.data(), row.name.size(), row.url.data(), row.url.size(), row.level);
    }
  } else if (items != nullptr) {
    for (const StorageItem& item : *items) {
      AppendRow(array, item.Name.data(), item.Name.size(), item.Url.data(), item.Url.size(),
                Level(item.Url));
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
