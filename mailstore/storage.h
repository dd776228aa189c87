// The current lists of mailboxes and public folders of the local mail server, and how they
// are refilled: from the product's storage servers (local servers created by class
// identifier), or else from the directory (mailboxes) or the public folder tree.
//
// Thread safety: the enumerations run on the mail store parser's worker thread, each under
// the snapshot's own lock. The accessors take no lock: their callers hold the parser's
// storage lock, which the worker holds while it refills (after its first attempt); the
// accessors whose names the system does not fix say so (`...Locked`).
#ifndef MAILSTORE_STORAGE_H_
#define MAILSTORE_STORAGE_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "mailstore/status.h"
#include "support/sync.h"
#include "support/text_rows.h"

namespace mailstore {

// One entry: display name, URL and e-mail address (empty when the source gives none), in
// UTF-8, the form every reader needs; the accessors give them as the system's UTF-16 text.
// The texts are views into the list the entry was read from.
struct StorageItem {
  std::string_view Name;
  std::string_view Url;
  std::string_view Email;
};
// A list, its texts packed (support/text_rows.h). Once an enumeration has filled it, it is
// never changed again: a reader that took it under the parser's storage lock may keep
// reading it after leaving the lock, while the next enumeration fills a new one.
class StorageList {
 public:
  class Iterator {
   public:
    using value_type = StorageItem;
    using difference_type = std::ptrdiff_t;
    Iterator(const StorageList* list, size_t index) : list_(list), index_(index) {}
    StorageItem operator*() const { return (*list_)[index_]; }
    Iterator& operator++() {
      ++index_;
      return *this;
    }
    bool operator==(const Iterator& other) const { return index_ == other.index_; }

   private:
    const StorageList* list_;
    size_t index_;
  };

  size_t size() const { return rows_.size(); }
  bool empty() const { return rows_.empty(); }
  StorageItem operator[](size_t index) const {
    return StorageItem{rows_.Field(index, 0), rows_.Field(index, 1), rows_.Field(index, 2)};
  }
  Iterator begin() const { return Iterator(this, 0); }
  Iterator end() const { return Iterator(this, size()); }

  // Appends an entry, its texts converted to UTF-8, unless the list holds kMaxEntries.
  void Append(std::u16string_view name, std::u16string_view url, std::u16string_view email);
  // Sorts by name (mailboxes) or by URL (public folders), in StorageKeyLess order.
  void SortByName();
  void SortByUrl();
  void ShrinkToFit() { rows_.ShrinkToFit(); }
  void clear() { rows_ = support::TextRows(); }

 private:
  support::TextRows rows_;
};

// The storage servers: class and interface identifiers.
inline constexpr char kMailboxStorageClass[] = "7c2e91d4-5b38-4f6a-9e0d-3a61c8f2b768";
inline constexpr char kMailboxStorageInterface[] = "7c2e91d4-5b38-4f6a-9e0d-3a61c8f2b761";
inline constexpr char kPubFolderStorageClass[] = "7c2e91d4-5b38-4f6a-9e0d-3a61c8f2b769";
inline constexpr char kPubFolderStorageInterface[] = "7c2e91d4-5b38-4f6a-9e0d-3a61c8f2b762";

// A list holds at most this many entries; further ones are left out.
inline constexpr size_t kMaxEntries = 0x7FFFFFFE;

// Where a list came from at its last reading, for the pages that show it: the storage
// server, or the fallback (the directory for mailboxes, the public folder tree for public
// folders), with the results of both and when the reading ended.
struct ListReading {
  enum class Source : uint8_t { kNotRead, kStorageServer, kFallback };
  Source source = Source::kNotRead;
  uint32_t server_result = 0;    // of opening and walking the storage server
  uint32_t fallback_result = 0;  // of the fallback; 0 when it was not used
  int64_t ended_at = 0;          // seconds since 1970 (UTC)
  std::string directory;         // the directory server the fallback asked ("" for none)
};

// The order of the lists, on their UTF-8 keys: the system's, UTF-16 code units compared
// without regard to ASCII letter case; when a key is empty, by length (empty ones first,
// two empty ones equal). Exposed for the tests of the order itself.
bool StorageKeyLess(std::string_view a, std::string_view b);

class CStorage {
 public:
  CStorage();
  virtual ~CStorage();
  CStorage(const CStorage&) = delete;
  CStorage& operator=(const CStorage&) = delete;

  // Refills the mailbox list, from the mailbox storage server or else from the directory
  // (with `database_mode`, the users of this server's mailbox stores; otherwise every
  // mail user). `stop_event` (an event handle; 0 or all bits set: none) ends the work with
  // kAborted when it is signalled. The list is sorted by name afterwards.
  uint32_t EnumerateMBs(uint32_t stop_event, bool database_mode);
  // Refills the public folder list, from its storage server or else from the folder tree;
  // sorted by URL afterwards.
  uint32_t EnumeratePFs(uint32_t stop_event);
  // Both; a stop during the mailboxes ends it there.
  uint32_t EnumerateAll(uint32_t stop_event, bool database_mode);

  int32_t MBCount() const { return static_cast<int32_t>(mailboxes_->size()); }
  int32_t PFCount() const { return static_cast<int32_t>(public_folders_->size()); }
  // Copies of an entry's fields; empty for an index outside the list.
  std::u16string MBName(int32_t index) const;
  std::u16string MBUrl(int32_t index) const;
  std::u16string MBEmail(int32_t index) const;
  std::u16string PFName(int32_t index) const;
  std::u16string PFUrl(int32_t index) const;
  std::u16string PFEmail(int32_t index) const;
  // The lists, for readers that hold the parser's storage lock to take them; what they took
  // stays valid and unchanged after they leave it. Never null.
  std::shared_ptr<const StorageList> MailboxesLocked() const { return mailboxes_; }
  std::shared_ptr<const StorageList> PublicFoldersLocked() const { return public_folders_; }

  void ClearMBs();
  void ClearPFs();

  // The last reading of each list (a stopped one leaves the one before).
  const ListReading& mailbox_reading() const { return mailbox_reading_; }
  const ListReading& public_folder_reading() const { return public_folder_reading_; }

  // How many '/' and '\' `text` holds (0 for null).
  static int32_t UrlLevel(const char16_t* text);
  // UrlLevel less the four separators of the store's root; 0 below that.
  static int32_t PFLevel(const char16_t* text);
  // The public folder's URL from its fifth separator on, separators written as '/'.
  std::u16string PFPath(int32_t index) const;
  // The characters of `text` while the running separator count is at least `from` and
  // below `to`, separators written as '/'.
  static std::u16string UrlPart(const char16_t* text, int32_t from, int32_t to);

  // The directory's and the folder tree's callbacks; `context` points to a Context.
  static uint32_t EnumMB(const char16_t* name, const char16_t* mail, bool has_local_mailbox,
                         const platform::Variant* proxy_addresses, const char16_t* legacy_dn,
                         void* context);
  static uint32_t EnumPF(const char16_t* name, const char16_t* url, void* connection,
                         void* context);
  struct Context {
    CStorage* storage;
    uint32_t stop_event;
  };

  // Whether a mailbox of this name is the system's own, never listed.
  static bool IsSystemMailbox(const char16_t* name);

 private:
  // What tells the two lists' walks apart (storage.cc).
  struct Walk;
  static const Walk kMailboxWalk;
  static const Walk kPublicFolderWalk;
  // Refills one list: its storage server, else its fallback; sorted afterwards.
  uint32_t Enumerate(const Walk& walk, uint32_t stop_event, bool database_mode);

  std::unique_ptr<support::FCriticalSection> lock_;  // null when it could not be made: no lock
  std::shared_ptr<StorageList> mailboxes_;
  std::shared_ptr<StorageList> public_folders_;
  ListReading mailbox_reading_;        // as the lists
  ListReading public_folder_reading_;  // as the lists
  // Whether the last walk's storage server was ready: the next walk then sends its first
  // exchange with the connect message (under the lock).
  bool server_was_ready_ = false;
};

}  // namespace mailstore

#endif  // MAILSTORE_STORAGE_H_
