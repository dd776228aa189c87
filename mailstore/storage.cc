#include "mailstore/storage.h"

#include <algorithm>
#include <utility>

#include "mailstore/directory.h"
#include "mailstore/folder_tree.h"
#include "platform/directory.h"
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

// Slots of both storage interfaces.
constexpr uint32_t kSlotRefresh = 7;
constexpr uint32_t kSlotMoveFirst = 8;
constexpr uint32_t kSlotMoveNext = 9;
constexpr uint32_t kSlotIsReady = 10;
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

int CompareFolded(const std::string& a, const std::string& b) {
  const size_t common = std::min(a.size(), b.size());
  for (size_t i = 0; i < common; ++i) {
    const unsigned char x = static_cast<unsigned char>(FoldAscii(static_cast<unsigned char>(a[i])));
    const unsigned char y = static_cast<unsigned char>(FoldAscii(static_cast<unsigned char>(b[i])));
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

// The order of the lists: keys compared without regard to ASCII case when both are there;
// otherwise by length, so that an empty key comes first and two empty keys are equal.
bool KeyLess(const std::string& a, const std::string& b) {
  if (!a.empty() && !b.empty()) return CompareFolded(a, b) < 0;
  return a.size() < b.size();
}

bool StopSignalled(uint32_t stop_event) {
  if (stop_event == kNoEvent) return true;
  return stop_event != 0 && EventWait(stop_event, 0) == kWaitSignalled;
}

bool StopRequested(void* stop_event) { return StopSignalled(*static_cast<uint32_t*>(stop_event)); }

void Append(StorageList* list, std::u16string_view name, std::u16string_view url,
            std::u16string_view email) {
  if (list->size() < kMaxEntries) {
    list->push_back(StorageItem{platform::Utf16ToUtf8(name), platform::Utf16ToUtf8(url),
                                platform::Utf16ToUtf8(email)});
  }
}

// Creates a storage server's object and waits, polling every 5 s, until it is ready:
// 0 when it is, the server's own result when a call fails, kFail without a stop event to
// wait on, kAborted when the stop event is signalled meanwhile.
uint32_t OpenStorageServer(const char* clsid, const char* iid, uint32_t stop_event,
                           std::unique_ptr<platform::LocalServerObject>* server) {
  uint32_t result = platform::CreateLocalServerObject(clsid, iid, server);
  if (result != kOk) return result;
  for (;;) {
    int32_t ready = 0;
    result = (*server)->Call(kSlotIsReady, 0, &ready, nullptr);
    if (result != kOk) return result;
    if (ready != 0) return kOk;
    if (stop_event == 0 || stop_event == kNoEvent) return kFail;
    if (EventWait(stop_event, kReadyPollMs) == kWaitSignalled) return kAborted;
  }
}

// Reads the current item through the three getters from `first_slot` on.
uint32_t ReadItem(platform::LocalServerObject* server, uint32_t first_slot,
                  std::u16string* name, std::u16string* url, std::u16string* email) {
  if (server == nullptr) return kInvalidArg;
  std::u16string* fields[] = {name, url, email};
  for (uint32_t i = 0; i < 3; ++i) {
    std::u16string text;
    if (server->Call(first_slot + i, 0, nullptr, &text) == kOk) *fields[i] = std::move(text);
  }
  return !name->empty() && !url->empty() ? kOk : kFail;
}

// The current item through the three getters from `first_slot` on, and the move to the
// next item, as one exchange with the server (the same calls in the same order as ReadItem
// and then MoveNext, one round trip). Returns the item's status as ReadItem does; the
// move's result goes to `*next`.
uint32_t ReadItemAndMove(platform::LocalServerObject* server, uint32_t first_slot,
                         std::u16string* name, std::u16string* url, std::u16string* email,
                         uint32_t* next) {
  platform::LocalServerCall calls[4];
  for (uint32_t i = 0; i < 3; ++i) calls[i].slot = first_slot + i;
  calls[3].slot = kSlotMoveNext;
  server->CallMany(calls, 4);
  std::u16string* fields[] = {name, url, email};
  for (uint32_t i = 0; i < 3; ++i) {
    if (calls[i].result == kOk) *fields[i] = std::move(calls[i].text);
  }
  *next = calls[3].result;
  return !name->empty() && !url->empty() ? kOk : kFail;
}

}  // namespace

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
  delete lock_;
  mailboxes_.reset();
  public_folders_.reset();
}

uint32_t CStorage::EnumerateMBs(uint32_t stop_event, bool database_mode) {
  FLockGuard guard(lock_);
  uint32_t result = kFail;
  if (TraceEnabled) TraceOut("", TRACE_INFO, 0, "CStorage::EnumerateMBs()\n");
  try {
    std::unique_ptr<platform::LocalServerObject> server;
    result = OpenStorageServer(kMailboxStorageClass, kMailboxStorageInterface, stop_event, &server);
    if (result == kOk) {
      if (TraceEnabled) TraceOut("", TRACE_INFO, kItemLevel, "ICVMailboxStorage interface is used\n");
      ClearMBs();
      server->Call(kSlotRefresh, -1, nullptr, nullptr);
      uint32_t hr = server->Call(kSlotMoveFirst, 0, nullptr, nullptr);
      while (hr == kOk) {
        if (TraceEnabled) TraceOut("", TRACE_INFO, 0, "CStorage::ItemMB()\n");
        std::u16string name, url, email;
        uint32_t next = kFail;
        if (ReadItemAndMove(server.get(), kSlotMailboxName, &name, &url, &email, &next) == kOk &&
            !IsSystemMailbox(name.c_str())) {
          if (TraceEnabled) {
            TraceOutWide("", TRACE_INFO, kItemLevel, "Name : %ls\n", name.c_str());
            TraceOutWide("", TRACE_INFO, kItemLevel, "Url : %ls\n", url.c_str());
            TraceOutWide("", TRACE_INFO, kItemLevel, "Email : %ls\n", email.c_str());
          }
          Append(mailboxes_.get(), name, url, email);
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
  if (result != kOk) {
    ClearMBs();
    Context context{this, stop_event};
    // The stop event is asked between the directory's pages and while it is awaited, not
    // only for each user found: a directory that sends no users must stop too.
    platform::DirectoryEnumeration enumeration(&StopRequested, &stop_event);
    result = database_mode ? EnumMDBMailUsers(&CStorage::EnumMB, &context, false, false)
                           : EnumADMailUsers(&CStorage::EnumMB, &context, false, false);
  }
  std::sort(mailboxes_->begin(), mailboxes_->end(),
            [](const StorageItem& a, const StorageItem& b) { return KeyLess(a.Name, b.Name); });
  mailboxes_->shrink_to_fit();
  if (TraceEnabled) {
    TraceOut("", TRACE_INFO, kItemLevel, "CStorage::EnumerateMBs() : MB=%d\n", MBCount());
  }
  return result;
}

uint32_t CStorage::EnumeratePFs(uint32_t stop_event) {
  FLockGuard guard(lock_);
  uint32_t result = kFail;
  if (TraceEnabled) TraceOut("", TRACE_INFO, 0, "CStorage::EnumeratePFs()\n");
  try {
    std::unique_ptr<platform::LocalServerObject> server;
    result = OpenStorageServer(kPubFolderStorageClass, kPubFolderStorageInterface, stop_event,
                               &server);
    if (result == kOk) {
      if (TraceEnabled) {
        TraceOut("", TRACE_INFO, kItemLevel, "ICVPubFolderStorage interface is used\n");
      }
      ClearPFs();
      server->Call(kSlotRefresh, -1, nullptr, nullptr);
      uint32_t hr = server->Call(kSlotMoveFirst, 0, nullptr, nullptr);
      while (hr == kOk) {
        if (TraceEnabled) TraceOut("", TRACE_INFO, 0, "CStorage::ItemPF()\n");
        std::u16string name, url, email;
        uint32_t next = kFail;
        if (ReadItemAndMove(server.get(), kSlotPubFolderName, &name, &url, &email, &next) == kOk) {
          if (TraceEnabled) {
            TraceOutWide("", TRACE_INFO, kItemLevel, "Name : %ls\n", name.c_str());
            TraceOutWide("", TRACE_INFO, kItemLevel, "Url : %ls\n", url.c_str());
          }
          Append(public_folders_.get(), name, url, email);
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
  if (result != kOk) {
    ClearPFs();
    Context context{this, stop_event};
    result = EnumFoldersTree(&CStorage::EnumPF, 0, &context);
  }
  std::sort(public_folders_->begin(), public_folders_->end(),
            [](const StorageItem& a, const StorageItem& b) { return KeyLess(a.Url, b.Url); });
  public_folders_->shrink_to_fit();
  if (TraceEnabled) {
    TraceOut("", TRACE_INFO, kItemLevel, "CStorage::EnumeratePFs() : PF=%d\n", PFCount());
  }
  return result;
}

uint32_t CStorage::EnumerateAll(uint32_t stop_event, bool database_mode) {
  const uint32_t result = EnumerateMBs(stop_event, database_mode);
  if (result == kAborted) return result;
  return EnumeratePFs(stop_event);
}

namespace {

std::u16string Field(const StorageList& list, int32_t index, std::string StorageItem::*field) {
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

// A list handed out keeps its entries: clearing makes a new one, or, when memory runs out,
// empties the list in place if no reader holds it.
void Clear(std::shared_ptr<StorageList>* list) {
  try {
    *list = std::make_shared<StorageList>();
  } catch (...) {
    if (list->use_count() == 1) (*list)->clear();
  }
}

}  // namespace

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

uint32_t CStorage::ItemMB(platform::LocalServerObject* server, std::u16string* name,
                          std::u16string* url, std::u16string* email) {
  return ReadItem(server, kSlotMailboxName, name, url, email);
}

uint32_t CStorage::ItemPF(platform::LocalServerObject* server, std::u16string* name,
                          std::u16string* url, std::u16string* email) {
  return ReadItem(server, kSlotPubFolderName, name, url, email);
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
    Append(run->storage->mailboxes_.get(), name != nullptr ? name : u"", url, address);
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
    Append(run->storage->public_folders_.get(), name != nullptr ? name : u"",
           url != nullptr ? url : u"", u"");
  } catch (...) {
    TraceException();
  }
  return kOk;
}

}  // namespace mailstore
