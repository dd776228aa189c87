#include "settings/catalogue.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <mutex>

#include "module/module_state.h"
#include "policy/agent_messages.h"
#include "settings/definitions.h"
#include "settings/table_entry.h"
#include "support/trace.h"

using support::TRACE_ERROR;
using support::TRACE_INFO;
using support::TraceEnabled;
using support::TraceOut;
using support::TraceText;

namespace settings {

namespace {

// The item `item` as kind T, or null when it is of another kind.
template <typename T>
T* As(CItem* item, ItemKind kind) {
  return item != nullptr && item->kind() == kind ? static_cast<T*>(item) : nullptr;
}

// `format` has one "%.*s", filled with `oid` (which, like a C string, ends at a NUL).
void NotFound(const char* format, std::string_view oid) {
  if (TraceEnabled) TraceOut("", TRACE_ERROR, 0, format, static_cast<int>(oid.size()), oid.data());
}

}  // namespace

CSettings::CSettings() {
  const module::ModuleState& state = module::State();
  if (state.demo_mode) return;
  const uint32_t session = policy::ReadSessionCell(state.session_cell.load());
  if (TraceEnabled) TraceOut("", TRACE_INFO, 0, "CVMA session=%X\n", session);
  if (session == 0) TraceNoSession();
}

CSettings::~CSettings() { ClearLocked(); }

void CSettings::Clear() {
  std::unique_lock lock(mutex_);
  ClearLocked();
}

void CSettings::Add(std::unique_ptr<CItem> item) {
  std::unique_lock lock(mutex_);
  AddLocked(std::move(item));
}

void CSettings::ClearLocked() {
  items_.clear();
  first_by_oid_.clear();
  indexed_ = 0;
  keys_.clear();
  index_shift_ = 64;
}

void CSettings::AddLocked(std::unique_ptr<CItem> item) {
  CItem* added = item.get();
  if (!items_.insert(std::move(item)).second || added == nullptr) return;
  IndexLocked(added);
}

uint64_t CSettings::HashOid(std::string_view oid) noexcept {
  uint64_t hash = 5381;
  for (const char c : oid) hash = hash * 33 + static_cast<uint64_t>(static_cast<signed char>(c));
  return hash | 0x8000000000000000ull;
}

// The slot where the probe for `hash` starts: the times-33 hash is weak in its low bits,
// so one multiplication spreads it and the top bits are taken.
[[gnu::always_inline]] inline size_t CSettings::HomeSlot(uint64_t hash) const {
  return static_cast<size_t>((hash * 0x9E3779B97F4A7C15ull) >> index_shift_);
}

[[gnu::always_inline]] inline uint32_t CSettings::HashTag(uint64_t hash) {
  return static_cast<uint32_t>(hash ^ (hash >> 32));
}

namespace {

// Byte for byte equality of two OIDs of equal length, a word at a time (an OID is some
// 25 bytes, and a library call would cost more than the comparison).
[[gnu::always_inline]] inline bool SameBytes(const char* a, const char* b, size_t size) {
  auto word = [](const char* bytes) {
    uint64_t value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
  };
  if (size < 8) return std::memcmp(a, b, size) == 0;
  for (size_t at = 0; at + 8 < size; at += 8) {
    if (word(a + at) != word(b + at)) return false;
  }
  return word(a + size - 8) == word(b + size - 8);  // the last 8, overlapping
}

}  // namespace

[[gnu::always_inline]] inline CSettings::IndexSlot* CSettings::ProbeLocked(
    std::string_view oid, uint64_t hash) const {
  const size_t mask = first_by_oid_.size() - 1;
  const uint32_t tag = HashTag(hash);
  // The table is never more than half full, so a free slot ends every probe.
  auto* slots = const_cast<IndexSlot*>(first_by_oid_.data());
  for (size_t at = HomeSlot(hash);; at = (at + 1) & mask) {
    IndexSlot& slot = slots[at];
    if (slot.item == nullptr) return &slot;
    if (slot.tag != tag) continue;
    const uint32_t size = slot.key & 0xFF;
    if (size == kLongKey) {
      const std::string& held = slot.item->oid();
      if (held.size() == oid.size() && SameBytes(held.data(), oid.data(), oid.size())) return &slot;
    } else if (size == oid.size() && SameBytes(keys_.data() + (slot.key >> 8), oid.data(), size)) {
      return &slot;
    }
  }
}

void CSettings::IndexLocked(CItem* item) {
  if ((indexed_ + 1) * 2 > first_by_oid_.size()) {
    std::vector<IndexSlot> old(std::max<size_t>(16, first_by_oid_.size() * 2));
    old.swap(first_by_oid_);
    index_shift_ = 64 - std::countr_zero(first_by_oid_.size());
    const size_t mask = first_by_oid_.size() - 1;
    for (const IndexSlot& slot : old) {
      if (slot.item == nullptr) continue;
      size_t at = HomeSlot(HashOid(slot.item->oid()));
      while (first_by_oid_[at].item != nullptr) at = (at + 1) & mask;
      first_by_oid_[at] = slot;
    }
  }
  const std::string& oid = item->oid();
  const uint64_t hash = HashOid(oid);
  IndexSlot* slot = ProbeLocked(oid, hash);
  if (slot->item == nullptr) {
    uint32_t key = kLongKey;
    if (oid.size() < kLongKey && keys_.size() < (size_t{1} << 24)) {
      key = static_cast<uint32_t>(keys_.size() << 8 | oid.size());
      keys_.append(oid);
    }
    *slot = IndexSlot{HashTag(hash), key, item};
    ++indexed_;
  } else if (item < slot->item) {
    // The walk goes in address order, so of two items with one OID the lower address wins.
    slot->item = item;
  }
}

[[gnu::always_inline]] inline CItem* CSettings::FindLocked(std::string_view oid,
                                                           uint64_t hash) const {
  if (first_by_oid_.empty()) return nullptr;
  return ProbeLocked(oid, hash)->item;
}

[[gnu::always_inline]] inline CItem* CSettings::FindLocked(std::string_view oid) const {
  return FindLocked(oid, HashOid(oid));
}

size_t CSettings::size() const {
  std::shared_lock lock(mutex_);
  return items_.size();
}

int32_t CSettings::GetIntByOID(std::string_view oid) const {
  return GetIntByOID(oid, HashOid(oid));
}

int32_t CSettings::GetIntByOID(std::string_view oid, uint64_t oid_hash) const {
  std::shared_lock lock(mutex_);
  if (auto* item = As<CIntItem>(FindLocked(oid, oid_hash), ItemKind::kInt)) return item->value();
  NotFound("GetIntByOID *** Setting '%.*s' not found***\n", oid);
  return 0;
}

int32_t CSettings::GetDefaultIntByOID(std::string_view oid) const {
  std::shared_lock lock(mutex_);
  if (auto* item = As<CIntItem>(FindLocked(oid), ItemKind::kInt)) return item->default_value();
  NotFound("GetDefaultIntByOID *** Setting '%.*s' not found***\n", oid);
  return 0;
}

bool CSettings::SetIntByOID(std::string_view oid, int32_t value) {
  if (TraceEnabled) {
    TraceText text(TRACE_INFO, 1);
    text.Append("CSettings::SetIntByOID").Append("(").Append(std::string(oid).c_str()).Append(",");
    text.Append(static_cast<uint32_t>(value)).Append(")").Append("\n");
    TraceOut("", TRACE_INFO, 1, "%s", text.Text());
  }
  std::unique_lock lock(mutex_);
  if (auto* item = As<CIntItem>(FindLocked(oid), ItemKind::kInt)) {
    item->Set(value);
    return true;
  }
  NotFound("SetIntByOID *** Setting '%.*s' not found***\n", oid);
  return false;
}

int32_t CSettings::GetIntRegByOID(std::string_view oid) const {
  std::shared_lock lock(mutex_);
  if (auto* item = As<CIntRegItem>(FindLocked(oid), ItemKind::kIntReg)) return item->value();
  NotFound("*** Setting '%.*s' not found***\n", oid);
  return 0;
}

int32_t CSettings::GetDefaultIntRegByOID(std::string_view oid) const {
  std::shared_lock lock(mutex_);
  if (auto* item = As<CIntRegItem>(FindLocked(oid), ItemKind::kIntReg)) {
    return item->default_value();
  }
  NotFound("*** Setting '%.*s' not found***\n", oid);
  return 0;
}

bool CSettings::SetIntRegByOID(std::string_view oid, int32_t value) {
  std::unique_lock lock(mutex_);
  if (auto* item = As<CIntRegItem>(FindLocked(oid), ItemKind::kIntReg)) {
    item->Set(value);
    return true;
  }
  NotFound("*** Setting '%.*s' not found***\n", oid);
  return false;
}

std::string CSettings::GetStringRegByOID(std::string_view oid) const {
  std::shared_lock lock(mutex_);
  if (auto* item = As<CStringRegItem>(FindLocked(oid), ItemKind::kStringReg)) {
    return item->value();
  }
  NotFound("*** Setting '%.*s' not found***\n", oid);
  return std::string();
}

std::string CSettings::GetDefaultStringRegByOID(std::string_view oid) const {
  std::shared_lock lock(mutex_);
  if (auto* item = As<CStringRegItem>(FindLocked(oid), ItemKind::kStringReg)) {
    return item->default_value();
  }
  NotFound("*** Setting '%.*s' not found***\n", oid);
  return std::string();
}

bool CSettings::SetStringRegByOID(std::string_view oid, const std::string& value) {
  std::unique_lock lock(mutex_);
  if (auto* item = As<CStringRegItem>(FindLocked(oid), ItemKind::kStringReg)) {
    item->Set(value);
    return true;
  }
  NotFound("SetStringRegByOID %.*s not found\n", oid);
  return false;
}

std::string CSettings::GetStringByOID(std::string_view oid) const {
  std::shared_lock lock(mutex_);
  if (auto* item = As<CStringItem>(FindLocked(oid), ItemKind::kString)) return item->value();
  NotFound("GetStringByOID OID %.*s not found\n", oid);
  return std::string();
}

std::string CSettings::GetDefaultStringByOID(std::string_view oid) const {
  std::shared_lock lock(mutex_);
  if (auto* item = As<CStringItem>(FindLocked(oid), ItemKind::kString)) {
    return item->default_value();
  }
  NotFound("GetDefaultStringByOID OID %.*s not found\n", oid);
  return std::string();
}

bool CSettings::SetStringByOID(std::string_view oid, const std::string& value) {
  std::unique_lock lock(mutex_);
  if (auto* item = As<CStringItem>(FindLocked(oid), ItemKind::kString)) {
    item->Set(value);
    return true;
  }
  NotFound("SetStringByOID OID %.*s not found\n", oid);
  return false;
}

CItem* CSettings::GetObjectByOID(std::string_view oid) const {
  std::shared_lock lock(mutex_);
  CItem* item = FindLocked(oid);
  if (item == nullptr) NotFound("GetObjectByOID OID %.*s not found\n", oid);
  return item;
}

bool CSettings::IsEncryptedByOID(std::string_view oid) const {
  if (IsEncipheredSetting(oid)) return true;
  std::shared_lock lock(mutex_);
  const CItem* item = FindLocked(oid);
  return item != nullptr && item->IsEncrypted();
}

bool CSettings::WithItem(std::string_view oid, const std::function<void(CItem&)>& use) {
  std::unique_lock lock(mutex_);
  CItem* item = FindLocked(oid);
  if (item == nullptr) {
    NotFound("GetObjectByOID OID %.*s not found\n", oid);
    return false;
  }
  use(*item);
  return true;
}

bool CSettings::GetRestrictionByOID(std::string_view oid, bool* hidden, bool* final,
                                    bool is_table) const {
  std::shared_lock lock(mutex_);
  CItem* item = FindLocked(oid);
  if (item == nullptr) {
    if (hidden != nullptr) *hidden = false;
    if (final != nullptr) *final = false;
    NotFound("GetRestrictionByOID OID %.*s not found\n", oid);
    return true;
  }
  // The table rule reads the policy variable by the item's OID alone, so it answers for an
  // item of any kind: a scalar variable has no cells and answers with its own marks.
  if (is_table) return CTableEntry::TableRestriction(item->oid(), hidden, final);
  return item->GetRestriction(hidden, final);
}

void CSettings::ReadByOID(std::string_view oid) {
  std::unique_lock lock(mutex_);
  if (CItem* item = FindLocked(oid)) item->Read();
}

void CSettings::ReadAll() {
  std::unique_lock lock(mutex_);
  for (const auto& item : items_) {
    if (item != nullptr) item->Read();
  }
}

void CSettings::WriteChanged() {
  std::unique_lock lock(mutex_);
  for (const auto& item : items_) {
    if (item != nullptr && item->IsChanged()) item->Write();
  }
}

bool CSettings::AreChanged() const {
  std::shared_lock lock(mutex_);
  for (const auto& item : items_) {
    if (item != nullptr && item->IsChanged()) return true;
  }
  return false;
}

}  // namespace settings
