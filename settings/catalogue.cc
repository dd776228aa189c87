#include "settings/catalogue.h"

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

void NotFound(const char* format, const std::string& oid) {
  if (TraceEnabled) TraceOut("", TRACE_ERROR, 0, format, oid.c_str());
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
}

void CSettings::AddLocked(CItem* item) {
  if (!items_.insert(item).second || item == nullptr) return;
  // The walk goes in address order, so of two items with one OID the lower address wins.
  auto [slot, inserted] = first_by_oid_.try_emplace(item->oid(), item);
  if (!inserted && item < slot->second) slot->second = item;
}

CItem* CSettings::FindLocked(const std::string& oid) const {
  auto found = first_by_oid_.find(oid);
  return found == first_by_oid_.end() ? nullptr : found->second;
}

size_t CSettings::size() const {
  std::shared_lock lock(mutex_);
  return items_.size();
}

int32_t CSettings::GetIntByOID(const std::string& oid) const {
  std::shared_lock lock(mutex_);
  if (auto* item = As<CIntItem>(FindLocked(oid), ItemKind::kInt)) return item->value();
  NotFound("GetIntByOID *** Setting '%s' not found***\n", oid);
  return 0;
}

int32_t CSettings::GetDefaultIntByOID(const std::string& oid) const {
  std::shared_lock lock(mutex_);
  if (auto* item = As<CIntItem>(FindLocked(oid), ItemKind::kInt)) return item->default_value();
  NotFound("GetDefaultIntByOID *** Setting '%s' not found***\n", oid);
  return 0;
}

bool CSettings::SetIntByOID(const std::string& oid, int32_t value) {
  if (TraceEnabled) {
    TraceText text(TRACE_INFO, 1);
    text.Append("CSettings::SetIntByOID").Append("(").Append(oid.c_str()).Append(",");
    text.Append(static_cast<uint32_t>(value)).Append(")").Append("\n");
    TraceOut("", TRACE_INFO, 1, "%s", text.Text());
  }
  std::unique_lock lock(mutex_);
  if (auto* item = As<CIntItem>(FindLocked(oid), ItemKind::kInt)) {
    item->Set(value);
    return true;
  }
  NotFound("SetIntByOID *** Setting '%s' not found***\n", oid);
  return false;
}

int32_t CSettings::GetIntRegByOID(const std::string& oid) const {
  std::shared_lock lock(mutex_);
  if (auto* item = As<CIntRegItem>(FindLocked(oid), ItemKind::kIntReg)) return item->value();
  NotFound("*** Setting '%s' not found***\n", oid);
  return 0;
}

int32_t CSettings::GetDefaultIntRegByOID(const std::string& oid) const {
  std::shared_lock lock(mutex_);
  if (auto* item = As<CIntRegItem>(FindLocked(oid), ItemKind::kIntReg)) {
    return item->default_value();
  }
  NotFound("*** Setting '%s' not found***\n", oid);
  return 0;
}

bool CSettings::SetIntRegByOID(const std::string& oid, int32_t value) {
  std::unique_lock lock(mutex_);
  if (auto* item = As<CIntRegItem>(FindLocked(oid), ItemKind::kIntReg)) {
    item->Set(value);
    return true;
  }
  NotFound("*** Setting '%s' not found***\n", oid);
  return false;
}

std::string CSettings::GetStringRegByOID(const std::string& oid) const {
  std::shared_lock lock(mutex_);
  if (auto* item = As<CStringRegItem>(FindLocked(oid), ItemKind::kStringReg)) {
    return item->value();
  }
  NotFound("*** Setting '%s' not found***\n", oid);
  return std::string();
}

std::string CSettings::GetDefaultStringRegByOID(const std::string& oid) const {
  std::shared_lock lock(mutex_);
  if (auto* item = As<CStringRegItem>(FindLocked(oid), ItemKind::kStringReg)) {
    return item->default_value();
  }
  NotFound("*** Setting '%s' not found***\n", oid);
  return std::string();
}

bool CSettings::SetStringRegByOID(const std::string& oid, const std::string& value) {
  std::unique_lock lock(mutex_);
  if (auto* item = As<CStringRegItem>(FindLocked(oid), ItemKind::kStringReg)) {
    item->Set(value);
    return true;
  }
  NotFound("SetStringRegByOID %s not found\n", oid);
  return false;
}

std::string CSettings::GetStringByOID(const std::string& oid) const {
  std::shared_lock lock(mutex_);
  if (auto* item = As<CStringItem>(FindLocked(oid), ItemKind::kString)) return item->value();
  NotFound("GetStringByOID OID %s not found\n", oid);
  return std::string();
}

std::string CSettings::GetDefaultStringByOID(const std::string& oid) const {
  std::shared_lock lock(mutex_);
  if (auto* item = As<CStringItem>(FindLocked(oid), ItemKind::kString)) {
    return item->default_value();
  }
  NotFound("GetDefaultStringByOID OID %s not found\n", oid);
  return std::string();
}

bool CSettings::SetStringByOID(const std::string& oid, const std::string& value) {
  std::unique_lock lock(mutex_);
  if (auto* item = As<CStringItem>(FindLocked(oid), ItemKind::kString)) {
    item->Set(value);
    return true;
  }
  NotFound("SetStringByOID OID %s not found\n", oid);
  return false;
}

CItem* CSettings::GetObjectByOID(const std::string& oid) const {
  std::shared_lock lock(mutex_);
  CItem* item = FindLocked(oid);
  if (item == nullptr) NotFound("GetObjectByOID OID %s not found\n", oid);
  return item;
}

bool CSettings::WithItem(const std::string& oid, const std::function<void(CItem&)>& use) {
  std::unique_lock lock(mutex_);
  CItem* item = FindLocked(oid);
  if (item == nullptr) {
    NotFound("GetObjectByOID OID %s not found\n", oid);
    return false;
  }
  use(*item);
  return true;
}

bool CSettings::GetRestrictionByOID(const std::string& oid, bool* hidden, bool* final,
                                    bool is_table) const {
  std::shared_lock lock(mutex_);
  CItem* item = FindLocked(oid);
  if (item == nullptr) {
    if (hidden != nullptr) *hidden = false;
    if (final != nullptr) *final = false;
    NotFound("GetRestrictionByOID OID %s not found\n", oid);
    return true;
  }
  if (is_table) {
    // A table query about an item of another kind answers as for an unknown OID.
    if (auto* table = As<CTableEntry>(item, ItemKind::kTable)) {
      return table->GetTableRestriction(hidden, final);
    }
    if (hidden != nullptr) *hidden = false;
    if (final != nullptr) *final = false;
    NotFound("GetRestrictionByOID OID %s not found\n", oid);
    return true;
  }
  return item->GetRestriction(hidden, final);
}

void CSettings::ReadByOID(const std::string& oid) {
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
