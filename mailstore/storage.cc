#include "mailstore/storage.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <utility>

#include "mailstore/directory.h"
#include "mailstore/folder_tree.h"
#include "platform/directory_client.h"
#include "platform/local_server.h"
#include "platform/unicode.h"
#include "support/thread_layer.h"
#include "support/trace.h"

using support::EventWait;
using support::FCriticalSection;
using support::FLockGuard;
using support::TRACE_ERROR;
using support::TRACE_INFO;
using support::TraceEnabled;
using support::TraceOut;
using support::TraceOutWide;

namespace mailstore {

namespace {

int64_t SecondsNow() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// Slots of both storage interfaces.
constexpr uint32_t kSlotRefresh = 7;
constexpr uint32_t kSlotMoveFirst = 8;
constexpr uint32_t kSlotMoveNext = 9;
constexpr uint32_t kSlotIsReady = 10;
// Pages of items read ahead, a transport slot of the storage server beyond both tables.
constexpr uint32_t kSlotReadPage = 32;
// The getters: a mailbox server's name, URL and e-mail sit one slot further than a public
// folder server's.
constexpr uint32_t kSlotMailboxName = 12;
constexpr uint32_t kSlotPubFolderName = 11;

constexpr uint32_t kNoEvent = 0xFFFFFFFF;
constexpr uint32_t kReadyPollMs = 5000;
constexpr uint32_t kWaitSignalled = 0;

// Level of the per-item lines, and of the lines that skip a mailbox.
constexpr int32_t kItemLevel = 6;
constexpr int32_t kSkipLevel = 10;

bool IsSeparator(char16_t c) { return c == u'/' || c == u'\\'; }

char16_t FoldAscii(char16_t c) { return c >= u'A' && c <= u'Z' ? c + (u'a' - u'A') : c; }

// Without regard to ASCII letter case.
bool StartsWithFolded(const char16_t* text, std::u16string_view prefix) {
  for (char16_t wanted : prefix) {
    if (*text == u'\0' || FoldAscii(*text) != FoldAscii(wanted)) return false;
    ++text;
  }
  return true;
}

// Where UTF-8 and UTF-16 disagree on the order: a character above U+FFFF (lead bytes
// F0-F4) is a surrogate pair D800-DFFF in UTF-16, below U+E000-U+FFFF (lead bytes EE-EF)
// but above everything up to U+D7FF (lead bytes up to ED). Two keys first differ at the
// same place in the same kind of byte (the folded prefix is shared, and folding touches
// ASCII only), so only lead bytes need the weight; continuation bytes keep their order.
unsigned Utf16Weight(unsigned char byte) {
  if (byte >= 0xF0) return byte - 0xF0 + 0xEE;  // F0-F4: surrogates, after ED
  if (byte >= 0xEE) return byte - 0xEE + 0xF3;  // EE-EF: U+E000-U+FFFF, after the surrogates
  return byte;
}

int CompareFolded(std::string_view a, std::string_view b) {
  const size_t common = std::min(a.size(), b.size());
  // Lists sorted by URL share a long prefix: it is passed over eight bytes at a time.
  size_t i = 0;
  for (; i + 8 <= common; i += 8) {
    uint64_t x, y;
    std::memcpy(&x, a.data() + i, 8);
    std::memcpy(&y, b.data() + i, 8);
    if (x != y) break;
  }
  for (; i < common; ++i) {
    if (a[i] == b[i]) continue;  // most keys share a long prefix, letter case and all
    const unsigned char x = static_cast<unsigned char>(FoldAscii(static_cast<unsigned char>(a[i])));
    const unsigned char y = static_cast<unsigned char>(FoldAscii(static_cast<unsigned char>(b[i])));
    if (x != y) return Utf16Weight(x) < Utf16Weight(y) ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

bool StopSignalled(uint32_t stop_event) {
  if (stop_event == kNoEvent) return true;
  return stop_event != 0 && EventWait(stop_event, 0) == kWaitSignalled;
}

bool StopRequested(void* stop_event) { return StopSignalled(*static_cast<uint32_t*>(stop_event)); }

// The first exchange of a walk: the refresh, the move to the first item and the first page.
constexpr size_t kFirstCalls = 3;
void SetFirstCalls(platform::LocalServerCall* calls) {
  calls[0].slot = kSlotRefresh;
  calls[0].argument = -1;
  calls[1].slot = kSlotMoveFirst;
  calls[2].slot = kSlotReadPage;
  calls[2].argument = static_cast<int32_t>(platform::kMaxPageItems);
}

// Creates a storage server's object and waits, polling every 5 s, until it is ready:
// 0 when it is, the server's own result when a call fails, kFail without a stop event to
// wait on, kAborted when the stop event is signalled meanwhile. The first question goes
// with the connect message. With `first` (the walk's first calls, when the server was ready
// last time) they go there too, behind it: `*first_answered` then says whether the server
// was ready at once, which is when their replies count; otherwise they are dropped.
uint32_t OpenStorageServer(const char* clsid, const char* iid, uint32_t stop_event,
                           std::unique_ptr<platform::LocalServerObject>* server,
                           platform::LocalServerCall* first, bool* first_answered) {
  platform::LocalServerCall calls[1 + kFirstCalls];
  calls[0].slot = kSlotIsReady;
  if (first != nullptr) SetFirstCalls(calls + 1);
  *first_answered = false;
  uint32_t result = platform::CreateLocalServerObject(clsid, iid, server, calls,
                                                      first != nullptr ? 1 + kFirstCalls : 1);
  if (result != kOk) return result;
  platform::LocalServerCall& ready = calls[0];
  if (first != nullptr && ready.result == kOk && ready.number != 0) {
    for (size_t i = 0; i < kFirstCalls; ++i) first[i] = std::move(calls[1 + i]);
    *first_answered = true;
  }
  for (;;) {
    if (ready.result != kOk) return ready.result;
    if (ready.number != 0) return kOk;
    if (stop_event == 0 || stop_event == kNoEvent) return kFail;
    if (EventWait(stop_event, kReadyPollMs) == kWaitSignalled) return kAborted;
    ready.result = (*server)->Call(kSlotIsReady, 0, &ready.number, nullptr);
  }
}

// The current item through the three getters (a failing getter leaves its text empty) and
// the move to the next item, served from the pages the walk reads ahead. kOk when name and
// URL are both there, else kFail; the move's result goes to `*next`. The texts are assigned
// over the caller's, whose room serves the whole walk.
uint32_t ReadItemAndMove(platform::LocalServerItems* items, std::u16string* name,
                         std::u16string* url, std::u16string* email, uint32_t* next) {
  std::u16string* const fields[] = {name, url, email};
  uint32_t results[platform::kPageFields];
  for (std::u16string* field : fields) field->clear();
  items->ReadAndMove(fields, results, next);
  return !name->empty() && !url->empty() ? kOk : kFail;
}

// A list handed out keeps its entries: clearing makes a new one, or, when memory runs out,
// empties the list in place if no reader holds it.
void Clear(std::shared_ptr<StorageList>* list) {
  try {
    *list = std::make_shared<StorageList>();
  } catch (...) {
    if (list->use_count() == 1) (*list)->clear();
  }
}

// The fallbacks: the directory's users for the mailboxes, the folder tree for the public
// folders. The context carries the stop event.
uint32_t DirectoryFallback(CStorage::Context* context, bool database_mode) {
  // The stop event is asked between the directory's pages and while it is awaited, not
  // only for each user found: a directory that sends no users must stop too.
  platform::DirectoryEnumeration enumeration(&StopRequested, &context->stop_event);
  return database_mode ? EnumMDBMailUsers(&CStorage::EnumMB, context, false, false)
                       : EnumADMailUsers(&CStorage::EnumMB, context, false, false);
}

uint32_t FolderTreeFallback(CStorage::Context* context, bool /*database_mode*/) {
  return EnumFoldersTree(&CStorage::EnumPF, 0, context);
}

}  // namespace

struct CStorage::Walk {
  const char* storage_class;
  const char* storage_interface;
  uint32_t first_getter;
  // The trace lines: the call, the server used, each item, the count at the end (%d).
  const char* call_line;
  const char* server_line;
  const char* item_line;
  const char* count_line;
  // Mailboxes: the system's own are skipped, and the e-mail address is traced.
  bool mailboxes;
  std::shared_ptr<StorageList> CStorage::*list;
  ListReading CStorage::*reading;
  void (StorageList::*sort)();
  uint32_t (*fallback)(Context* context, bool database_mode);
};

const CStorage::Walk CStorage::kMailboxWalk = {
    kMailboxStorageClass, kMailboxStorageInterface, kSlotMailboxName,
    "CStorage::EnumerateMBs()\n", "ICVMailboxStorage interface is used\n",
    "CStorage::ItemMB()\n", "CStorage::EnumerateMBs() : MB=%d\n",
    true, &CStorage::mailboxes_, &CStorage::mailbox_reading_, &StorageList::SortByName, &DirectoryFallback};

const CStorage::Walk CStorage::kPublicFolderWalk = {
    kPubFolderStorageClass, kPubFolderStorageInterface, kSlotPubFolderName,
    "CStorage::EnumeratePFs()\n", "ICVPubFolderStorage interface is used\n",
    "CStorage::ItemPF()\n", "CStorage::EnumeratePFs() : PF=%d\n",
    false, &CStorage::public_folders_, &CStorage::public_folder_reading_,
    &StorageList::SortByUrl, &FolderTreeFallback};

void TraceException() {
  if (TraceEnabled) TraceOut("", TRACE_ERROR, 0, "***EXCEPTION!!!\n");
}

CStorage::CStorage()
    : lock_(new (std::nothrow) FCriticalSection()),
      mailboxes_(std::make_shared<StorageList>()),
      public_folders_(std::make_shared<StorageList>()) {
  if (TraceEnabled) TraceOut("", TRACE_INFO, 0, "CStorage::CStorage()\n");
}

CStorage::~CStorage() {
  if (TraceEnabled) TraceOut("", TRACE_INFO, 0, "CStorage::~CStorage()\n");
  lock_.reset();
  mailboxes_.reset();
  public_folders_.reset();
}

uint32_t CStorage::Enumerate(const Walk& walk, uint32_t stop_event, bool database_mode) {
  FLockGuard guard(lock_.get());
  std::shared_ptr<StorageList>& list = this->*walk.list;
  uint32_t result = kFail;
  if (TraceEnabled) TraceOut("", TRACE_INFO, 0, "%s", walk.call_line);
  try {
    std::unique_ptr<platform::LocalServerObject> server;
    // The refresh, the move to the first item and the first page in one exchange: the
    // refresh's own result is not looked at, and a failed exchange fails the move. A server
    // that was ready last time is asked for them with the connect message; one that is not
    // ready has them asked again once it is.
    platform::LocalServerCall first[kFirstCalls];
    bool first_answered = false;
    result = OpenStorageServer(walk.storage_class, walk.storage_interface, stop_event, &server,
                               server_was_ready_ ? first : nullptr, &first_answered);
    server_was_ready_ = result == kOk;
    if (result == kOk) {
      if (TraceEnabled) TraceOut("", TRACE_INFO, kItemLevel, "%s", walk.server_line);
      Clear(&list);
      if (!first_answered) {
        SetFirstCalls(first);
        server->CallMany(first, kFirstCalls);
      }
      uint32_t hr = first[1].result;
      platform::LocalServerItems items(server.get(), kSlotReadPage, walk.first_getter,
                                       kSlotMoveNext);
      if (hr == kOk) items.TakePage(&first[2]);
      std::u16string name, url, email;
      while (hr == kOk) {
        if (TraceEnabled) TraceOut("", TRACE_INFO, 0, "%s", walk.item_line);
        uint32_t next = kFail;
        if (ReadItemAndMove(&items, &name, &url, &email, &next) == kOk &&
            !(walk.mailboxes && IsSystemMailbox(name.c_str()))) {
          if (TraceEnabled) {
            TraceOutWide("", TRACE_INFO, kItemLevel, "Name : %ls\n", name.c_str());
            TraceOutWide("", TRACE_INFO, kItemLevel, "Url : %ls\n", url.c_str());
            if (walk.mailboxes) {
              TraceOutWide("", TRACE_INFO, kItemLevel, "Email : %ls\n", email.c_str());
            }
          }
          list->Append(name, url, email);
        }
        hr = next;
      }
      result = hr == kNoMoreItems ? kOk : hr;
    }
  } catch (...) {
    result = kFail;
    TraceException();
  }
  if (result == kAborted) return result;
  ListReading reading{ListReading::Source::kStorageServer, result, 0, 0, {}};
  if (result != kOk) {
    Clear(&list);
    Context context{this, stop_event};
    result = walk.fallback(&context, database_mode);
    reading.source = ListReading::Source::kFallback;
    reading.fallback_result = result;
    if (walk.mailboxes) reading.directory = platform::ConfiguredDirectoryServer();
  }
  reading.ended_at = SecondsNow();
  this->*walk.reading = std::move(reading);
  ((*list).*walk.sort)();
  list->ShrinkToFit();
  if (TraceEnabled) {
    TraceOut("", TRACE_INFO, kItemLevel, walk.count_line, static_cast<int>(list->size()));
  }
  return result;
}

uint32_t CStorage::EnumerateMBs(uint32_t stop_event, bool database_mode) {
  return Enumerate(kMailboxWalk, stop_event, database_mode);
}

uint32_t CStorage::EnumeratePFs(uint32_t stop_event) {
  return Enumerate(kPublicFolderWalk, stop_event, false);
}

uint32_t CStorage::EnumerateAll(uint32_t stop_event, bool database_mode) {
  const uint32_t result = EnumerateMBs(stop_event, database_mode);
  if (result == kAborted) return result;
  return EnumeratePFs(stop_event);
}

namespace {

std::u16string Field(const StorageList& list, int32_t index, std::string_view StorageItem::*field) {
  if (index < 0 || static_cast<size_t>(index) >= list.size()) return std::u16string();
  return platform::Utf8ToUtf16(list[static_cast<size_t>(index)].*field);
}

}  // namespace

std::u16string CStorage::MBName(int32_t index) const {
  return Field(*mailboxes_, index, &StorageItem::Name);
}
std::u16string CStorage::MBUrl(int32_t index) const {
  return Field(*mailboxes_, index, &StorageItem::Url);
}
std::u16string CStorage::MBEmail(int32_t index) const {
  return Field(*mailboxes_, index, &StorageItem::Email);
}
std::u16string CStorage::PFName(int32_t index) const {
  return Field(*public_folders_, index, &StorageItem::Name);
}
std::u16string CStorage::PFUrl(int32_t index) const {
  return Field(*public_folders_, index, &StorageItem::Url);
}
std::u16string CStorage::PFEmail(int32_t index) const {
  return Field(*public_folders_, index, &StorageItem::Email);
}


namespace {

// `text` in UTF-8 in place of what `out` held, its room reused: most texts are ASCII,
// narrowed as they are.
void Narrow(std::u16string_view text, std::string* out) {
  if (std::any_of(text.begin(), text.end(), [](char16_t c) { return c >= 0x80; })) {
    *out = platform::Utf16ToUtf8(text);
    return;
  }
  out->resize(text.size());
  std::copy(text.begin(), text.end(), out->begin());
}

}  // namespace

void StorageList::Append(std::u16string_view name, std::u16string_view url,
                         std::u16string_view email) {
  if (size() >= kMaxEntries) return;
  // One enumeration fills a list on one thread; the texts pass through that thread's room.
  thread_local std::string texts[3];
  Narrow(name, &texts[0]);
  Narrow(url, &texts[1]);
  Narrow(email, &texts[2]);
  rows_.Append(texts[0], texts[1], texts[2]);
}

void StorageList::SortByName() { rows_.Sort(0, &StorageKeyLess); }
void StorageList::SortByUrl() { rows_.Sort(1, &StorageKeyLess); }

bool StorageKeyLess(std::string_view a, std::string_view b) {
  if (!a.empty() && !b.empty()) return CompareFolded(a, b) < 0;
  return a.size() < b.size();
}

void CStorage::ClearMBs() { Clear(&mailboxes_); }
void CStorage::ClearPFs() { Clear(&public_folders_); }

int32_t CStorage::UrlLevel(const char16_t* text) {
  if (text == nullptr) return 0;
  int32_t level = 0;
  for (; *text != u'\0'; ++text) level += IsSeparator(*text) ? 1 : 0;
  return level;
}

int32_t CStorage::PFLevel(const char16_t* text) {
  const int32_t level = UrlLevel(text);
  return level < 4 ? 0 : level - 4;
}

std::u16string CStorage::PFPath(int32_t index) const {
  if (index < 0 || index >= PFCount()) return std::u16string();
  return UrlPart(PFUrl(index).c_str(), 5, 0x7FFFFFFF);
}

std::u16string CStorage::UrlPart(const char16_t* text, int32_t from, int32_t to) {
  std::u16string part;
  if (text == nullptr) return part;
  int32_t separators = 0;
  for (; *text != u'\0'; ++text) {
    if (IsSeparator(*text)) ++separators;
    if (separators >= from && separators < to) part += IsSeparator(*text) ? u'/' : *text;
  }
  return part;
}

bool CStorage::IsSystemMailbox(const char16_t* name) {
  if (name == nullptr) return false;
  static constexpr std::u16string_view kAttendant = u"Microsoft System Attendant";
  return StartsWithFolded(name, u"SystemMailbox{") ||
         (std::char_traits<char16_t>::length(name) == kAttendant.size() &&
          StartsWithFolded(name, kAttendant));
}

uint32_t CStorage::EnumMB(const char16_t* name, const char16_t* mail, bool has_local_mailbox,
                          const platform::Variant* proxy_addresses, const char16_t* legacy_dn,
                          void* context) {
  if (!has_local_mailbox) return kOk;
  try {
    if (TraceEnabled) TraceOut("", TRACE_INFO, 0, "CStorage::EnumMB()\n");
    auto* run = static_cast<Context*>(context);
    if (run == nullptr || run->storage == nullptr) return kInvalidArg;
    if (StopSignalled(run->stop_event)) return kAborted;
    if (IsSystemMailbox(name)) {
      if (TraceEnabled) TraceOutWide("", TRACE_INFO, kSkipLevel, "--- Skip Mailbox : %ls\n", name);
      return kOk;
    }
    const std::u16string address = mail != nullptr ? mail : u"";
    const size_t at = address.find(u'@');
    if (at == std::u16string::npos) return kOk;
    std::u16string url = u"file://./backofficestorage/" + address.substr(at + 1) + u"/mbx/" +
                         address.substr(0, at);
    if (TraceEnabled) {
      TraceOutWide("", TRACE_INFO, kItemLevel, "*** Mailbox:'%ls', E-mail:'%ls', URL:'%ls'\n",
                   name, address.c_str(), url.c_str());
    }
    run->storage->mailboxes_->Append(name != nullptr ? name : u"", url, address);
  } catch (...) {
    TraceException();
  }
  return kOk;
}

uint32_t CStorage::EnumPF(const char16_t* name, const char16_t* url, void* connection,
                          void* context) {
  if (TraceEnabled) TraceOut("", TRACE_INFO, 0, "CStorage::EnumPF()\n");
  auto* run = static_cast<Context*>(context);
  if (run == nullptr || run->storage == nullptr) return kInvalidArg;
  if (StopSignalled(run->stop_event)) return kAborted;
  try {
    if (TraceEnabled) {
      TraceOutWide("", TRACE_INFO, kItemLevel, "*** Public folder:'%ls', E-mail:'%ls', URL:'%ls'\n",
                   name, u"", url);
    }
    run->storage->public_folders_->Append(name != nullptr ? name : u"",
           url != nullptr ? url : u"", u"");
  } catch (...) {
    TraceException();
  }
  return kOk;
}

}  // namespace mailstore
