// The agent's policy in SQLite (table `variables`: OID and encoded variable) mirrored in a
// map. The database runs in WAL mode with synchronous=FULL, so a committed transaction
// survives the process being killed and the machine losing power.
//
// Thread safety: see policy_store.h. The SQLite connection is used only by the writer that
// holds write_mutex_; readers touch only the map, under a shared lock.
#include "standins/cvmad/policy_store.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string_view>
#include <utility>

#include "standins/agent_api/cvpmapi.h"

namespace cvmad {
namespace {

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS variables (oid TEXT PRIMARY KEY, data BLOB NOT NULL) "
    "WITHOUT ROWID";
constexpr int kBusyTimeoutMs = 5000;

struct StmtFinalize {
  void operator()(sqlite3_stmt* stmt) const { sqlite3_finalize(stmt); }
};
using StmtPtr = std::unique_ptr<sqlite3_stmt, StmtFinalize>;

StmtPtr Prepare(sqlite3* db, const char* sql) {
  sqlite3_stmt* stmt = nullptr;
  sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr);
  return StmtPtr(stmt);
}

// Runs a statement that takes the OID and optionally a blob, to completion.
bool Run(sqlite3* db, const char* sql, const std::string& oid, const std::string* blob) {
  StmtPtr stmt = Prepare(db, sql);
  return stmt != nullptr &&
         sqlite3_bind_text(stmt.get(), 1, oid.data(), static_cast<int>(oid.size()),
                           SQLITE_STATIC) == SQLITE_OK &&
         (blob == nullptr ||
          sqlite3_bind_blob(stmt.get(), 2, blob->empty() ? "" : blob->data(),
                            static_cast<int>(blob->size()), SQLITE_STATIC) == SQLITE_OK) &&
         sqlite3_step(stmt.get()) == SQLITE_DONE;
}

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
  // The machine root lets its group add names: a policy someone else made, or a link, is not
  // the agent's policy.
  struct stat info;
  if (lstat(path.c_str(), &info) == 0 && (!S_ISREG(info.st_mode) || info.st_uid != geteuid())) {
    *error = path + ": not a file of this account's";
    return nullptr;
  }
  sqlite3* raw = nullptr;
  // The handle is made even when opening fails and must then be closed too.
  int rc =
      sqlite3_open_v2(path.c_str(), &raw,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOFOLLOW, nullptr);
  std::unique_ptr<PolicyStore> store(new PolicyStore(raw, audit));
  if (rc != SQLITE_OK || sqlite3_busy_timeout(raw, kBusyTimeoutMs) != SQLITE_OK ||
      !store->Exec("PRAGMA journal_mode=WAL") || !store->Exec("PRAGMA synchronous=FULL") ||
      !store->Exec(kSchema)) {
    *error = path + ": " + (raw != nullptr ? sqlite3_errmsg(raw) : "cannot open");
    return nullptr;
  }
  StmtPtr rows = Prepare(raw, "SELECT oid, data FROM variables");
  while (rows != nullptr && (rc = sqlite3_step(rows.get())) == SQLITE_ROW) {
    auto text = reinterpret_cast<const char*>(sqlite3_column_text(rows.get(), 0));
    std::string oid(text != nullptr ? text : "", sqlite3_column_bytes(rows.get(), 0));
    auto blob = static_cast<const char*>(sqlite3_column_blob(rows.get(), 1));
    std::string_view in(blob != nullptr ? blob : "", sqlite3_column_bytes(rows.get(), 1));
    wire::Variable variable;
    if (!wire::DecodeVariable(&in, &variable) || !in.empty() || variable.oid != oid) {
      *error = path + ": unreadable variable " + oid;
      return nullptr;
    }
    Entry entry = MakeEntry(variable);
    store->bytes_ += entry.encoded.size();
    store->variables_.emplace(std::move(oid), std::move(entry));
  }
  if (rows == nullptr || rc != SQLITE_DONE) {
    *error = path + ": " + sqlite3_errmsg(raw);
    return nullptr;
  }
  return store;
}

PolicyStore::~PolicyStore() { sqlite3_close_v2(db_); }

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

bool PolicyStore::Exec(const char* sql) {
  return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
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
  } else if (!Exec("BEGIN IMMEDIATE")) {
    result = kStoreFailed;
  } else {
    bool ok = true;
    for (const auto& [oid, entry] : entries) {
      ok = ok && Run(db_, "INSERT OR REPLACE INTO variables (oid, data) VALUES (?1, ?2)", oid,
                     &entry.encoded);
    }
    if (deleted != nullptr)
      ok = ok && Run(db_, "DELETE FROM variables WHERE oid = ?1", *deleted, nullptr);
    if (!ok || !Exec("COMMIT")) {
      if (!sqlite3_get_autocommit(db_)) Exec("ROLLBACK");
      result = kStoreFailed;
    }
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
