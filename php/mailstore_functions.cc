// The mail store functions of the extension: the lists of mailboxes and public folders of
// the mail store parser (made by the host-process component and found through its block),
// appended to the page's array as rows [name, URL, level].
//
// Thread safety: the core call (mailstore/list_rows.h) refreshes without holding the
// storage lock and has left it when it returns; the PHP values are built afterwards, so a
// PHP fatal error (out of memory) cannot leave the lock held.
#include "php.h"

#include "mailstore/list_rows.h"
#include "module/module_state.h"
#include "php/shells.h"
#include "support/trace.h"

using support::TRACE_ERROR;
using support::TRACE_INFO;
using support::TraceEnabled;
using support::TraceOut;
using support::TraceOutWide;

namespace {

using mailstore::CMailStoreParser;
using mailstore::ListRow;
using mailstore::StorageListKind;

void Info(const char* line) {
  if (TraceEnabled) TraceOut("", TRACE_INFO, 0, "%s", line);
}

// Appends the row [name, URL, level] to `array`.
void AppendRow(HashTable* array, const ListRow& row) {
  zval entry;
  array_init_size(&entry, 3);
  HashTable* fields = Z_ARRVAL(entry);
  zend_hash_real_init_packed(fields);
  ZEND_HASH_FILL_PACKED(fields) {
    ZEND_HASH_FILL_SET_STR(zend_string_init(row.name.data(), row.name.size(), 0));
    ZEND_HASH_FILL_NEXT();
    ZEND_HASH_FILL_SET_STR(zend_string_init(row.url.data(), row.url.size(), 0));
    ZEND_HASH_FILL_NEXT();
    ZEND_HASH_FILL_SET_LONG(row.level);
    ZEND_HASH_FILL_NEXT();
  }
  ZEND_HASH_FILL_END();
  zend_hash_next_index_insert_new(array, &entry);
}

void ReadList(INTERNAL_FUNCTION_PARAMETERS, StorageListKind list) {
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
  mailstore::ListRows rows;
  if (mailstore::ReadStorageList(parser, list, refresh, &rows) != mailstore::ReadResult::kRead) {
    RETURN_LONG(-1);
  }
  HashTable* array = Z_ARRVAL_P(target);
  for (size_t i = 0; i < rows.size(); ++i) AppendRow(array, rows[i]);
  RETURN_LONG(0);
}

}  // namespace

ZEND_FUNCTION(vxm_read_mailboxes) {
  Info("vxm_read_mailboxes()\n");
  ReadList(INTERNAL_FUNCTION_PARAM_PASSTHRU, StorageListKind::kMailboxes);
}

ZEND_FUNCTION(vxm_read_public_folders) {
  Info("read_public_folders()\n");
  ReadList(INTERNAL_FUNCTION_PARAM_PASSTHRU, StorageListKind::kPublicFolders);
}
