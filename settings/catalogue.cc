#include "settings/catalogue.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "module/module_state.h"
#include "policy/agent_messages.h"
#include "settings/table_entry.h"
#include "support/trace.h"

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

void CSettings::Add(CItem* item) {
  std::unique_lock lock(mutex_);
  AddLocked(item);
}

void CSettings::ClearLocked() {
  for (CItem* item : items_) delete item;
  items_.clear();
  first_by_oid_.clear();
  indexed_ = 0;
}

void CSettings::AddLocked(CItem* item) {
  if (!items_.insert(item).second || item == nullptr) return;
  IndexLocked(item);
}

// Short, alike OIDs: a word-at-a-time multiply-mix hash, much cheaper than std::hash.
uint64_t CSettings::HashOid(std::string_view oid) noexcept {
  constexpr uint64_t kMultiplier = 0x9E3779B97F4A7C15ull;
  auto word = [](const char* bytes) {
    uint64_t value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
  };
  const char* bytes = oid.data();
  size_t left = oid.size();
  uint64_t hash = left * kMultiplier;
  if (left >= 8) {
    for (; left > 8; bytes += 8, left -= 8) {
      hash = (hash ^ word(bytes)) * kMultiplier;
      hash ^= hash >> 29;
    }
    hash = (hash ^ word(bytes + left - 8)) * kMultiplier;  // the last 8, overlapping
  } else {
    uint64_t tail = 0;
    for (size_t i = 0; i < left; ++i) {
      tail |= uint64_t{static_cast<unsigned char>(bytes[i])} << (8 * i);
    }
    hash = (hash ^ tail) * kMultiplier;
  }
  hash ^= hash >> 32;
  hash *= 0xBF58476D1CE4E5B9ull;
  return hash ^ (hash >> 29);
}

CSettings::IndexSlot* CSettings::ProbeLocked(std::string_view oid, uint64_t hash) const {
  const size_t mask = first_by_oid_.size() - 1;
  // The table is never more than half full, so a free slot ends every probe.
  auto* slots = const_cast<IndexSlot*>(first_by_oid_.data());
  for (size_t at = hash & mask;; at = (at + 1) & mask) {
    IndexSlot& slot = slots[at];
    if (slot.item == nullptr || (slot.hash == hash && slot.item->oid() == oid)) return &slot;
  }
}

void CSettings::IndexLocked(CItem* item) {
  if ((indexed_ + 1) * 2 > first_by_oid_.size()) {
    std::vector<IndexSlot> old(std::max<size_t>(16, first_by_oid_.size() * 2));
    old.swap(first_by_oid_);
    for (const IndexSlot& slot : old) {
      if (slot.item != nullptr) *ProbeLocked(slot.item->oid(), slot.hash) = slot;
    }
  }
  const uint64_t hash = HashOid(item->oid());
  IndexSlot* slot = ProbeLocked(item->oid(), hash);
  if (slot->item == nullptr) {
    *slot = IndexSlot{hash, item};
    ++indexed_;
  } else if (item < slot->item) {
    // The walk goes in address order, so of two items with one OID the lower address wins.
    slot->item = item;
  }
}

CItem* CSettings::FindLocked(std::string_view oid) const {
  if (first_by_oid_.empty()) return nullptr;
  return ProbeLocked(oid, HashOid(oid))->item;
}

size_t CSettings::size() const {
  std::shared_lock lock(mutex_);
  return items_.size();
}

int32_t CSettings::GetIntByOID(std::string_view oid) const {
  std::shared_lock lock(mutex_);
  if (auto* item = As<CIntItem>(FindLocked(oid), ItemKind::kInt)) return item->value();
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
  if (is_table) {
    // A table query about an item of another kind answers as for an unknown OID.
    if (auto* table = As<CTableEntry>(item, ItemKind::kTable)) {
      return table->GetTableRestriction(hidden, final);
    }
    if (hidden != nullptr) *hidden = false;
    if (final != nullptr) *final = false;
    NotFound("GetRestrictionByOID OID %.*s not found\n", oid);
    return true;
  }
  return item->GetRestriction(hidden, final);
}

void CSettings::ReadByOID(std::string_view oid) {
  std::unique_lock lock(mutex_);
  if (CItem* item = FindLocked(oid)) item->Read();
}

void CSettings::ReadAll() {
  std::unique_lock lock(mutex_);
  for (CItem* item : items_) {
    if (item != nullptr) item->Read();
  }
}

void CSettings::WriteChanged() {
  std::unique_lock lock(mutex_);
  for (CItem* item : items_) {
    if (item != nullptr && item->IsChanged()) item->Write();
  }
}

bool CSettings::AreChanged() const {
  std::shared_lock lock(mutex_);
  for (const CItem* item : items_) {
    if (item != nullptr && item->IsChanged()) return true;
  }
  return false;
}

}  // namespace settings
