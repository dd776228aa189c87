// The agent's policy in its database (policy_database.h) mirrored in a map.
//
// Thread safety: see policy_store.h. The database is used only by the writer that holds
// write_mutex_; readers touch only the map, under a shared lock.
#include "standins/cvmad/policy_store.h"

#include <algorithm>
#include <string_view>
#include <utility>

#include "standins/agent_api/cvpmapi.h"

namespace cvmad {
namespace {

// The results the audit records give.
constexpr std::string_view kStored = "stored";
constexpr std::string_view kFinalOrHidden = "refused: final or hidden";
constexpr std::string_view kOtherType = "refused: another type or other columns than stored";
constexpr std::string_view kRefusedWithOther =
    "not stored: another setting of this change was refused";
constexpr std::string_view kTooLarge = "not stored: the policy would grow past its bound";
constexpr std::string_view kStoreFailed = "not stored: the policy store failed";

bool IsRefused(uint8_t type, uint32_t restriction) {
  return (restriction & (VMP_RESTRICT_FINAL | VMP_RESTRICT_HIDDEN)) != 0 ||
         (type == VMP_TYPE_TABLE && (restriction & VMP_RESTRICT_TABLE_FINAL) != 0);
}

}  // namespace

std::unique_ptr<PolicyStore> PolicyStore::Open(const std::string& path, AuditLog* audit,
                                               std::string* error) {
  std::unique_ptr<PolicyDatabase> database = PolicyDatabase::Open(path, error);
  if (database == nullptr) return nullptr;
  std::vector<PolicyDatabase::Row> rows;
  if (!database->Load(&rows, error)) {
    *error = path + ": " + *error;
    return nullptr;
  }
  std::unique_ptr<PolicyStore> store(new PolicyStore(std::move(database), audit));
  for (auto& [oid, data] : rows) {
    std::string_view in(data);
    wire::Variable variable;
    if (!wire::DecodeVariable(&in, &variable) || !in.empty() || variable.oid != oid) {
      *error = path + ": unreadable variable " + oid;
      return nullptr;
    }
    Entry entry = MakeEntry(variable);
    store->bytes_ += entry.encoded.size();
    store->variables_.emplace(std::move(oid), std::move(entry));
    data = {};
  }
  return store;
}

PolicyStore::~PolicyStore() = default;

PolicyStore::Entry PolicyStore::MakeEntry(const wire::Variable& variable) {
  Entry entry;
  wire::EncodeVariable(variable, &entry.encoded);
  entry.type = variable.type;
  entry.restriction = variable.restriction;
  entry.column_types = variable.column_types;
  entry.cell_flags.reserve(variable.rows.size() * variable.column_types.size());
  for (const auto& row : variable.rows)
    for (const wire::Cell& cell : row) entry.cell_flags.push_back(cell.flags);
  return entry;
}

size_t PolicyStore::bytes() const {
  std::shared_lock lock(map_mutex_);
  return bytes_;
}


uint32_t PolicyStore::Get(const std::string& oid, std::string* out) const {
  std::shared_lock lock(map_mutex_);
  auto it = variables_.find(oid);
  if (it == variables_.end()) return wire::kStatusUnknownOid;
  out->append(it->second.encoded);
  return wire::kStatusOk;
}

uint32_t PolicyStore::Export(std::string* out) const {
  std::shared_lock lock(map_mutex_);
  wire::PutU32(out, static_cast<uint32_t>(variables_.size()));
  for (const auto& [oid, entry] : variables_) out->append(entry.encoded);
  return wire::kStatusOk;
}

const std::string* PolicyStore::StoredLocked(const std::string& oid) const {
  auto it = variables_.find(oid);
  return it == variables_.end() ? nullptr : &it->second.encoded;
}

void PolicyStore::RecordRefused(const std::vector<wire::Variable>& variables, size_t culprit,
                                std::string_view reason, const Actor& actor,
                                std::string_view action) {
  if (audit_ == nullptr) return;
  for (size_t i = 0; i < variables.size(); ++i) {
    std::string wanted;
    wire::EncodeVariable(variables[i], &wanted);
    audit_->Add(actor, {action, variables[i].oid, StoredLocked(variables[i].oid), &wanted,
                        i == culprit ? reason : kRefusedWithOther});
  }
  audit_->Flush();
}

uint32_t PolicyStore::Set(std::vector<wire::Variable> variables, const Actor& actor) {
  std::lock_guard write(write_mutex_);
  for (size_t i = 0; i < variables.size(); ++i) {
    wire::Variable& variable = variables[i];
    auto it = variables_.find(variable.oid);
    if (it == variables_.end()) {
      // Restrictions are the administrator's (restrict, import), never a setter's.
      variable.restriction = 0;
      for (auto& row : variable.rows)
        for (wire::Cell& cell : row) cell.flags = 0;
      continue;
    }
    const Entry& stored = it->second;
    if (IsRefused(stored.type, stored.restriction)) {
      RecordRefused(variables, i, kFinalOrHidden, actor, "set");
      return wire::kStatusRefused;
    }
    // A variable without a value yet may take any type.
    if (stored.type != VMP_TYPE_NONE &&
        (variable.type != stored.type || variable.column_types != stored.column_types)) {
      RecordRefused(variables, i, kOtherType, actor, "set");
      return wire::kStatusTypeMismatch;
    }
    variable.restriction = stored.restriction;
    // The columns are the stored ones here (or there were no cells), so cells line up.
    const size_t columns = stored.column_types.size();
    for (size_t row = 0; row < variable.rows.size(); ++row) {
      for (size_t column = 0; column < variable.rows[row].size(); ++column) {
        const size_t cell = row * columns + column;
        variable.rows[row][column].flags =
            column < columns && cell < stored.cell_flags.size() ? stored.cell_flags[cell] : 0;
      }
    }
  }
  return Commit(std::move(variables), nullptr, actor, "set");
}

uint32_t PolicyStore::Import(std::vector<wire::Variable> variables, const Actor& actor) {
  std::lock_guard write(write_mutex_);
  return Commit(std::move(variables), nullptr, actor, "import");
}

uint32_t PolicyStore::Delete(const std::string& oid, const Actor& actor) {
  std::lock_guard write(write_mutex_);
  if (variables_.count(oid) == 0) return wire::kStatusUnknownOid;
  return Commit({}, &oid, actor, "delete");
}

uint32_t PolicyStore::Restrict(const std::string& oid, uint32_t flags,
                               const std::vector<CellFlags>& cells, const Actor& actor) {
  std::lock_guard write(write_mutex_);
  auto it = variables_.find(oid);
  if (it == variables_.end()) return wire::kStatusUnknownOid;
  wire::Variable variable;
  std::string_view in = it->second.encoded;
  if (!wire::DecodeVariable(&in, &variable)) return wire::kStatusStorage;
  for (const CellFlags& cell : cells) {
    if (cell.row >= variable.rows.size() || cell.column >= variable.column_types.size())
      return wire::kStatusMalformed;
    variable.rows[cell.row][cell.column].flags = cell.flags;
  }
  variable.restriction = flags;
  std::vector<wire::Variable> changed;
  changed.push_back(std::move(variable));
  return Commit(std::move(changed), nullptr, actor, "restrict");
}

uint32_t PolicyStore::Commit(std::vector<wire::Variable> variables, const std::string* deleted,
                             const Actor& actor, std::string_view action) {
  std::vector<std::pair<std::string, Entry>> entries;
  entries.reserve(variables.size());
  // The size after the change: a variable set twice in one package counts twice, which
  // errs on the safe side.
  size_t after = bytes_;
  for (wire::Variable& variable : variables) {
    Entry entry = MakeEntry(variable);
    auto it = variables_.find(variable.oid);
    if (it != variables_.end()) after -= std::min(after, it->second.encoded.size());
    after += entry.encoded.size();
    entries.emplace_back(std::move(variable.oid), std::move(entry));
    variable = {};  // the decoded form is no longer needed: give its memory back now
  }
  if (deleted != nullptr) after -= std::min(after, variables_.at(*deleted).encoded.size());
  std::string_view result = kStored;
  if (after > kMaxPolicyBytes) {
    result = kTooLarge;
  } else {
    std::vector<PolicyDatabase::Row> rows;
    rows.reserve(entries.size());
    for (const auto& [oid, entry] : entries) rows.emplace_back(oid, entry.encoded);
    if (!db_->Write(rows, deleted)) result = kStoreFailed;
  }
  if (audit_ != nullptr) {  // the map still holds the old values
    const bool restriction = action == "restrict";
    for (const auto& [oid, entry] : entries)
      audit_->Add(actor, {action, oid, StoredLocked(oid), &entry.encoded, result, restriction});
    if (deleted != nullptr)
      audit_->Add(actor, {action, *deleted, StoredLocked(*deleted), nullptr, result});
    audit_->Flush();
  }
  if (result != kStored) return wire::kStatusStorage;
  std::unique_lock lock(map_mutex_);
  for (auto& [oid, entry] : entries) {
    auto it = variables_.find(oid);
    if (it != variables_.end()) bytes_ -= it->second.encoded.size();
    bytes_ += entry.encoded.size();
    variables_.insert_or_assign(std::move(oid), std::move(entry));
  }
  if (deleted != nullptr) {
    bytes_ -= variables_.at(*deleted).encoded.size();
    variables_.erase(*deleted);
  }
  return wire::kStatusOk;
}

}  // namespace cvmad
