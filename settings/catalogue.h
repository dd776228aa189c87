// The catalogue: every setting item of the process, found by OID.
//
// Lookup rule: the first item, in the order of the item set (ordered by item address),
// whose OID equals the requested one byte for byte. An index by OID answers exactly that.
// A typed operation applied to an item of another kind answers as for an unknown OID.
//
// Thread safety: the catalogue serialises its users itself. Lookups and getters share a
// reader-writer lock (ReadMostlyLock, which costs a getter two plain stores); setters, the
// rebuild (ReadSettings), the commit (WriteChanged, ReadAll) and the reload (ReadByOID)
// take it exclusively. So request threads and the reload entry, called from a host thread,
// are safe together. Items handed out by
// GetObjectByOID stay owned by the catalogue: use them only through WithItem.
#ifndef SETTINGS_CATALOGUE_H_
#define SETTINGS_CATALOGUE_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry.h"
#include "settings/item.h"
#include "settings/read_mostly_lock.h"

namespace settings {

class CSettings {
 public:
  // Writes the session handle found in the session cell, or that there is none.
  CSettings();
  ~CSettings();
  CSettings(const CSettings&) = delete;
  CSettings& operator=(const CSettings&) = delete;

  // Deletes every item.
  void Clear();
  // Takes `item` (null is kept and skipped by every walk).
  void Add(std::unique_ptr<CItem> item);

  // Rebuilds the catalogue from the setting definitions of the installed products.
  void ReadSettings();

  // How many items the last rebuild created in each group; all zero before the first.
  // A rebuild stopped for want of an agent session leaves it as it was.
  struct GroupCounts {
    int first_policy = 0;     // the mail-server product
    int first_registry = 0;   // its virus-scanning registry values
    int second_policy = 0;    // the server anti-virus product family
    int second_registry = 0;  // its World Map Support registry values
    int common = 0;
    int quarantine = 0;  // the quarantine database registry values
    int server = 0;      // the server product
  };
  GroupCounts last_build() const;

  int32_t GetIntByOID(std::string_view oid) const;
  // The same, with HashOid(oid) already at hand.
  int32_t GetIntByOID(std::string_view oid, uint64_t oid_hash) const;
  int32_t GetDefaultIntByOID(std::string_view oid) const;
  bool SetIntByOID(std::string_view oid, int32_t value);
  int32_t GetIntRegByOID(std::string_view oid) const;
  int32_t GetDefaultIntRegByOID(std::string_view oid) const;
  bool SetIntRegByOID(std::string_view oid, int32_t value);
  std::string GetStringRegByOID(std::string_view oid) const;
  std::string GetDefaultStringRegByOID(std::string_view oid) const;
  bool SetStringRegByOID(std::string_view oid, const std::string& value);
  std::string GetStringByOID(std::string_view oid) const;
  std::string GetDefaultStringByOID(std::string_view oid) const;
  bool SetStringByOID(std::string_view oid, const std::string& value);

  // The item with `oid`, or null (traced). The pointer is only valid while no rebuild runs.
  CItem* GetObjectByOID(std::string_view oid) const;
  // True when `oid` names an enciphered setting of the definitions (IsEncipheredSetting),
  // in the catalogue or not, or an item that holds an enciphered value: its clear text
  // stays out of the trace. Writes no trace line.
  bool IsEncryptedByOID(std::string_view oid) const;
  // Runs `use` on the item with `oid` under the exclusive lock; false (traced as
  // GetObjectByOID) when there is none.
  bool WithItem(std::string_view oid, const std::function<void(CItem&)>& use);

  // True when the item may be written; unknown OIDs answer true with both outputs false.
  // With `is_table` the table rule (CTableEntry::TableRestriction) answers for the item's
  // OID, whatever the item's kind.
  bool GetRestrictionByOID(std::string_view oid, bool* hidden, bool* final, bool is_table) const;

  void ReadByOID(std::string_view oid);
  void ReadAll();
  void WriteChanged();
  bool AreChanged() const;

  // Items in the catalogue, null entries included.
  size_t size() const;

  // The hash of the index: the times-33 string hash, with the top bit set. PHP keeps the
  // same hash in its strings, so a caller holding a PHP string may hand over that one.
  static uint64_t HashOid(std::string_view oid) noexcept;

 private:
  // Under the lock.
  CItem* FindLocked(std::string_view oid) const;
  CItem* FindLocked(std::string_view oid, uint64_t hash) const;
  void ClearLocked();
  void AddLocked(std::unique_ptr<CItem> item);
  // Writes the error line for a missing agent session.
  static void TraceNoSession();

  mutable ReadMostlyLock mutex_;
  // The registry key of the Exchange store's virus-scanning values, opened by the rebuild.
  platform::RegistryKey key_;
  // Ordered by address, as the lookup rule walks them.
  std::set<std::unique_ptr<CItem>> items_;
  // The index by OID: for each OID, the item the lookup rule finds. Open addressing over a
  // power-of-two table of slots, at most half full, probed linearly; looked up by
  // std::string_view without making a std::string of the key. The OIDs themselves are kept
  // back to back in keys_, so that a lookup reads two small, dense tables and then the one
  // item, instead of chasing each item's own string across the heap.
  // 16 bytes, so that the whole table of a full catalogue stays in the first-level cache.
  struct IndexSlot {
    uint32_t tag = 0;  // the upper half of the OID's hash
    uint32_t key = 0;  // the OID: keys_[key >> 8, (key >> 8) + (key & 0xFF)), or kLongKey
    CItem* item = nullptr;  // null: free
  };
  // An OID of 255 bytes or more, or one beyond the first 16 MiB of keys_: compared with
  // the item's own.
  static constexpr uint32_t kLongKey = 0xFF;
  size_t HomeSlot(uint64_t hash) const;
  static uint32_t HashTag(uint64_t hash);
  // The slot holding `oid`, or the free slot where it would go.
  IndexSlot* ProbeLocked(std::string_view oid, uint64_t hash) const;
  void IndexLocked(CItem* item);
  std::vector<IndexSlot> first_by_oid_;  // empty, or a power of two in size
  size_t indexed_ = 0;                     // OIDs in first_by_oid_
  int index_shift_ = 64;                   // 64 - log2 of its size
  std::string keys_;
  GroupCounts last_build_;
};

}  // namespace settings

#endif  // SETTINGS_CATALOGUE_H_
