// The public folder tree walk and the two store item routines.
//
// Thread safety: see folder_tree.h. The preloaded connection is guarded by its own lock.
#include "mailstore/folder_tree.h"

#include <cstdarg>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "mailstore/mail_host.h"
#include "platform/store_provider.h"
#include "support/trace.h"

using support::TRACE_ERROR;
using support::TRACE_INFO;
using support::TraceEnabled;
using support::TraceOut;
using support::TraceOutWide;

namespace mailstore {
namespace {

using platform::AdoConnection;
using platform::AdoFields;
using platform::AdoRecord;
using platform::AdoRecordset;
using platform::kFolderQueryPrefix;
using platform::kFolderQuerySuffix;
using platform::Variant;

constexpr int32_t kFolderLevel = 6;  // one line per folder, and the remote folder note
constexpr uint32_t kFolderOnOtherServer = 0x80550052;
constexpr uint32_t kFolderOnOtherServerToo = 0x80550053;
constexpr uint32_t kNoCurrentRecord = 0x800A0BCD;

// The process's preloaded connection object; null until PreloadE2KLibraries made one. A
// plain pointer: it is freed by FreePreloadedE2KLibraries at module shutdown, not by a
// static destructor after the library may be gone.
std::mutex g_preloaded_lock;
AdoConnection* g_preloaded = nullptr;

void TraceFailure(const char* format, uint32_t hr) {
  if (TraceEnabled) TraceOut("", TRACE_ERROR, 0, format, hr);
}

// A closed connection to the store that the storage settings name.
uint32_t CreateStoreConnection(std::unique_ptr<AdoConnection>* connection) {
  return platform::CreateAdoConnection(kStorageSettingsKey, connection);
}

// A closed object of the store provider: its factory's failure is what the automation
// wrappers raise.
template <typename Object>
std::unique_ptr<Object> Create(uint32_t (*factory)(std::unique_ptr<Object>*)) {
  std::unique_ptr<Object> object;
  if (const uint32_t hr = factory(&object); hr != 0) throw platform::ComError(hr);
  return object;
}

// The walk of one folder: reports it (unless it is the root, `name` null) and walks its
// subfolders. `query` is the walk's one buffer for the query text, which each folder
// needs only until its query is open.
uint32_t WalkFolder(const char16_t* name, const std::u16string& url, AdoConnection* connection,
                    FolderCallback callback, uint32_t options, void* context,
                    std::u16string* query) {
  try {
    if (TraceEnabled) TraceOutWide("", TRACE_INFO, kFolderLevel, "FolderUrl : %ls\n", url.c_str());
    query->assign(kFolderQueryPrefix).append(url).append(kFolderQuerySuffix);

    std::unique_ptr<AdoRecordset> set = Create(&platform::CreateAdoRecordset);
    set->SetCursorLocation(platform::kAdUseClient);
    uint32_t hr = set->Open(*query, connection, -1, -1, -1);
    const bool remote = hr == kFolderOnOtherServer || hr == kFolderOnOtherServerToo;
    if ((hr == kOk || (remote && (options & kReportRemoteFolders) != 0)) && name != nullptr) {
      if (callback(name, url.c_str(), connection, context) == kAborted) return kAborted;
    }
    if (hr != kOk) {
      if (remote) {
        if (TraceEnabled) {
          TraceOut("", TRACE_INFO, kFolderLevel,
                   "Public folder should be located on another server.\n");
        }
        return kOk;
      }
      TraceFailure("pSet->raw_Open() Failed 0x%08X\n", hr);
      return hr;
    }

    Variant rows;
    hr = set->GetRows(-1, &rows);
    if (hr != kOk) {
      if (hr != kNoCurrentRecord) TraceFailure("pSet->raw_GetRows() Failed 0x%08X\n", hr);
      return hr;
    }
    if (rows.dimensions() != 2) {
      if (TraceEnabled) TraceOut("", TRACE_ERROR, 0, "(SafeArrayGetDim(varSet.parray) != 2)\n");
      return kInvalidArg;
    }
    const size_t columns = rows.extents[0];
    for (size_t row = 0; columns > 2 && row < rows.extents[1]; ++row) {
      const Variant& child_name = rows.at(1, row);
      const Variant& child_url = rows.at(2, row);
      if (!child_name.is_string() || !child_url.is_string()) continue;
      if (WalkFolder(child_name.text.c_str(), child_url.text, connection, callback, options,
                     context, query) == kAborted) {
        return kAborted;
      }
    }
    set->Close();
    return hr;
  } catch (...) {
    TraceException();
    return kFail;
  }
}

// Opens a record on `url` through `connection` and hands back its fields.
uint32_t OpenRecordFields(const char16_t* url, AdoConnection* connection, AdoFields* fields) {
  std::unique_ptr<AdoRecord> record = Create(&platform::CreateAdoRecord);
  uint32_t hr = record->Open(url, connection);
  if (hr != kOk) {
    TraceFailure("Rec->raw_Open() Failed : 0x%08X\n", hr);
    return hr;
  }
  if (record->State() != platform::kAdStateOpen) {
    if (TraceEnabled) TraceOut("", TRACE_ERROR, 0, "(Rec->State != adStateOpen)\n");
    return kFail;
  }
  hr = record->GetFields(fields);
  if (hr != kOk) TraceFailure("Rec->get_Fields() Failed : 0x%08X\n", hr);
  record->Close();
  return hr;
}

}  // namespace

uint32_t EnumFoldersTree(FolderCallback callback, uint32_t options, void* context) {
  if (TraceEnabled) TraceOut("", TRACE_INFO, 0, "EnumFoldersTree()\n");
  if (callback == nullptr) return kInvalidArg;
  const char16_t* store_server = GetStoreServerName();
  if (store_server == nullptr || *store_server == u'\0') return kOk;
  try {
    std::unique_ptr<AdoConnection> connection = Create(&CreateStoreConnection);
    connection->SetProvider(platform::kExOleDbProvider);
    const uint32_t hr = connection->Open(platform::kPublicFolderRootUrl, u"", u"", -1);
    if (hr != kOk) {
      if (TraceEnabled) {
        TraceOutWide("", TRACE_ERROR, 0, "conn->raw_Open(%ls) Failed 0x%08X\n",
                     platform::kPublicFolderRootUrl, hr);
      }
      return hr;
    }
    std::u16string query;
    const uint32_t result = WalkFolder(nullptr, platform::kPublicFolderRootUrl, connection.get(),
                                       callback, options, context, &query);
    connection->Close();
    return result;
  } catch (...) {
    TraceException();
    return kFail;
  }
}

uint32_t GetPublicFolderAddress(const char16_t* url, AdoConnection* connection,
                                std::u16string* address) {
  try {
    address->clear();
    AdoFields fields;
    uint32_t hr = OpenRecordFields(url, connection, &fields);
    if (hr != kOk) return hr;
    Variant value;
    hr = fields.Item(platform::kPublicFolderEmailField, &value);
    if (hr == kOk && value.is_string()) *address = value.text;
    return hr;
  } catch (...) {
    TraceException();
    return kFail;
  }
}

uint32_t GetMailboxSpecialFolders(const char16_t* url, std::u16string* inbox,
                                  std::u16string* outbox, std::u16string* sent_items,
                                  std::u16string* deleted_items, std::u16string* drafts) {
  struct SpecialFolder {
    const char16_t* field;
    std::u16string* text;
    const char* failure;
  };
  const SpecialFolder folders[] = {
      {u"urn:schemas:httpmail:inbox", inbox, "Flds->get_Item(cdoInbox, ...) Failed : 0x%08X\n"},
      {u"urn:schemas:httpmail:outbox", outbox,
       "Flds->get_Item(cdoOutbox, ...) Failed : 0x%08X\n"},
      {u"urn:schemas:httpmail:sentitems", sent_items,
       "Flds->get_Item(cdoSentItems, ...) Failed : 0x%08X\n"},
      {u"urn:schemas:httpmail:deleteditems", deleted_items,
       "Flds->get_Item(cdoDeletedItems, ...) Failed : 0x%08X\n"},
      {u"urn:schemas:httpmail:drafts", drafts, "Flds->get_Item(cdoDrafts, ...) Failed : 0x%08X\n"},
  };
  try {
    for (const SpecialFolder& folder : folders) folder.text->clear();
    std::unique_ptr<AdoConnection> connection = Create(&CreateStoreConnection);
    connection->SetProvider(platform::kExOleDbProvider);
    uint32_t hr = connection->Open(url, u"", u"", -1);
    if (hr != kOk) {
      TraceFailure("conn->raw_Open() Failed : 0x%08X\n", hr);
      return hr;
    }
    if (connection->State() != platform::kAdStateOpen) {
      if (TraceEnabled) TraceOut("", TRACE_ERROR, 0, "(conn->State != adStateOpen)\n");
      return kFail;
    }
    AdoFields fields;
    hr = OpenRecordFields(url, connection.get(), &fields);
    if (hr != kOk) return hr;
    uint32_t result = kOk;
    for (const SpecialFolder& folder : folders) {
      Variant value;
      const uint32_t item = fields.Item(folder.field, &value);
      if (item != kOk) {
        TraceFailure(folder.failure, item);
        if (result == kOk) result = item;
      } else if (value.is_string()) {
        *folder.text = value.text;
      }
    }
    connection->Close();
    return result;
  } catch (...) {
    TraceException();
    return kFail;
  }
}

bool PreloadE2KLibraries() {
  std::lock_guard<std::mutex> guard(g_preloaded_lock);
  if (g_preloaded != nullptr) return true;
  std::unique_ptr<AdoConnection> connection;
  const uint32_t hr = CreateStoreConnection(&connection);
  if (hr != kOk) {
    TraceFailure("CoCreateInstance(_Connection) (msado15.dll) Failed : 0x%08X\n", hr);
    return false;
  }
  if (TraceEnabled) TraceOut("", TRACE_INFO, 0, "MSADO15.DLL was loaded successfully\n");
  g_preloaded = connection.release();
  return true;
}

void FreePreloadedE2KLibraries() {
  std::lock_guard<std::mutex> guard(g_preloaded_lock);
  try {
    delete g_preloaded;
  } catch (...) {
    TraceException();
  }
  g_preloaded = nullptr;
  platform::ForgetSharedStoreIndex();
}

}  // namespace mailstore
